#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QExplicitlySharedDataPointer>
#include <QList>
#include <QSharedData>

#include <algorithm>

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// Where the last '/' of a path's bytes stands (-1: none): asked of every
// path a scan meets, and QByteArrayView::lastIndexOf goes through a general
// search for a text.
inline qsizetype lastSlashOf(QByteArrayView path)
{
    const void *slash = path.isEmpty() ? nullptr : ::memrchr(path.data(), '/', size_t(path.size()));
    return slash ? static_cast<const char *>(slash) - path.data() : -1;
}

// The paths of a scan's items, held once. A path is a chain of segments: the
// item's own name, below the folder that holds it, below that folder's
// parent (each a segment of one or more components, split at '/'), so every
// item of a folder shares that folder's bytes and a chain of folders that
// holds nothing else costs one segment. The bytes are filled into large
// chunks in place, each segment followed by a NUL.
//
// An arena is filled in parts, each by one `PathIndex` (so by one thread:
// a scan's pre-search and its walk each fill their own, side by side, with
// no lock); a node names its part. A part only grows, and only while its
// index fills it; once its items are handed out it is read, from any thread,
// and never changed.
class PathArena : public QSharedData
{
public:
    using Node = quint32;
    // The parent of a path's first segment: not a segment itself.
    static constexpr Node kNone = 0;
    static constexpr int kParts = 4;

    PathArena();
    PathArena(const PathArena &) = delete;
    PathArena &operator=(const PathArena &) = delete;

    // A part of its own for one more index (the first is 0, the arena's
    // own); taken before anything fills the arena from another thread.
    int addPart();

    // The segment's own bytes (NUL-terminated in place; an item's name for
    // an item's node) and the one before it.
    QByteArrayView name(Node node) const
    {
        const Part &part = m_parts[node >> kPartShift];
        const Component &c = part.components[node & kIndexMask];
        return QByteArrayView(part.chunks[c.place >> kOffsetBits].get() + (c.place & kOffsetMask), c.size);
    }
    Node parent(Node node) const { return m_parts[node >> kPartShift].components[node & kIndexMask].parent; }

    // The whole path, byte for byte as it was added.
    QByteArray path(Node node) const;
    // The same, in place of what `out` held (its room kept).
    void pathInto(QByteArray &out, Node node) const;

    // A new segment under `parent` (kNone: the first of a path) in `part`,
    // where `parent` lies too. Does not look for an equal one: `PathIndex` does.
    Node append(Node parent, QByteArrayView name, int part = 0);

    // `path` appended anew as its folder and its name: for a path on its own.
    Node appendPath(QByteArrayView path);

    // Of every part.
    qsizetype segmentCount() const;
    // The node numbers a part has given so far lie below this one.
    Node nodeLimit(int part) const { return Node(part) << kPartShift | Node(m_parts[part].components.size()); }
    // What it holds, in bytes (chunks as allocated).
    qsizetype bytesHeld() const;

    // The part a node lies in, and its place there.
    static int partOf(Node node) { return int(node >> kPartShift); }
    static quint32 indexOf(Node node) { return node & kIndexMask; }

private:
    struct Component
    {
        Node parent;
        quint32 size;
        quint32 place;   // the chunk (high bits) and the offset in it
    };
    // Each on cache lines of its own: two threads fill two parts side by side.
    struct alignas(64) Part
    {
        QList<Component> components;   // [0] stands for kNone
        std::vector<std::unique_ptr<char[]>> chunks;
        quint32 chunkSize = 0;   // of the last chunk
        quint32 chunkUsed = 0;
        qsizetype chunkBytes = 0;
    };
    static constexpr int kPartShift = 30;
    static constexpr quint32 kIndexMask = (1u << kPartShift) - 1;
    static constexpr int kOffsetBits = 20;
    static constexpr quint32 kChunkBytes = 1u << kOffsetBits;
    static constexpr quint32 kOffsetMask = kChunkBytes - 1;

    static char *room(Part &part, quint32 size, quint32 *place);
    void openPart(int part);

    Part m_parts[kParts];
    int m_partCount = 0;
};

// The lookup of paths in an arena it fills: every path is added once, below
// the folder that holds it, and a folder shares what it can with the folders
// already there. The table holds node numbers with the hash of each node's
// whole path, so it grows without reading a path again; the bytes compared
// are the arena's own. Paths come mostly folder by folder: the folder added
// or asked for last is kept, and a path in it costs the hash of its name.
//
// An index of any thread takes its lock on every call: two threads may fill
// it (while both may add, the arena is read through path() only). An index
// of one thread takes none: a scan's pre-search and its walk each fill one,
// in their own parts of one arena.
class PathIndex
{
public:
    enum class Threads { any, one };

    explicit PathIndex(Threads threads = Threads::any);
    // An index of its own part of `arena` (another index's).
    PathIndex(QExplicitlySharedDataPointer<PathArena> arena, Threads threads);
    PathIndex(PathIndex &&) noexcept;
    PathIndex &operator=(PathIndex &&) noexcept;
    ~PathIndex();

    const QExplicitlySharedDataPointer<PathArena> &arena() const { return m_arena; }
    int part() const { return m_part; }

    // The path's node (its name the last segment), added when missing.
    PathArena::Node add(QByteArrayView path);
    // The same for the path `folder` + "/" + `name`.
    PathArena::Node add(QByteArrayView folder, QByteArrayView name);
    // The path `folder` + "/" + `name` below its folder's node, its folders
    // added as add() adds them, but itself not placed in the table: for a
    // path met once that nothing asks for again (no add(), no find() of it),
    // whose place would only cost room.
    PathArena::Node addUnlisted(QByteArrayView folder, QByteArrayView name);
    // The node of the path, when it was added, or is a folder of one added.
    std::optional<PathArena::Node> find(QByteArrayView path) const;
    std::optional<PathArena::Node> find(QByteArrayView folder, QByteArrayView name) const;
    // The same, looked for first right after `previous` (the node found
    // before, or kNone): paths asked for in the order they were added (find's
    // hits, as the walk meets them) are found without the table.
    std::optional<PathArena::Node> findAfter(PathArena::Node previous, QByteArrayView folder,
                                             QByteArrayView name) const;
    // The node's whole path, as the arena's path() (under the lock).
    QByteArray path(PathArena::Node node) const;

    // The same lookups for a thread of its own, in an index nothing adds
    // to any more (below).
    class Finder;
    // The segments of its part.
    qsizetype segmentCount() const;

    // What its table holds, in bytes.
    qsizetype bytesHeld() const { return qsizetype(m_slots.size() * sizeof(Slot)); }

private:
    struct Slot
    {
        quint32 node;   // 0: free
        quint32 hash;   // of the node's whole path
    };
    // A folder met last: its node (kNone: not in the index), and the hash
    // of its path so far, which a path below it goes on from.
    struct Folder
    {
        QByteArray bytes;
        PathArena::Node node = PathArena::kNone;
        quint64 hash = 0;
        bool valid = false;
    };

    std::unique_lock<std::mutex> locked() const;
    PathArena::Node lookup(QByteArrayView path, quint32 hash) const;
    // `scratch`: room for a path in pieces, read whole.
    PathArena::Node lookupIn(const Folder &folder, QByteArrayView name, quint32 hash, QByteArray &scratch) const;
    bool holds(PathArena::Node node, QByteArrayView path) const;
    PathArena::Node insert(PathArena::Node parent, QByteArrayView segment, quint32 hash);
    const Folder &folderNode(QByteArrayView folder);
    // `found`: the folder asked for last, kept for the next.
    const Folder &folderFound(QByteArrayView folder, Folder &found) const;
    std::optional<PathArena::Node> findIn(Folder &found, QByteArray &scratch, QByteArrayView folder,
                                          QByteArrayView name) const;
    std::optional<PathArena::Node> findAfterIn(Folder &found, QByteArray &scratch, PathArena::Node previous,
                                               QByteArrayView folder, QByteArrayView name) const;
    PathArena::Node addIn(const Folder &folder, QByteArrayView name);
    void grow();

    QExplicitlySharedDataPointer<PathArena> m_arena;
    int m_part = 0;
    std::vector<Slot> m_slots;
    qsizetype m_used = 0;
    // The folder added to last and the one asked for last: consecutive
    // paths mostly share it.
    Folder m_added;
    mutable Folder m_found;
    std::vector<quint64> m_prefixHashes;   // scratch of folderNode()
    mutable QByteArray m_scratch;          // a path in pieces, read whole
    std::unique_ptr<std::mutex> m_lock;
};

// Lookups in an index that nothing adds to any more, from threads side by
// side, each with a finder of its own: it keeps the folder it asked for
// last, as the index's own find() does.
class PathIndex::Finder
{
public:
    explicit Finder(const PathIndex &index) : m_index(index) {}

    std::optional<PathArena::Node> find(QByteArrayView path);
    std::optional<PathArena::Node> findAfter(PathArena::Node previous, QByteArrayView folder, QByteArrayView name)
    {
        return m_index.findAfterIn(m_found, m_scratch, previous, folder, name);
    }

private:
    const PathIndex &m_index;
    Folder m_found;
    QByteArray m_scratch;
};

// A fixed text diagnostic lines begin with, checked once (see PathReader::appendLine).
struct LineHead
{
    explicit LineHead(const char *text);
    QByteArrayView text;
    bool asIs;   // written as it is
};

// Reads the paths of nodes one after the other, keeping the folder of the
// last: the nodes of one folder, in the order a scan lists them, cost only
// their names, and so do their diagnostic lines. Not for nodes being added
// meanwhile by another thread.
class PathReader
{
public:
    explicit PathReader(const PathArena &arena) : m_arena(arena) {}

    // The node's whole path, valid (and NUL-terminated) until the next call.
    QByteArrayView path(PathArena::Node node);
    // Appends to `lines` the line appendLogLine(lines, head.text, path)
    // makes, for the path read last.
    void appendLine(QByteArray &lines, const LineHead &head) const;
    // Of the path read last: where its last component starts, and whether
    // the part before that is written as it is (for diagnostics: valid
    // UTF-8 with nothing to escape).
    qsizetype nameStart() const { return m_nameStart; }
    bool folderWrittenAsIs() const { return m_folderAsIs; }

private:
    QByteArrayView current() const { return QByteArrayView(m_bytes.data(), m_size); }
    // Room for `size` bytes and a NUL, what is there kept.
    char *room(qsizetype size)
    {
        if (qsizetype(m_bytes.size()) <= size)
            m_bytes.resize(std::max(size_t(size) + 1, 2 * m_bytes.size()));
        return m_bytes.data();
    }

    const PathArena &m_arena;
    QByteArray m_folder;          // the parent's path, as the arena gives it
    std::vector<char> m_bytes;    // the path read last, NUL-terminated
    qsizetype m_size = 0;
    PathArena::Node m_parent = PathArena::kNone;
    qsizetype m_parentSize = -1;   // -1: no parent read yet
    qsizetype m_nameStart = 0;
    bool m_parentAsIs = true;
    bool m_folderAsIs = true;
};
