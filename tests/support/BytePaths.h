#pragma once

// Making and reading test trees by byte paths, which may hold any name the
// file system allows (not only valid UTF-8).

#include "cleaning/FileType.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/SafeRemove.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

// Writes a file (never through a link) with exactly this mode.
inline bool writeFile(const QByteArray &path, const QByteArray &content = "x", mode_t mode = 0644)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size()
                    && ::fchmod(fd, mode) == 0;
    return ::close(fd) == 0 && ok;
}

inline bool makeDir(const QByteArray &path, mode_t mode = 0755) { return ::mkdir(path.constData(), mode) == 0; }

inline bool makeLink(const QByteArray &target, const QByteArray &path)
{
    return ::symlink(target.constData(), path.constData()) == 0;
}

// The type and permission bits of what is at `path` (links not followed); 0 when nothing is.
inline mode_t modeOf(const QByteArray &path)
{
    struct stat st{};
    return ::lstat(path.constData(), &st) == 0 ? st.st_mode : 0;
}

inline bool exists(const QByteArray &path) { return modeOf(path) != 0; }

inline QByteArray readFile(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The item as a scan would list it now: its path and size with its kind,
// device and inode. An item that is not there has no identity.
inline FileItem scannedItem(const QByteArray &path)
{
    struct stat st{};
    const bool there = ::lstat(path.constData(), &st) == 0;
    FileItem item = FileItem::fromNativePath(path, there ? qint64(st.st_size) : 0);
    if (there) {
        item.kind = S_ISDIR(st.st_mode) ? ItemKind::folder : S_ISLNK(st.st_mode) ? ItemKind::link : ItemKind::file;
        item.device = quint64(st.st_dev);
        item.inode = quint64(st.st_ino);
    }
    return item;
}

// `levels` nested folders named `name` below `base`, and a file `leaf`
// (holding its own name) at the bottom. Built over handles: paths this long
// cannot be passed to mkdir.
inline bool makeChain(const QByteArray &base, const QByteArray &name, int levels, const QByteArray &leaf)
{
    int fd = ::open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < levels && fd >= 0; ++i) {
        const int child = ::mkdirat(fd, name.constData(), 0755) == 0
                              ? ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : -1;
        ::close(fd);
        fd = child;
    }
    if (fd < 0)
        return false;
    const int file = ::openat(fd, leaf.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool ok = file >= 0 && ::write(file, leaf.constData(), size_t(leaf.size())) == leaf.size();
    if (file >= 0)
        ::close(file);
    ::close(fd);
    return ok;
}

// A temporary folder, its path as bytes. Removed through the held volume:
// QTemporaryDir cannot remove names that are not UTF-8, nor trees past
// PATH_MAX.
struct Sandbox : QTemporaryDir
{
    Sandbox() { setAutoRemove(false); }
    ~Sandbox()
    {
        const QByteArray dir = path();
        const FileItem item = scannedItem(dir);
        const qsizetype slash = dir.lastIndexOf('/');
        if (const auto parent = HeldVolume::open(slash > 0 ? dir.left(slash) : "/", item.device))
            SafeRemove::removeScanned(*parent, dir.mid(slash + 1), item);
    }
    QByteArray path() const { return QFile::encodeName(QTemporaryDir::path()); }
    QByteArray operator/(const QByteArray &relative) const { return path() + '/' + relative; }
};

} // namespace testsupport
