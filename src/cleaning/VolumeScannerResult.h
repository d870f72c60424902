#pragma once

// The result a scan builds: what VolumeScanner's files share. Not for use elsewhere.

#include "cleaning/PathArena.h"
#include "cleaning/PathHandles.h"
#include "cleaning/VolumeScanner.h"

#include <QSet>

#include <algorithm>
#include <optional>

// The result of one scan, with the paths it already holds: a path is never
// listed twice, whichever pass meets it again. The paths live in one arena
// the items share; which kind lists a path, and where, is kept by the
// path's node, so a path asked again is found without a second copy of it.
//
// Two builders may fill one arena, each its own part from its own thread
// (the walk's result beside the pre-search's), each with an index of its
// own and no lock: an item of one is then an item of the other's arena too,
// and moves over as it is (adopt). A path both met has a node in each part;
// whoever moves items over asks the other's index for it (paths()).
class VolumeScanner::ResultBuilder
{
public:
    // `root`: the volume's, which every path found shares. `beside`: the
    // builder whose arena this one fills too, in a part of its own (made
    // before either thread starts); none for an arena of its own.
    ResultBuilder(const QByteArray &root, const ScanResult &initial, ResultBuilder *beside = nullptr)
        : m_paths(beside ? PathIndex(beside->m_paths.arena(), PathIndex::Threads::one)
                         : PathIndex(PathIndex::Threads::one))
    {
        m_paths.add(root);
        for (auto it = initial.cbegin(); it != initial.cend(); ++it) {
            for (const FileItem &item : it.value()) {
                const PathArena::Node node = m_paths.add(item.fsPath());
                if (!listed(node))
                    append(it.key(), node, item.rehomed(m_paths.arena(), node));
            }
        }
    }
    ResultBuilder(const ResultBuilder &) = delete;
    ResultBuilder &operator=(const ResultBuilder &) = delete;

    bool contains(QByteArrayView path) const { return itemOf(path) != nullptr; }

    // The kind the path is listed under, if it is.
    std::optional<FileType> kindOf(QByteArrayView path) const
    {
        const std::optional<PathArena::Node> node = m_paths.find(path);
        return node && listed(*node) ? std::optional(kindAt(*node)) : std::nullopt;
    }

    // What the scan saw of a listed path.
    std::optional<pathhandles::ItemLook> lookOf(QByteArrayView path) const
    {
        const FileItem *item = itemOf(path);
        if (!item || !item->hasIdentity())
            return std::nullopt;
        return pathhandles::ItemLook{item->kind, item->device, item->inode, item->size, item->modified};
    }

    // The size the path is listed with, if it is.
    std::optional<qint64> sizeOf(QByteArrayView path) const
    {
        const FileItem *item = itemOf(path);
        return item ? std::optional(item->size) : std::nullopt;
    }
    std::optional<qint64> sizeAt(PathArena::Node node) const
    {
        return listed(node) ? std::optional(itemAt(node).size) : std::nullopt;
    }
    bool listed(PathArena::Node node) const
    {
        const QList<quint32> &where = m_where[PathArena::partOf(node)];
        const quint32 index = PathArena::indexOf(node);
        return index < quint32(where.size()) && where[index] != 0;
    }

    // Adds the item with its identity (from `look`, an lstat of it; an item
    // that could not be examined has none, and a clean refuses it). `size`
    // overrides the looked-at size. False when the path is already in the result.
    bool add(FileType type, QByteArrayView path, const std::optional<pathhandles::ItemLook> &look,
             std::optional<qint64> size = std::nullopt)
    {
        return add(type, m_paths.add(path), look, size);
    }
    bool add(FileType type, PathArena::Node node, const std::optional<pathhandles::ItemLook> &look,
             std::optional<qint64> size = std::nullopt)
    {
        if (listed(node))
            return false;
        // A folder's size is what it holds (setSize), never its own entry's.
        FileItem item(m_paths.arena(), node, size.value_or(look && look->kind != ItemKind::folder ? look->size : 0));
        if (look)
            pathhandles::recordIdentity(item, *look);
        append(type, node, std::move(item));
        return true;
    }

    // A listed folder's size: the files it holds, as the walk counted them.
    void setSize(QByteArrayView path, qint64 bytes)
    {
        const std::optional<PathArena::Node> node = m_paths.find(path);
        if (node && listed(*node))
            m_result[kindAt(*node)][whereOf(*node) & kIndexMask].size = bytes;
    }

    // Adds an item of a builder that shares this one's index, as it is,
    // unless its path is in the result already (false then).
    bool adopt(FileType type, FileItem item)
    {
        const PathArena::Node node = item.node();
        if (listed(node))
            return false;
        append(type, node, std::move(item));
        return true;
    }

    // Takes the paths out of the result (those it does not hold are ignored).
    void remove(const QSet<QByteArray> &paths)
    {
        QSet<FileType> kinds;
        QSet<PathArena::Node> nodes;
        for (const QByteArray &path : paths) {
            const std::optional<PathArena::Node> node = m_paths.find(path);
            if (node && listed(*node)) {
                kinds.insert(kindAt(*node));
                nodes.insert(*node);
                whereOf(*node) = 0;
            }
        }
        for (FileType type : std::as_const(kinds)) {
            QList<FileItem> &items = m_result[type];
            items.removeIf([&](const FileItem &item) { return nodes.contains(item.node()); });
            if (items.isEmpty()) {
                m_result.remove(type);
                continue;
            }
            for (qsizetype i = 0; i < items.size(); ++i)
                whereOf(items[i].node()) = where(type, i);
        }
    }

    // How many items the kind lists.
    qsizetype count(FileType type) const { return m_result.value(type).size(); }
    // Calls `f` with each item of the kind from index `from` on (up to
    // `to`), in order. Threads may ask together while nothing is added.
    template <typename F>
    void forEachFrom(FileType type, qsizetype from, F f, qsizetype to = -1) const
    {
        const auto it = m_result.constFind(type);
        if (it == m_result.cend())
            return;
        for (qsizetype i = from, end = to < 0 ? it->size() : std::min(to, it->size()); i < end; ++i)
            f(it->at(i));
    }

    // Where the result holds its paths: a path held there before it is
    // listed costs nothing more when it is.
    PathIndex &paths() { return m_paths; }
    const PathIndex &paths() const { return m_paths; }

    // Moves in the items of a builder that shares this one's index, as a
    // kind this one does not list yet; none of their paths may be listed.
    void adoptAll(FileType type, QList<FileItem> items)
    {
        Q_ASSERT(count(type) == 0);
        for (qsizetype i = 0; i < items.size(); ++i)
            placeOf(items[i].node()) = where(type, i);
        m_result[type] = std::move(items);
    }

    const ScanResult &result() const { return m_result; }
    // The items; the builder lists nothing more.
    ScanResult take()
    {
        for (QList<quint32> &where : m_where)
            where = QList<quint32>();
        return std::move(m_result);
    }

private:
    // A node's place in the result: its kind (plus one; 0: not listed) in
    // the high bits, its index among that kind's items below.
    static constexpr int kIndexBits = 28;
    static constexpr quint32 kIndexMask = (1u << kIndexBits) - 1;
    static quint32 where(FileType type, qsizetype index)
    {
        return (quint32(type) + 1) << kIndexBits | quint32(index);
    }

    FileType kindAt(PathArena::Node node) const { return FileType((whereOf(node) >> kIndexBits) - 1); }
    quint32 whereOf(PathArena::Node node) const { return m_where[PathArena::partOf(node)][PathArena::indexOf(node)]; }
    quint32 &whereOf(PathArena::Node node) { return m_where[PathArena::partOf(node)][PathArena::indexOf(node)]; }
    // The node's place, made room for: as many as its part holds nodes.
    quint32 &placeOf(PathArena::Node node)
    {
        const int part = PathArena::partOf(node);
        const qsizetype index = PathArena::indexOf(node);
        QList<quint32> &where = m_where[part];
        if (where.size() <= index)
            where.resize(std::max<qsizetype>(index + 1, PathArena::indexOf(m_paths.arena()->nodeLimit(part))), 0);
        return where[index];
    }

    const FileItem *itemOf(QByteArrayView path) const
    {
        const std::optional<PathArena::Node> node = m_paths.find(path);
        return node && listed(*node) ? &itemAt(*node) : nullptr;
    }
    const FileItem &itemAt(PathArena::Node node) const
    {
        return m_result.constFind(kindAt(node)).value().at(whereOf(node) & kIndexMask);
    }

    void append(FileType type, PathArena::Node node, FileItem item)
    {
        QList<FileItem> &items = m_result[type];
        placeOf(node) = where(type, items.size());
        items.append(std::move(item));
    }

    PathIndex m_paths;
    ScanResult m_result;
    QList<quint32> m_where[PathArena::kParts];   // by node, in each part
};
