#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QExplicitlySharedDataPointer>
#include <QList>
#include <QSharedData>

#include <memory>
#include <optional>
#include <vector>

// The paths of a scan's items, held once. A path is a chain of components
// (split at '/'), each stored once however many items lie below it: a
// folder's path costs its items nothing more than a number. The components'
// bytes are filled into large chunks in place, each followed by a NUL.
//
// A PathArena only grows, and only while its one `PathIndex` fills it; once
// its items are handed out it is read, from any thread, and never changed.
class PathArena : public QSharedData
{
public:
    using Node = quint32;
    // The parent of a path's first component: not a component itself.
    static constexpr Node kNone = 0;

    PathArena();
    PathArena(const PathArena &) = delete;
    PathArena &operator=(const PathArena &) = delete;

    // The component's own bytes (NUL-terminated in place) and the one before it.
    QByteArrayView name(Node node) const
    {
        const Component &c = m_components[node];
        return QByteArrayView(m_chunks[c.place >> kOffsetBits].get() + (c.place & kOffsetMask), c.size);
    }
    Node parent(Node node) const { return m_components[node].parent; }

    // The whole path, byte for byte as it was added.
    QByteArray path(Node node) const;

    // A new component under `parent` (kNone: the first of a path). Does not
    // look for an equal one: `PathIndex` does.
    Node append(Node parent, QByteArrayView name);

    // Every component of `path` appended anew: for a path on its own.
    Node appendPath(QByteArrayView path);

    qsizetype componentCount() const { return m_components.size(); }
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

// The lookup of paths in an arena it fills: every path is added once, its
// components shared with the paths already there. The table holds only
// component numbers; the bytes compared are the arena's own.
class PathIndex
{
public:
    PathIndex();

    const QExplicitlySharedDataPointer<PathArena> &arena() const { return m_arena; }

    // The path's node, its missing components added.
    PathArena::Node add(QByteArrayView path);
    // The path's node, when every component of it is there.
    std::optional<PathArena::Node> find(QByteArrayView path) const;

    // What its table holds, in bytes.
    qsizetype bytesHeld() const { return m_slots.size() * qsizetype(sizeof(quint32)); }

private:
    // The node of `name` under `parent`, added when missing and `add`; kNone when missing.
    PathArena::Node child(PathArena::Node parent, QByteArrayView name, bool add);
    PathArena::Node walk(QByteArrayView path, bool add) const;
    void grow();

    QExplicitlySharedDataPointer<PathArena> m_arena;
    QList<quint32> m_slots;   // nodes, by hash; 0: free
    qsizetype m_used = 0;
    // The folder of the path asked last: consecutive paths mostly share it.
    mutable QByteArray m_lastFolder;
    mutable PathArena::Node m_lastFolderNode = PathArena::kNone;
};
