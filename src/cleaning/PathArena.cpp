#include "cleaning/PathArena.h"

#include "platform/Log.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr quint32 kFirstChunk = 256;
constexpr quint64 kHashStart = 0xcbf29ce484222325ull;

// FNV-1a, which goes on from a prefix's hash: every folder of a path is
// hashed in one pass over it, and a path below a folder from the folder's.
quint64 hashOn(quint64 hash, QByteArrayView bytes)
{
    for (const char c : bytes) {
        hash ^= uchar(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

quint64 hashBelow(quint64 folderHash, QByteArrayView name)
{
    return hashOn(hashOn(folderHash, "/"), name);
}

quint32 folded(quint64 hash)
{
    return quint32(hash ^ (hash >> 32));
}

} // namespace

PathArena::PathArena()
{
    openPart(0);
    m_partCount = 1;
}

void PathArena::openPart(int part)
{
    Part &p = m_parts[part];
    p.components.append(Component{kNone, 0, 0});
    quint32 place;
    room(p, 0, &place);
    p.components[0].place = place;
}

int PathArena::addPart()
{
    Q_ASSERT(m_partCount < kParts);
    const int part = m_partCount++;
    openPart(part);
    return part;
}

char *PathArena::room(Part &part, quint32 size, quint32 *place)
{
    const quint32 needed = size + 1;   // and its NUL
    if (part.chunks.empty() || part.chunkSize - part.chunkUsed < needed) {
        // Chunks double up to their largest size, so a request of one item
        // costs little; a component longer than a chunk has one of its own.
        const quint32 next = part.chunks.empty() ? kFirstChunk : std::min(part.chunkSize * 2, kChunkBytes);
        part.chunkSize = std::max(next, needed);
        part.chunks.push_back(std::make_unique_for_overwrite<char[]>(part.chunkSize));
        part.chunkUsed = 0;
        part.chunkBytes += part.chunkSize;
    }
    const quint32 chunk = quint32(part.chunks.size() - 1);
    // An oversized chunk holds its one component at offset 0.
    *place = (chunk << kOffsetBits) | part.chunkUsed;
    char *at = part.chunks.back().get() + part.chunkUsed;
    part.chunkUsed += needed;
    return at;
}

PathArena::Node PathArena::append(Node parent, QByteArrayView name, int part)
{
    Q_ASSERT(parent == kNone || partOf(parent) == part);
    Part &p = m_parts[part];
    quint32 place;
    char *at = room(p, quint32(name.size()), &place);
    if (!name.isEmpty())
        std::memcpy(at, name.data(), size_t(name.size()));
    at[name.size()] = '\0';
    p.components.append(Component{parent, quint32(name.size()), place});
    return Node(part) << kPartShift | Node(p.components.size() - 1);
}

PathArena::Node PathArena::appendPath(QByteArrayView path)
{
    const qsizetype slash = lastSlashOf(path);
    if (slash < 0)
        return append(kNone, path);
    return append(append(kNone, path.first(slash)), path.sliced(slash + 1));
}

QByteArray PathArena::path(Node node) const
{
    QByteArray out;
    pathInto(out, node);
    return out;
}

void PathArena::pathInto(QByteArray &out, Node node) const
{
    if (node == kNone) {
        out.resize(0);
        return;
    }
    qsizetype length = -1;   // no '/' before the first component
    for (Node at = node; at != kNone; at = parent(at))
        length += name(at).size() + 1;
    out.resize(length);
    char *end = out.data() + length;
    for (Node at = node;;) {
        const QByteArrayView part = name(at);
        end -= part.size();
        if (!part.isEmpty())
            std::memcpy(end, part.data(), size_t(part.size()));
        at = parent(at);
        if (at == kNone)
            break;
        *--end = '/';
    }
}

qsizetype PathArena::segmentCount() const
{
    qsizetype count = 0;
    for (int part = 0; part < m_partCount; ++part)
        count += m_parts[part].components.size();
    return count - (m_partCount - 1);   // one stands for kNone
}

qsizetype PathArena::bytesHeld() const
{
    qsizetype bytes = 0;
    for (int part = 0; part < m_partCount; ++part)
        bytes += m_parts[part].components.capacity() * qsizetype(sizeof(Component)) + m_parts[part].chunkBytes;
    return bytes;
}

// ---- PathIndex ----

PathIndex::PathIndex(Threads threads) : m_arena(new PathArena)
{
    if (threads == Threads::any)
        m_lock = std::make_unique<std::mutex>();
}

PathIndex::PathIndex(QExplicitlySharedDataPointer<PathArena> arena, Threads threads)
    : m_arena(std::move(arena)), m_part(m_arena->addPart())
{
    if (threads == Threads::any)
        m_lock = std::make_unique<std::mutex>();
}

PathIndex::PathIndex(PathIndex &&) noexcept = default;
PathIndex &PathIndex::operator=(PathIndex &&) noexcept = default;
PathIndex::~PathIndex() = default;

std::unique_lock<std::mutex> PathIndex::locked() const
{
    return m_lock ? std::unique_lock(*m_lock) : std::unique_lock<std::mutex>();
}

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
    if (m_slots.empty())
        return PathArena::kNone;
    const size_t mask = m_slots.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot &slot = m_slots[at];
        if (slot.node == 0 || (slot.hash == hash && holds(slot.node, path)))
            return slot.node;
    }
}

// The path `folder` + "/" + `name`: a node whose parent is the folder's
// node and whose segment is the name is it; any other is compared whole.
PathArena::Node PathIndex::lookupIn(const Folder &folder, QByteArrayView name, quint32 hash, QByteArray &scratch) const
{
    if (m_slots.empty())
        return PathArena::kNone;
    const PathArena &arena = *m_arena;
    const size_t mask = m_slots.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot &slot = m_slots[at];
        if (slot.node == 0)
            return PathArena::kNone;
        if (slot.hash != hash)
            continue;
        if (folder.node != PathArena::kNone && arena.parent(slot.node) == folder.node && arena.name(slot.node) == name)
            return slot.node;
        scratch.resize(0);
        scratch.append(folder.bytes).append('/').append(name);
        if (holds(slot.node, scratch))
            return slot.node;
    }
}

PathArena::Node PathIndex::insert(PathArena::Node parent, QByteArrayView segment, quint32 hash)
{
    // Four in five slots may be taken: a slot holds the hash, so a longer
    // run of them is read in one go, without the arena.
    if (qsizetype(m_used + 1) * 5 > qsizetype(m_slots.size()) * 4)
        grow();
    const PathArena::Node node = m_arena->append(parent, segment, m_part);
    const size_t mask = m_slots.size() - 1;
    size_t at = hash & mask;
    while (m_slots[at].node != 0)
        at = (at + 1) & mask;
    m_slots[at] = Slot{node, hash};
    ++m_used;
    return node;
}

// Twice the room, each node placed again by the hash it was added with.
void PathIndex::grow()
{
    std::vector<Slot> table(std::max<size_t>(1024, m_slots.size() * 2), Slot{0, 0});
    const size_t mask = table.size() - 1;
    for (const Slot &slot : m_slots) {
        if (slot.node == 0)
            continue;
        size_t at = slot.hash & mask;
        while (table[at].node != 0)
            at = (at + 1) & mask;
        table[at] = slot;
    }
    m_slots = std::move(table);
}

const PathIndex::Folder &PathIndex::folderNode(QByteArrayView folder)
{
    if (m_added.valid && m_added.node != PathArena::kNone && folder == QByteArrayView(m_added.bytes))
        return m_added;
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
        const qsizetype lastSlash = lastSlashOf(folder);
        if (lastSlash > aboveEnd) {
            above = insert(above, folder.sliced(aboveEnd + 1, lastSlash - aboveEnd - 1),
                           folded(m_prefixHashes.back()));
        }
        node = insert(above, folder.sliced(lastSlash + 1), folded(hash));
    }
    // The bytes' room is kept from folder to folder.
    m_added.bytes.resize(folder.size());
    if (!folder.isEmpty())
        std::memcpy(m_added.bytes.data(), folder.data(), size_t(folder.size()));
    m_added.node = node;
    m_added.hash = hash;
    m_added.valid = true;
    return m_added;
}

// The folder asked for: its node when the index holds it, and its hash.
const PathIndex::Folder &PathIndex::folderFound(QByteArrayView folder, Folder &found) const
{
    if (found.valid && folder == QByteArrayView(found.bytes))
        return found;
    const quint64 hash = hashOn(kHashStart, folder);
    found.node = lookup(folder, folded(hash));
    found.hash = hash;
    found.bytes.resize(folder.size());
    if (!folder.isEmpty())
        std::memcpy(found.bytes.data(), folder.data(), size_t(folder.size()));
    found.valid = true;
    return found;
}

PathArena::Node PathIndex::addIn(const Folder &folder, QByteArrayView name)
{
    const quint32 hash = folded(hashBelow(folder.hash, name));
    if (const PathArena::Node node = lookupIn(folder, name, hash, m_scratch); node != PathArena::kNone)
        return node;
    return insert(folder.node, name, hash);
}

PathArena::Node PathIndex::add(QByteArrayView path)
{
    const auto lock = locked();
    const qsizetype slash = lastSlashOf(path);
    if (slash < 0) {
        const quint32 hash = folded(hashOn(kHashStart, path));
        const PathArena::Node node = lookup(path, hash);
        return node != PathArena::kNone ? node : insert(PathArena::kNone, path, hash);
    }
    // A path held as part of a longer segment (a folder added after what it
    // holds) is found all the same: compared whole, below a folder added now.
    const Folder &folder = folderNode(path.first(slash));
    return addIn(folder, path.sliced(slash + 1));
}

PathArena::Node PathIndex::add(QByteArrayView folder, QByteArrayView name)
{
    const auto lock = locked();
    return addIn(folderNode(folder), name);
}

PathArena::Node PathIndex::addUnlisted(QByteArrayView folder, QByteArrayView name)
{
    const auto lock = locked();
    return m_arena->append(folderNode(folder).node, name, m_part);
}

std::optional<PathArena::Node> PathIndex::find(QByteArrayView path) const
{
    const qsizetype slash = lastSlashOf(path);
    if (slash < 0) {
        const auto lock = locked();
        const PathArena::Node node = lookup(path, folded(hashOn(kHashStart, path)));
        return node == PathArena::kNone ? std::nullopt : std::optional(node);
    }
    return find(path.first(slash), path.sliced(slash + 1));
}

std::optional<PathArena::Node> PathIndex::find(QByteArrayView folder, QByteArrayView name) const
{
    const auto lock = locked();
    return findIn(m_found, m_scratch, folder, name);
}

std::optional<PathArena::Node> PathIndex::findAfter(PathArena::Node previous, QByteArrayView folder,
                                                   QByteArrayView name) const
{
    const auto lock = locked();
    return findAfterIn(m_found, m_scratch, previous, folder, name);
}

std::optional<PathArena::Node> PathIndex::findIn(Folder &found, QByteArray &scratch, QByteArrayView folder,
                                                QByteArrayView name) const
{
    const Folder &in = folderFound(folder, found);
    const PathArena::Node node = lookupIn(in, name, folded(hashBelow(in.hash, name)), scratch);
    return node == PathArena::kNone ? std::nullopt : std::optional(node);
}

std::optional<PathArena::Node> PathIndex::findAfterIn(Folder &found, QByteArray &scratch, PathArena::Node previous,
                                                     QByteArrayView folder, QByteArrayView name) const
{
    const Folder &in = folderFound(folder, found);
    const PathArena &arena = *m_arena;
    const PathArena::Node next = previous + 1;
    if (previous != PathArena::kNone && in.node != PathArena::kNone && PathArena::partOf(previous) == m_part
        && next < arena.nodeLimit(m_part) && arena.parent(next) == in.node && arena.name(next) == name)
        return next;
    const PathArena::Node node = lookupIn(in, name, folded(hashBelow(in.hash, name)), scratch);
    return node == PathArena::kNone ? std::nullopt : std::optional(node);
}

std::optional<PathArena::Node> PathIndex::Finder::find(QByteArrayView path)
{
    const qsizetype slash = lastSlashOf(path);
    if (slash < 0) {
        const PathArena::Node node = m_index.lookup(path, folded(hashOn(kHashStart, path)));
        return node == PathArena::kNone ? std::nullopt : std::optional(node);
    }
    return m_index.findIn(m_found, m_scratch, path.first(slash), path.sliced(slash + 1));
}

QByteArray PathIndex::path(PathArena::Node node) const
{
    const auto lock = locked();
    return m_arena->path(node);
}

qsizetype PathIndex::segmentCount() const
{
    const auto lock = locked();
    return PathArena::indexOf(m_arena->nodeLimit(m_part));
}

// ---- PathReader ----

QByteArrayView PathReader::path(PathArena::Node node)
{
    const PathArena::Node parent = node == PathArena::kNone ? PathArena::kNone : m_arena.parent(node);
    if (m_parentSize < 0 || parent != m_parent) {
        m_arena.pathInto(m_folder, parent);
        m_parent = parent;
        m_parentSize = m_folder.size();
        m_parentAsIs = isLoggedAsItIs(m_folder);
        if (m_parentSize > 0)
            std::memcpy(room(m_parentSize), m_folder.constData(), size_t(m_parentSize));
    }
    if (node == PathArena::kNone) {
        room(m_parentSize)[m_parentSize] = '\0';
        m_size = m_parentSize;
        m_nameStart = 0;
        m_folderAsIs = true;
        return current();
    }
    // The folder's bytes stay in place: only the name is written after them.
    const QByteArrayView segment = m_arena.name(node);
    const qsizetype start = m_parentSize + (parent != PathArena::kNone ? 1 : 0);
    m_size = start + segment.size();
    char *at = room(m_size) + m_parentSize;
    if (parent != PathArena::kNone)
        *at++ = '/';
    if (!segment.isEmpty())
        std::memcpy(at, segment.data(), size_t(segment.size()));
    at[segment.size()] = '\0';
    const qsizetype inSegment = lastSlashOf(segment);
    if (inSegment < 0) {
        m_nameStart = start;
        m_folderAsIs = m_parentAsIs;
    } else {
        m_nameStart = start + inSegment + 1;
        m_folderAsIs = m_parentAsIs && isLoggedAsItIs(segment.first(inSegment));
    }
    return current();
}

void PathReader::appendLine(QByteArray &lines, const LineHead &head) const
{
    const QByteArrayView whole = current();
    if (!head.asIs || !m_folderAsIs || !isLoggedAsItIs(whole.sliced(m_nameStart))) {
        appendLogLine(lines, head.text.data(), whole);
        return;
    }
    // One copy of each piece, into room made once.
    const qsizetype at = lines.size();
    lines.resize(at + head.text.size() + whole.size() + 1);
    char *out = lines.data() + at;
    std::memcpy(out, head.text.data(), size_t(head.text.size()));
    out += head.text.size();
    std::memcpy(out, whole.data(), size_t(whole.size()));
    out[whole.size()] = '\n';
}

LineHead::LineHead(const char *line) : text(line), asIs(isLoggedAsItIs(text)) {}
