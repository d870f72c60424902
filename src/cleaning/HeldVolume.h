#pragma once

#include "cleaning/FileType.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include <sys/stat.h>

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

    // The scan or clean this volume is held for: every look inside it counts
    // as its progress, and its steps ask it whether to go on. May be none.
    void setWork(std::shared_ptr<VolumeWork> work) { m_work = std::move(work); }
    VolumeWork *work() const { return m_work.get(); }
    const std::shared_ptr<VolumeWork> &sharedWork() const { return m_work; }

    // The part of `path` below the root, when it lies strictly inside by
    // whole components (no ".", ".." or empty component).
    std::optional<QByteArray> relativePath(const QByteArray &path) const;
    static std::optional<QByteArray> relativePath(const QByteArray &root, const QByteArray &path);

    // The folder holding `relative`, open (O_PATH) from the root. The handle
    // belongs to the volume and stays valid until the next call. -1 with
    // errno set when a folder on the way is missing (ENOENT), is a link or
    // not a folder (ELOOP, ENOTDIR), or lies on another file system or is a
    // mount point (EXDEV).
    int openParent(const QByteArray &relative, QByteArray *name);

    // What is at `relative` now, without following it. 0 and the lstat, or
    // the errno of the first step that failed (ENOENT: it is gone).
    struct Look
    {
        int error = 0;
        struct stat st{};
    };
    Look look(const QByteArray &relative);

    // Is what stands at `relative` now the item the scan recorded?
    // ENOENT when gone, ESTALE when something else is there, another errno
    // when it cannot be examined; 0 when it is the same.
    int checkScanned(const QByteArray &relative, const FileItem &item);

private:
    HeldVolume() = default;
    void dropChainFrom(size_t index);

    struct Link
    {
        QByteArray name;
        int fd = -1;   // -1: closed to save handles, reopened when needed
    };

    QByteArray m_root;
    int m_rootFd = -1;
    quint64 m_device = 0;
    quint64 m_rootInode = 0;
    bool m_isFuse = false;
    std::shared_ptr<VolumeWork> m_work;
    std::vector<Link> m_chain;   // the folders from the root down to the last parent opened
};
