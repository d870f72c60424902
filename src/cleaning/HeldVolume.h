#pragma once

#include "cleaning/FileType.h"
#include "cleaning/PathHandles.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include <sys/stat.h>

class FolderAliases;
struct ScannedFolders;
class VolumeWork;

// One volume held for a whole clean. Its root is opened once and checked to
// be the volume the scan saw (the device number every scanned item carries,
// and when known the root's own inode); every item is then reached from that
// handle one path component at a time, without following a symbolic link,
// without leaving the root's file system and without entering a mount. A
// volume unmounted or replaced by another during the clean is never looked up
// again by its path: what is left fails.
//
// Folder handles on the way are kept, so consecutive items of one folder cost
// no lookups. Not thread-safe: one clean step at a time uses it.
class HeldVolume
{
public:
    ~HeldVolume();
    HeldVolume(const HeldVolume &) = delete;
    HeldVolume &operator=(const HeldVolume &) = delete;

    // Opens `root` (an absolute path, or "." for the working directory).
    // `device` is the device number the scan recorded; `rootInode`, when not
    // 0, the root folder's inode. Nothing, with errno in *errorNumber and a
    // reason in *error, when it cannot be opened or is another volume.
    static std::unique_ptr<HeldVolume> open(const QByteArray &root, quint64 device, quint64 rootInode = 0,
                                            QString *error = nullptr, int *errorNumber = nullptr);

    // Takes over `rootFd`, a folder handle already checked to be the volume
    // (on `device`) whose root is at `root`.
    static std::unique_ptr<HeldVolume> adopt(int rootFd, const QByteArray &root, quint64 device);

    const QByteArray &root() const { return m_root; }
    int rootFd() const { return m_rootFd; }
    quint64 device() const { return m_device; }
    quint64 rootInode() const { return m_rootInode; }
    // Is it a FUSE file system (its daemon, not the mode bits, decides access)?
    bool isFuse() const { return m_isFuse; }
    // How its items are told from what the scan recorded. Until the owner
    // names the file system (`setFileSystemType`), as the kernel tells it:
    // renewed on FAT, exFAT and every FUSE volume, else lasting.
    pathhandles::ItemNumbers numbers() const { return m_numbers; }
    // The file system's type by the names blkid gives ("vfat", "exfat",
    // "ext4", "ntfs"; none when it could not be told): inode numbers are
    // renewed on FAT and exFAT, by the kernel or through FUSE, and on a FUSE
    // volume of no known type.
    void setFileSystemType(const std::optional<QString> &type);

    // What the scan saw of the volume's folders, for telling a folder item's
    // own folders from aliases of others before it is emptied (none: only
    // what the folders themselves tell). A scan of another volume is ignored.
    void setScannedFolders(std::shared_ptr<const ScannedFolders> scanned);
    const std::shared_ptr<const ScannedFolders> &scannedFolders() const { return m_scanned; }
    // The check a folder item's removal runs (SafeRemove::Options::aliases).
    const FolderAliases *aliases() const { return m_aliases.get(); }

    // The scan or clean this volume is held for: every look inside it counts
    // as its progress, and its steps ask it whether to go on. May be none.
    void setWork(std::shared_ptr<VolumeWork> work) { m_work = std::move(work); }
    VolumeWork *work() const { return m_work.get(); }
    const std::shared_ptr<VolumeWork> &sharedWork() const { return m_work; }

    // The part of `path` below the root, when it lies strictly inside by
    // whole components (no ".", ".." or empty component).
    std::optional<QByteArray> relativePath(const QByteArray &path) const;
    static std::optional<QByteArray> relativePath(const QByteArray &root, const QByteArray &path);
    // The same part as a view into `path`: nothing is copied.
    std::optional<QByteArrayView> relativePart(QByteArrayView path) const;
    static std::optional<QByteArrayView> relativePart(QByteArrayView root, QByteArrayView path);

    // The folder holding `relative`, open (O_PATH) from the root. The handle
    // belongs to the volume and stays valid until the next call. -1 with
    // errno set when a folder on the way is missing (ENOENT), is a link or
    // not a folder (ELOOP, ENOTDIR), or lies on another file system or is a
    // mount point (EXDEV).
    int openParent(const QByteArray &relative, QByteArray *name);

    // The folder `folder` itself (a path below the root, empty for the root),
    // open (O_PATH) from the root, for a clean that works folder by folder:
    // the folders it shares with the last one opened are kept (one whose
    // handle was closed is reached again through ".." from a deeper one),
    // and each of them is confirmed once per pass to stand still at its name
    // (ESTALE when one was moved, or replaced by a link or another folder); a
    // folder entered again is looked at in the one above. The others are
    // opened as openParent() opens them. The handle belongs to the volume and
    // stays valid until the next call; *st (when given) is what it is.
    int enterFolder(QByteArrayView folder, struct stat *st = nullptr);
    // A new pass of enterFolder() calls begins: every folder kept from before
    // is confirmed again, once, when it is next passed.
    void confirmAnew() { ++m_pass; }

    // What is at `relative` now, without following it. 0 and the lstat, or
    // the errno of the first step that failed (ENOENT: it is gone).
    struct Look
    {
        int error = 0;
        struct stat st{};
    };
    Look look(const QByteArray &relative);

private:
    HeldVolume() = default;
    void dropChainFrom(size_t index);
    // Opens `components` one below the other from the chain's deepest
    // folder, each checked; the handle of the last, or -1 with errno. With
    // `lastChecksDevice` the caller checks the device of the last one.
    int extendChain(const QByteArrayView *components, qsizetype count, bool lastChecksDevice);
    // Pushes a folder just opened (and checked) onto the chain.
    int pushLink(QByteArrayView name, int fd, dev_t dev, ino_t ino);
    // The handle of the kept folder `depth` levels down (the root for 0);
    // one whose handle was closed is reached through ".." from the deepest
    // open one below it, each step checked to be the folder met on the way
    // down, and stays open. -1 (ESTALE) when that cannot be done.
    int climbTo(size_t depth);
    // The first `depth` kept folders, each checked to stand at its name
    // (one whose handle was closed opened again by name): the handle of
    // the last, or -1 with errno and the chain cut where it failed.
    int confirmKept(size_t depth);
    // Does kept folder `index` still stand at its name in the one above?
    bool standsInFolderAbove(size_t index);


    struct Link
    {
        QByteArray name;
        int fd = -1;   // -1: closed to save handles, reopened when needed
        dev_t dev = 0;   // who it was when opened
        ino_t ino = 0;
        unsigned pass = 0;   // the pass that opened or confirmed it
    };

    QByteArray m_root;
    int m_rootFd = -1;
    quint64 m_device = 0;
    quint64 m_rootInode = 0;
    bool m_isFuse = false;
    pathhandles::ItemNumbers m_numbers = pathhandles::ItemNumbers::last;
    std::shared_ptr<VolumeWork> m_work;
    std::shared_ptr<const ScannedFolders> m_scanned;
    std::unique_ptr<FolderAliases> m_aliases;
    std::vector<Link> m_chain;   // the folders from the root down to the last parent opened
    unsigned m_pass = 0;
    std::vector<QByteArrayView> m_components;   // scratch of enterFolder()
};

// The indexes of `relativePaths` (paths below a volume's root) grouped by the
// folder each lies in: a folder's items together, in their own order, and the
// folders in the order a walk from the root meets them (a folder before the
// ones inside it, siblings side by side), so a clean that follows it opens
// every folder on the way once.
QList<qsizetype> byFolder(const QList<QByteArray> &relativePaths);
QList<qsizetype> byFolder(const QList<QByteArrayView> &relativePaths);
