#include "cleaning/PathArena.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr quint32 kFirstChunk = 256;
constexpr quint64 kHashStart = 0xcbf29ce484222325ull;

// FNV-1a, which goes on from a prefix's hash: every folder of a path is
// hashed in one pass over it.
quint64 hashOn(quint64 hash, QByteArrayView bytes)
{
    for (const char c : bytes) {
        hash ^= uchar(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

quint32 folded(quint64 hash)
{
    return quint32(hash ^ (hash >> 32));
}

} // namespace

PathArena::PathArena()
{
    m_components.append(Component{kNone, 0, 0});
    quint32 place;
    room(0, &place);
    m_components[0].place = place;
}

char *PathArena::room(quint32 size, quint32 *place)
{
    const quint32 needed = size + 1;   // and its NUL
    if (m_chunks.empty() || m_chunkSize - m_chunkUsed < needed) {
        // Chunks double up to their largest size, so a request of one item
        // costs little; a component longer than a chunk has one of its own.
        const quint32 next = m_chunks.empty() ? kFirstChunk : std::min(m_chunkSize * 2, kChunkBytes);
        m_chunkSize = std::max(next, needed);
        m_chunks.push_back(std::make_unique_for_overwrite<char[]>(m_chunkSize));
        m_chunkUsed = 0;
        m_chunkBytes += m_chunkSize;
    }
    const quint32 chunk = quint32(m_chunks.size() - 1);
    // An oversized chunk holds its one component at offset 0.
    *place = (chunk << kOffsetBits) | m_chunkUsed;
    char *at = m_chunks.back().get() + m_chunkUsed;
    m_chunkUsed += needed;
    return at;
}

PathArena::Node PathArena::append(Node parent, QByteArrayView name)
{
    quint32 place;
    char *at = room(quint32(name.size()), &place);
    if (!name.isEmpty())
        std::memcpy(at, name.data(), size_t(name.size()));
    at[name.size()] = '\0';
    m_components.append(Component{parent, quint32(name.size()), place});
    return Node(m_components.size() - 1);
}

PathArena::Node PathArena::appendPath(QByteArrayView path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return append(kNone, path);
    return append(append(kNone, path.first(slash)), path.sliced(slash + 1));
}

QByteArray PathArena::path(Node node) const
{
    if (node == kNone)
        return {};
    qsizetype length = -1;   // no '/' before the first component
    for (Node at = node; at != kNone; at = m_components[at].parent)
        length += m_components[at].size + 1;
    QByteArray out(length, Qt::Uninitialized);
    char *end = out.data() + length;
    for (Node at = node;;) {
        const QByteArrayView part = name(at);
        end -= part.size();
        if (!part.isEmpty())
            std::memcpy(end, part.data(), size_t(part.size()));
        at = m_components[at].parent;
        if (at == kNone)
            break;
        *--end = '/';
    }
    return out;
}

qsizetype PathArena::bytesHeld() const
{
    return m_components.capacity() * qsizetype(sizeof(Component)) + m_chunkBytes;
}

PathIndex::PathIndex() : m_arena(new PathArena) {}

bool PathIndex::holds(PathArena::Node node, QByteArrayView path) const
{
    const PathArena &arena = *m_arena;
    for (;;) {
        const QByteArrayView segment = arena.name(node);
        if (!path.endsWith(segment))
            return false;
        const PathArena::Node parent = arena.parent(node);
        if (parent == PathArena::kNone)
            return path.size() == segment.size();
        const qsizetype slash = path.size() - segment.size() - 1;
        if (slash < 0 || path[slash] != '/')
            return false;
        path = path.first(slash);
        node = parent;
    }
}

PathArena::Node PathIndex::lookup(QByteArrayView path, quint32 hash) const
{
    if (m_slots.isEmpty())
        return PathArena::kNone;
    const size_t mask = size_t(m_slots.size()) - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const quint32 node = m_slots[at];
        if (node == 0 || holds(node, path))
            return node;
    }
}

PathArena::Node PathIndex::insert(PathArena::Node parent, QByteArrayView segment, quint32 hash)
{
    if ((m_used + 1) * 4 > m_slots.size() * 3)
        grow();
    const PathArena::Node node = m_arena->append(parent, segment);
    const size_t mask = size_t(m_slots.size()) - 1;
    size_t at = hash & mask;
    while (m_slots[at] != 0)
        at = (at + 1) & mask;
    m_slots[at] = node;
    ++m_used;
    return node;
}

void PathIndex::grow()
{
    const qsizetype size = std::max<qsizetype>(1024, m_slots.size() * 2);
    QList<quint32> table(size, 0);
    const size_t mask = size_t(size) - 1;
    for (const quint32 node : std::as_const(m_slots)) {
        if (node == 0)
            continue;
        size_t at = folded(hashOn(kHashStart, m_arena->path(node))) & mask;
        while (table[at] != 0)
            at = (at + 1) & mask;
        table[at] = node;
    }
    m_slots = std::move(table);
}

PathArena::Node PathIndex::folderNode(QByteArrayView folder)
{
    if (m_lastFolderNode != PathArena::kNone && folder == QByteArrayView(m_lastFolder))
        return m_lastFolderNode;
    // The hashes of the folders above it, from one pass over its bytes.
    m_prefixHashes.clear();
    quint64 hash = kHashStart;
    qsizetype start = 0;
    for (qsizetype slash; (slash = folder.indexOf('/', start)) >= 0; start = slash + 1) {
        hash = hashOn(hash, folder.sliced(start, slash - start));
        m_prefixHashes.push_back(hash);
        hash = hashOn(hash, "/");
    }
    hash = hashOn(hash, folder.sliced(start));
    PathArena::Node node = lookup(folder, folded(hash));
    if (node == PathArena::kNone) {
        // Below the nearest folder above it that is there, its parent as one
        // segment (unless that is the one found) and then its own name.
        qsizetype level = qsizetype(m_prefixHashes.size());
        PathArena::Node above = PathArena::kNone;
        qsizetype aboveEnd = -1;
        qsizetype end = folder.size();
        for (qsizetype at = level - 1; at >= 0; --at) {
            end = folder.lastIndexOf('/', end - 1);
            above = lookup(folder.first(end), folded(m_prefixHashes[size_t(at)]));
            if (above != PathArena::kNone) {
                aboveEnd = end;
                break;
            }
        }
        const qsizetype lastSlash = folder.lastIndexOf('/');
        if (lastSlash > aboveEnd) {
            above = insert(above, folder.sliced(aboveEnd + 1, lastSlash - aboveEnd - 1),
                           folded(m_prefixHashes.back()));
        }
        node = insert(above, folder.sliced(lastSlash + 1), folded(hash));
    }
    m_lastFolder = folder.toByteArray();
    m_lastFolderNode = node;
    return node;
}

PathArena::Node PathIndex::add(QByteArrayView path)
{
    const std::lock_guard lock(*m_lock);
    return addLocked(path);
}

PathArena::Node PathIndex::addLocked(QByteArrayView path)
{
    const quint32 hash = folded(hashOn(kHashStart, path));
    if (const PathArena::Node node = lookup(path, hash); node != PathArena::kNone)
        return node;
    const qsizetype slash = path.lastIndexOf('/');
    const PathArena::Node folder = slash < 0 ? PathArena::kNone : folderNode(path.first(slash));
    return insert(folder, path.sliced(slash + 1), hash);
}

std::optional<PathArena::Node> PathIndex::find(QByteArrayView path) const
{
    const std::lock_guard lock(*m_lock);
    const PathArena::Node node = lookup(path, folded(hashOn(kHashStart, path)));
    return node == PathArena::kNone ? std::nullopt : std::optional(node);
}

QByteArray PathIndex::path(PathArena::Node node) const
{
    const std::lock_guard lock(*m_lock);
    return m_arena->path(node);
}

qsizetype PathIndex::segmentCount() const
{
    const std::lock_guard lock(*m_lock);
    return m_arena->segmentCount();
}

