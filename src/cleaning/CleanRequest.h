#pragma once

#include "cleaning/FileType.h"
#include "cleaning/ScannedFolders.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the app hands its deleting tools (dot_clean and the administrator
// tool) on standard input, and what they answer on standard output.
//
// The request holds the volume root (an absolute path, or "." for the tool's
// working directory, which the app sets to the volume it holds), the root's
// device and inode, the custom extensions the user chose (the administrator
// tool removes files by them, never folders), for each item its path
// relative to the root with the kind, device, inode, size and modification
// time the scan recorded, and
// what the scan saw of the volume's folders and, on FAT and exFAT, of its
// files (ScannedFolders: the folders holding them, each a field, and the
// files packed into one field).
// Every field ends in a NUL byte, so any name a file system allows passes
// unchanged. A request is at most kMaxBytes long with at most kMaxItems
// items; a larger one is refused before anything is allocated for it, and so
// is one that names an item twice or carries an extension longer than a name.
//
// The answer is one line per item the tool dealt with: "removed N" when item
// N is gone, "failed N E" when it is not (E: the errno that says why; ESTALE
// when the item is no longer what was scanned).
struct CleanRequest
{
    struct Item
    {
        QByteArray relative;
        ItemKind kind = ItemKind::unknown;
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modified = 0;

        // The item at `relative` as the scan recorded `item`.
        static Item of(const QByteArray &relative, const FileItem &item)
        {
            return Item{relative, item.kind, item.device, item.inode, item.size, item.modified};
        }
        // The identity as a FileItem carries it (path fields left empty).
        FileItem identity() const;
        // Is the path within kMaxPathBytes and kMaxComponents?
        bool withinPathLimits() const;
    };

    QByteArray root;
    quint64 device = 0;
    quint64 rootInode = 0;
    QList<Item> items;
    QStringList customExtensions;
    // What the scan saw of the volume's folders and files: the tool leaves a
    // folder item whole when one of its folders is an alias of one of these,
    // or shows one of these files.
    ScannedFolders scannedFolders;

    static constexpr qsizetype kMaxBytes = 64 * 1024 * 1024;
    static constexpr qsizetype kMaxItems = 500'000;
    static constexpr qsizetype kMaxExtensions = 10'000;
    static constexpr qsizetype kMaxExtensionBytes = 255;   // no file name is longer
    // An item's path: a tool answers one longer or deeper "failed" with
    // ENAMETOOLONG before it looks at it (see withinPathLimits()).
    static constexpr qsizetype kMaxPathBytes = 256 * 1024;
    static constexpr qsizetype kMaxComponents = 8192;
    static constexpr qsizetype kMaxScannedFolders = 4'000'000;
    static constexpr qsizetype kMaxScannedFiles = 4'000'000;

    QByteArray encode() const;
    // Nothing, with the reason in *error, for input that is not a request.
    static std::optional<CleanRequest> decode(const QByteArray &input, QString *error = nullptr);
};

namespace CleanAnswer {

// How a tool's run ended (its exit status): every item gone; some are not
// (the answers say which); the request or the volume could not be used (no
// item was looked at); stopped before its last item, by SIGTERM or because
// its answers could no longer be written (those it gave count, the rest it
// did not get to).
enum Exit { allGone = 0, someLeft = 1, refused = 2, stopped = 3 };

QByteArray line(qsizetype index, int error);
// Item index to its errno (0: removed). Lines that are not answers are ignored.
QHash<qsizetype, int> parse(const QByteArray &output);

// Answers as they arrive, piece by piece: each piece gives those whose line it completes.
class Stream
{
public:
    QHash<qsizetype, int> feed(const QByteArray &piece);

private:
    QByteArray m_partial;
};

} // namespace CleanAnswer
