#pragma once

// Small pieces the engine's file-system code shares: an owned descriptor,
// openat that survives signals, who a handle refers to, and path components
// of byte paths.

#include "cleaning/FileType.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace pathhandles {

class Handle
{
public:
    explicit Handle(int fd = -1) : m_fd(fd) {}
    ~Handle() { reset(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

inline int openAt(int dirFd, const char *name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(dirFd, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens `path` (one component or more) below the folder open at `dirFd`: the
// kernel refuses a link on the way (ELOOP), a mount crossed (EXDEV) and a
// way out of the folder.
inline int openBeneath(int dirFd, const char *path, int flags)
{
    open_how how{};
    how.flags = flags;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV | RESOLVE_BENEATH;
    int fd;
    do {
        fd = int(::syscall(SYS_openat2, dirFd, path, &how, sizeof how));
    } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
    return fd;
}

// Opens the entry `name` of the folder open at `dirFd` for reading, only when
// it is a regular file or a folder: a device node, fifo or socket is never
// opened (that can act on a device, or block), and no link is followed. The
// entry is pinned (O_PATH) and looked at first, then opened through that very
// handle, so what is opened is what was looked at. -1 with errno (EPERM:
// something else stands there); *st tells what was opened.
inline int openFileOrFolder(int dirFd, const char *name, struct stat *st)
{
    Handle pinned(openAt(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (pinned.get() < 0 || ::fstat(pinned.get(), st) != 0)
        return -1;
    if (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode)) {
        errno = EPERM;
        return -1;
    }
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(pinned.get());
    return openAt(AT_FDCWD, self.constData(),
                  O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (S_ISDIR(st->st_mode) ? O_DIRECTORY : 0));
}

// Calls `onEntry(name, type)` (type a DT_* value, DT_UNKNOWN where the file
// system does not tell) for every entry but "." and ".." of the folder open at
// `fd`, reading through `buffer`, and `onDots(isDotDot, inode)` for those two
// as the file system lists them. False with errno on a read error.
template <typename OnEntry, typename OnDots>
bool forEachEntry(int fd, char *buffer, size_t size, OnEntry onEntry, OnDots onDots)
{
    for (;;) {
        const ssize_t n = ::getdents64(fd, buffer, size);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t at = 0; at < n;) {
            const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                onDots(name[1] == '.', quint64(entry->d_ino));
                continue;
            }
            onEntry(name, entry->d_type);
        }
    }
}

template <typename OnEntry>
bool forEachEntry(int fd, char *buffer, size_t size, OnEntry onEntry)
{
    return forEachEntry(fd, buffer, size, onEntry, [](bool, quint64) {});
}

// Who an item is, and whether a file system is mounted right there (also one
// bind-mounted from the same device, which st_dev alone cannot tell).
struct Identity
{
    dev_t dev = 0;
    ino_t ino = 0;
    bool isDirectory = false;
    bool mountRoot = false;
};

// The item `name` of the folder open at `dirFd`, never following a link.
inline bool identifyAt(int dirFd, const char *name, int flags, Identity &id)
{
    struct statx stx;
    if (::statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO, &stx) != 0)
        return false;
    id.dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    id.ino = stx.stx_ino;
    id.isDirectory = S_ISDIR(stx.stx_mode);
    id.mountRoot = (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    return true;
}

// What the handle itself refers to.
inline bool identify(int fd, Identity &id)
{
    return identifyAt(fd, "", AT_EMPTY_PATH, id);
}

// Does the folder open at `fd` (met as `self`) still stand at `name` in the
// folder above it: the one open at `aboveFd`, or when that handle was closed
// (-1) its own "..", which must be the folder met as `above`?
inline bool standsAtName(int fd, const char *name, const Identity &self, int aboveFd, const Identity &above)
{
    Handle up;
    Identity id;
    if (aboveFd < 0) {
        up.reset(openAt(fd, "..", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (up.get() < 0 || !identify(up.get(), id) || id.dev != above.dev || id.ino != above.ino)
            return false;
        aboveFd = up.get();
    }
    return identifyAt(aboveFd, name, 0, id) && id.isDirectory && id.dev == self.dev && id.ino == self.ino;
}

inline ItemKind kindOfMode(mode_t mode)
{
    if (S_ISDIR(mode))
        return ItemKind::folder;
    if (S_ISLNK(mode))
        return ItemKind::link;
    return ItemKind::file;
}

// Records what the item is now (from an lstat of it) as its scan identity.
inline void recordIdentity(FileItem &item, const struct stat &st)
{
    item.kind = kindOfMode(st.st_mode);
    item.device = quint64(st.st_dev);
    item.inode = quint64(st.st_ino);
    item.modified = qint64(st.st_mtim.tv_sec);
}

// What a scan keeps of a look (lstat) at an item it lists: who it is, its
// size and modification time.
struct ItemLook
{
    ItemKind kind = ItemKind::unknown;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modified = 0;   // seconds since the epoch
};

inline ItemLook lookOf(const struct stat &st)
{
    return ItemLook{kindOfMode(st.st_mode), quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size),
                    qint64(st.st_mtim.tv_sec)};
}

inline void recordIdentity(FileItem &item, const ItemLook &look)
{
    item.kind = look.kind;
    item.device = look.device;
    item.inode = look.inode;
    item.modified = look.modified;
}

// How a volume's items are told again after the scan. Where inode numbers
// last (ext4, btrfs, NTFS...), by them. FAT and exFAT keep none: the
// kernel's drivers and their FUSE daemons give an item a new number each
// time it is read in again (after any memory pressure, or on a large
// stick), and so may a FUSE file system whose type cannot be told.
enum class ItemNumbers : quint8 {
    last,
    renewed,
};

// Is the item (an lstat of it now, reached at its place through the folders
// held from the volume's root) still the one the scan recorded? The same
// kind on the same device, and where numbers last the same inode. Where
// they are renewed, a file or link that kept its size and modification time
// (to the second: these volumes keep coarser times, and a driver may hold a
// finer one for an item it wrote itself until it reads it in again); a
// folder by its kind alone, since what it holds and its times change with
// the clean itself (a junk folder left part-way goes on to the
// administrator step), a junk folder goes whole whatever it holds (as where
// numbers last), and FolderAliases tells a folder that stands for another.
inline bool isScannedItem(const FileItem &item, const struct stat &st, ItemNumbers numbers)
{
    const ItemKind kind = kindOfMode(st.st_mode);
    if (!item.hasIdentity() || item.kind != kind || item.device != quint64(st.st_dev))
        return false;
    if (numbers == ItemNumbers::last)
        return item.inode == quint64(st.st_ino);
    return kind == ItemKind::folder
        || (item.size == qint64(st.st_size) && item.modified == qint64(st.st_mtim.tv_sec));
}

inline QByteArray withoutTrailingSlashes(const QByteArray &path)
{
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == '/')
        --end;
    return path.left(end);
}

inline QByteArray lastComponent(const QByteArray &path)
{
    const QByteArray trimmed = withoutTrailingSlashes(path);
    return trimmed.mid(trimmed.lastIndexOf('/') + 1);
}

// The folder holding the item ("/" for an item at the top).
inline QByteArray parentOf(const QByteArray &path)
{
    const QByteArray trimmed = withoutTrailingSlashes(path);
    const qsizetype slash = trimmed.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : trimmed.left(slash);
}

// `name` inside `folder` (a folder that ends in "/" gets no second one).
inline QByteArray childPath(const QByteArray &folder, QByteArrayView name)
{
    QByteArray path;
    path.reserve(folder.size() + 1 + name.size());
    path.append(folder);
    if (!folder.endsWith('/'))
        path.append('/');
    path.append(name);
    return path;
}

} // namespace pathhandles
