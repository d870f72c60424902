#include "cleaning/PathArena.h"

#include <QHashFunctions>

#include <algorithm>
#include <cstring>

namespace {

constexpr quint32 kFirstChunk = 256;

size_t hashOf(PathArena::Node parent, QByteArrayView name)
{
    return qHash(name, size_t(parent));
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
    Node node = kNone;
    for (qsizetype start = 0;;) {
        const qsizetype slash = path.indexOf('/', start);
        const qsizetype end = slash < 0 ? path.size() : slash;
        node = append(node, path.sliced(start, end - start));
        if (slash < 0)
            return node;
        start = slash + 1;
    }
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

PathArena::Node PathIndex::child(PathArena::Node parent, QByteArrayView name, bool add)
{
    if (add && (m_used + 1) * 4 > m_slots.size() * 3)
        grow();
    if (m_slots.isEmpty())
        return PathArena::kNone;
    const PathArena &arena = *m_arena;
    const size_t mask = size_t(m_slots.size()) - 1;
    for (size_t at = hashOf(parent, name) & mask;; at = (at + 1) & mask) {
        const quint32 node = m_slots[at];
        if (node == 0) {
            if (!add)
                return PathArena::kNone;
            const PathArena::Node added = m_arena->append(parent, name);
            m_slots[at] = added;
            ++m_used;
            return added;
        }
        if (arena.parent(node) == parent && arena.name(node) == name)
            return node;
    }
}

void PathIndex::grow()
{
    const qsizetype size = std::max<qsizetype>(1024, m_slots.size() * 2);
    QList<quint32> table(size, 0);
    const size_t mask = size_t(size) - 1;
    const PathArena &arena = *m_arena;
    for (const quint32 node : std::as_const(m_slots)) {
        if (node == 0)
            continue;
        size_t at = hashOf(arena.parent(node), arena.name(node)) & mask;
        while (table[at] != 0)
            at = (at + 1) & mask;
        table[at] = node;
    }
    m_slots = std::move(table);
}

PathArena::Node PathIndex::walk(QByteArrayView path, bool add) const
{
    // Only a path's last step is asked of the table when its folder was the
    // last one asked.
    auto *self = const_cast<PathIndex *>(this);   // `add` only when called through add()
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return self->child(PathArena::kNone, path, add);
    const QByteArrayView folder = path.first(slash);
    PathArena::Node parent = PathArena::kNone;
    if (m_lastFolderNode != PathArena::kNone && folder == QByteArrayView(m_lastFolder)) {
        parent = m_lastFolderNode;
    } else {
        for (qsizetype start = 0;;) {
            const qsizetype next = folder.indexOf('/', start);
            const qsizetype end = next < 0 ? folder.size() : next;
            parent = self->child(parent, folder.sliced(start, end - start), add);
            if (parent == PathArena::kNone)
                return PathArena::kNone;
            if (next < 0)
                break;
            start = next + 1;
        }
        m_lastFolder = folder.toByteArray();
        m_lastFolderNode = parent;
    }
    return self->child(parent, path.sliced(slash + 1), add);
}

PathArena::Node PathIndex::add(QByteArrayView path)
{
    return walk(path, true);
}

std::optional<PathArena::Node> PathIndex::find(QByteArrayView path) const
{
    const PathArena::Node node = walk(path, false);
    return node == PathArena::kNone ? std::nullopt : std::optional(node);
}
