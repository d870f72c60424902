#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QExplicitlySharedDataPointer>
#include <QList>
#include <QSharedData>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// The paths of a scan's items, held once. A path is a chain of segments: the
// item's own name, below the folder that holds it, below that folder's
// parent (each a segment of one or more components, split at '/'), so every
// item of a folder shares that folder's bytes and a chain of folders that
// holds nothing else costs one segment. The bytes are filled into large
// chunks in place, each segment followed by a NUL.
//
// A PathArena only grows, and only while its one `PathIndex` fills it; once
// its items are handed out it is read, from any thread, and never changed.
class PathArena : public QSharedData
{
public:
    using Node = quint32;
    // The parent of a path's first segment: not a segment itself.
    static constexpr Node kNone = 0;

    PathArena();
    PathArena(const PathArena &) = delete;
    PathArena &operator=(const PathArena &) = delete;

    // The segment's own bytes (NUL-terminated in place; an item's name for
    // an item's node) and the one before it.
    QByteArrayView name(Node node) const
    {
        const Component &c = m_components[node];
        return QByteArrayView(m_chunks[c.place >> kOffsetBits].get() + (c.place & kOffsetMask), c.size);
    }
    Node parent(Node node) const { return m_components[node].parent; }

    // The whole path, byte for byte as it was added.
    QByteArray path(Node node) const;

    // A new segment under `parent` (kNone: the first of a path). Does not
    // look for an equal one: `PathIndex` does.
    Node append(Node parent, QByteArrayView name);

    // `path` appended anew as its folder and its name: for a path on its own.
    Node appendPath(QByteArrayView path);

    qsizetype segmentCount() const { return m_components.size(); }
    // What it holds, in bytes (chunks as allocated).
    qsizetype bytesHeld() const;

private:
    struct Component
    {
        Node parent;
        quint32 size;
        quint32 place;   // the chunk (high bits) and the offset in it
    };
    static constexpr int kOffsetBits = 20;
    static constexpr quint32 kChunkBytes = 1u << kOffsetBits;
    static constexpr quint32 kOffsetMask = kChunkBytes - 1;

    char *room(quint32 size, quint32 *place);

    QList<Component> m_components;   // [0] stands for kNone
    std::vector<std::unique_ptr<char[]>> m_chunks;
    quint32 m_chunkSize = 0;   // of the last chunk
    quint32 m_chunkUsed = 0;
    qsizetype m_chunkBytes = 0;
};

// The lookup of paths in an arena it fills: every path is added once, below
// the folder that holds it, and a folder shares what it can with the folders
// already there. The table holds only node numbers, by the hash of the
// node's whole path; the bytes compared are the arena's own.
//
// Two threads may fill one index (a scan's pre-search and its walk): every
// call of its own takes its lock, and while both may add, the arena is read
// through path() only.
class PathIndex
{
public:
    PathIndex();

    const QExplicitlySharedDataPointer<PathArena> &arena() const { return m_arena; }

    // The path's node (its name the last segment), added when missing.
    PathArena::Node add(QByteArrayView path);
    // The node of the path, when it was added, or is a folder of one added.
    std::optional<PathArena::Node> find(QByteArrayView path) const;
    // The node's whole path, as the arena's path() (under the lock).
    QByteArray path(PathArena::Node node) const;
    qsizetype segmentCount() const;

    // What its table holds, in bytes.
    qsizetype bytesHeld() const { return m_slots.size() * qsizetype(sizeof(quint32)); }

private:
    // The node whose whole path is `path` (its hash `hash`); kNone when none.
    PathArena::Node lookup(QByteArrayView path, quint32 hash) const;
    PathArena::Node addLocked(QByteArrayView path);
    bool holds(PathArena::Node node, QByteArrayView path) const;
    PathArena::Node insert(PathArena::Node parent, QByteArrayView segment, quint32 hash);
    PathArena::Node folderNode(QByteArrayView folder);
    void grow();

    QExplicitlySharedDataPointer<PathArena> m_arena;
    QList<quint32> m_slots;   // nodes, by hash; 0: free
    qsizetype m_used = 0;
    // The folder added to last: consecutive paths mostly share it.
    QByteArray m_lastFolder;
    PathArena::Node m_lastFolderNode = PathArena::kNone;
    std::vector<quint64> m_prefixHashes;   // scratch of folderNode()
    std::unique_ptr<std::mutex> m_lock = std::make_unique<std::mutex>();
};
