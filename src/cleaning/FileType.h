#pragma once

#include "cleaning/PathArena.h"

#include <QByteArray>
#include <QHashFunctions>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

// The nine kinds of junk. The raw value (the case name) is what settings and
// history store.
enum class FileType {
    dsStore,
    appleDouble,
    spotlight,
    trash,
    thumbsDb,
    temporaryFiles,
    systemLogs,
    windowsSystem,
    custom,
};

inline size_t qHash(FileType type, size_t seed = 0) noexcept
{
    return ::qHash(static_cast<int>(type), seed);
}

using FileTypeSet = QSet<FileType>;

namespace FileTypes {

// The nine kinds in declaration order.
const QList<FileType> &allCases();
FileTypeSet allTypes();

QString rawValue(FileType type);
// Exact, case-sensitive; anything else gives nothing.
std::optional<FileType> fromRawValue(const QString &raw);
inline QString id(FileType type) { return rawValue(type); }

QString nameKey(FileType type);
QString descriptionKey(FileType type);
// Looked up anew on every call, so they follow the interface language.
QString displayName(FileType type);
QString localizedDescription(FileType type);

// What the file-kind popover shows: the description and the display list
// (a table of its own, not the matching catalogue).
struct PatternInfo
{
    QString description;
    QStringList patterns;
};
PatternInfo patternInfo(FileType type);

// In declaration order (a fixed order of the set).
QList<FileType> inDeclarationOrder(const FileTypeSet &types);
QStringList displayNames(const FileTypeSet &types);
QStringList rawValues(const FileTypeSet &types);

// The matching catalogue: eight entries, none for custom.
const QMap<FileType, QStringList> &junkFilePatterns();

} // namespace FileTypes

// What an item was when the scan met it. A clean acts on an item only while
// the same kind of thing is there on the same device, with the same inode
// number where the volume's numbers last, else with the same size and
// modification time (see pathhandles::isScannedItem).
enum class ItemKind : quint8 {
    unknown,   // not recorded: a clean refuses such an item
    file,      // anything that is neither a folder nor a symbolic link
    folder,
    link,
};

// One junk item a scan found. Its path is held by a `PathArena` shared with
// the other items of its scan, byte for byte as the file system knows it
// (`fsPath()`), so a name that is not valid UTF-8 is still deleted exactly;
// `name()` and `path()` are readings for people, decoded when asked.
struct FileItem
{
    qint64 size = 0;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 modified = 0;   // its modification time as the scan saw it, in seconds since the epoch
    // Why a clean left it (an errno); 0 until a clean fails on it, or when
    // the reason is not known. Sharing a word with the kind keeps a scan's
    // many records small.
    int failure : 24 = 0;
    ItemKind kind : 8 = ItemKind::unknown;

    FileItem() = default;
    // The item at `node` of `arena`.
    FileItem(QExplicitlySharedDataPointer<PathArena> arena, PathArena::Node node, qint64 bytes = 0)
        : size(bytes), m_node(node), m_arena(std::move(arena))
    {
    }

    bool hasIdentity() const { return kind != ItemKind::unknown; }

    // The path as the file system knows it.
    QByteArray fsPath() const { return m_arena ? m_arena->path(m_node) : QByteArray(); }
    // The last component of fsPath(), NUL-terminated in place.
    QByteArrayView nameBytes() const
    {
        if (!m_arena)
            return {};
        // A folder listed after what it holds may end a segment of several components.
        const QByteArrayView segment = m_arena->name(m_node);
        return segment.sliced(segment.lastIndexOf('/') + 1);
    }
    // Readings for people (decodeFileName).
    QString name() const;
    QString path() const;

    // From the bytes of an absolute path, held on its own.
    static FileItem fromNativePath(QByteArrayView path, qint64 size);
    // From a path read by people (encoded as the system encodes file names).
    static FileItem fromPath(const QString &path, qint64 size = 0);

    // Where the path lies in its arena. An item is the same item as another
    // when both lie at the same node of the same arena (a scan adds each
    // path once).
    PathArena::Node node() const { return m_node; }
    const PathArena *arena() const { return m_arena.data(); }
    bool isSameItem(const FileItem &other) const { return m_node == other.m_node && m_arena == other.m_arena; }

    // The same record at another arena's node: for a result gathered anew.
    FileItem rehomed(QExplicitlySharedDataPointer<PathArena> arena, PathArena::Node node) const
    {
        FileItem item = *this;
        item.m_arena = std::move(arena);
        item.m_node = node;
        return item;
    }

private:
    PathArena::Node m_node = PathArena::kNone;   // beside the kind: no padding
    QExplicitlySharedDataPointer<PathArena> m_arena;
};
static_assert(sizeof(FileItem) <= 48);
Q_DECLARE_TYPEINFO(FileItem, Q_RELOCATABLE_TYPE);

// The item, or the items, as a clean that could not remove them for `error` reports them.
inline FileItem failedWith(FileItem item, int error)
{
    item.failure = error;
    return item;
}
inline QList<FileItem> failedWith(QList<FileItem> items, int error)
{
    for (FileItem &item : items)
        item.failure = error;
    return items;
}

// The sum of the items' sizes.
inline qint64 totalSize(const QList<FileItem> &files)
{
    qint64 sum = 0;
    for (const FileItem &file : files)
        sum += file.size;
    return sum;
}

// A scan's result: junk items by kind, each kind in the order found.
using ScanResult = QMap<FileType, QList<FileItem>>;
