#pragma once

// Making and reading test trees by byte paths, which may hold any name the
// file system allows (not only valid UTF-8).

#include "cleaning/FileType.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/PathHandles.h"
#include "cleaning/SafeRemove.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// Makes below `base`, in order, folders (ending in "/"), links ("name ->
// target") and files (holding their own name); false at the first that fails.
inline bool makeTree(const QByteArray &base, const QByteArrayList &entries)
{
    for (const QByteArray &entry : entries) {
        const qsizetype arrow = entry.indexOf(" -> ");
        const bool made = arrow > 0             ? makeLink(entry.mid(arrow + 4), base + '/' + entry.left(arrow))
                          : entry.endsWith('/') ? makeDir(base + '/' + entry.chopped(1))
                                                : writeFile(base + '/' + entry, entry);
        if (!made)
            return false;
    }
    return true;
}

inline QByteArray readFile(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// lstat of `relative` below the folder open at `baseFd`, reached name by
// name over handles without following a link (so past PATH_MAX too), apart
// from the code under test: 0, or the errno of the first step that failed.
inline int lookBelow(int baseFd, const QByteArray &relative, struct stat *st = nullptr)
{
    QByteArrayList names = relative.split('/');
    names.removeAll(QByteArray());
    const QByteArray last = names.isEmpty() ? QByteArray(".") : names.takeLast();
    pathhandles::Handle fd(::fcntl(baseFd, F_DUPFD_CLOEXEC, 0));
    for (const QByteArray &name : std::as_const(names)) {
        if (fd.get() < 0)
            break;
        fd.reset(::openat(fd.get(), name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    struct stat found{};
    if (fd.get() < 0 || ::fstatat(fd.get(), last.constData(), &found, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (st)
        *st = found;
    return 0;
}

// The same for an absolute path: every component from "/" on.
inline int lookAt(const QByteArray &path, struct stat *st = nullptr)
{
    const pathhandles::Handle root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    return lookBelow(root.get(), path, st);
}

// The item as a scan would list it now: its path and size with its kind,
// device and inode. An item that is not there has no identity.
inline FileItem scannedItem(const QByteArray &path)
{
    struct stat st{};
    const int error = ::lstat(path.constData(), &st) == 0 ? 0 : errno == ENAMETOOLONG ? lookAt(path, &st) : errno;
    FileItem item = FileItem::fromNativePath(path, error == 0 ? qint64(st.st_size) : 0);
    if (error == 0)
        pathhandles::recordIdentity(item, st);
    return item;
}

// The same record (size and identity) at another path: an item whose path
// no longer leads to what was scanned.
inline FileItem movedTo(const FileItem &item, const QByteArray &path)
{
    FileItem moved = FileItem::fromNativePath(path, item.size);
    pathhandles::recordIdentity(moved, pathhandles::ItemLook{item.kind, item.device, item.inode, item.size, item.modified});
    return moved;
}

// The type and permission bits of what is at `path` (its last component not
// followed; past PATH_MAX no link followed at all); 0 when nothing is.
inline mode_t modeOf(const QByteArray &path)
{
    struct stat st{};
    const bool there = ::lstat(path.constData(), &st) == 0 || (errno == ENAMETOOLONG && lookAt(path, &st) == 0);
    return there ? st.st_mode : 0;
}

inline bool exists(const QByteArray &path) { return modeOf(path) != 0; }

// scannedItem() of each path, taken below `base` when one is given.
inline QList<FileItem> scannedItems(const QByteArrayList &paths, const QByteArray &base = {})
{
    QList<FileItem> items;
    for (const QByteArray &path : paths)
        items << scannedItem(base.isEmpty() ? path : base + '/' + path);
    return items;
}

// Holds `root` as a clean does, with its device and inode as they are now.
inline std::unique_ptr<HeldVolume> holdVolume(const QByteArray &root)
{
    const FileItem top = scannedItem(root);
    return HeldVolume::open(root, top.device, top.inode);
}

// Folders `names` nested below `base` (those already there are entered), and
// a file `leaf` (holding its own name) at the bottom; all given to `owner`
// unless it is -1. Built over handles: paths this long cannot be passed to mkdir.
inline bool makeChain(const QByteArray &base, const QByteArrayList &names, const QByteArray &leaf, uid_t owner = uid_t(-1))
{
    pathhandles::Handle fd(::open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const QByteArray &name : names) {
        if (fd.get() < 0)
            return false;
        if (::mkdirat(fd.get(), name.constData(), 0755) == 0)
            ::fchownat(fd.get(), name.constData(), owner, owner, AT_SYMLINK_NOFOLLOW);
        fd.reset(::openat(fd.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    const pathhandles::Handle file(fd.get() < 0 ? -1 : ::openat(fd.get(), leaf.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    return file.get() >= 0 && ::write(file.get(), leaf.constData(), size_t(leaf.size())) == leaf.size()
           && ::fchown(file.get(), owner, owner) == 0;
}

// `levels` nested folders named `name`.
inline bool makeChain(const QByteArray &base, const QByteArray &name, int levels, const QByteArray &leaf)
{
    return makeChain(base, QByteArrayList(levels, name), leaf);
}

// A temporary folder, its path as bytes. Removed through the held volume:
// QTemporaryDir cannot remove names that are not UTF-8, nor trees past
// PATH_MAX.
// Its path is the canonical one: no link on the way.
struct Sandbox : QTemporaryDir
{
    Sandbox() : m_path(QFile::encodeName(QFileInfo(QTemporaryDir::path()).canonicalFilePath())) { setAutoRemove(false); }
    ~Sandbox()
    {
        const FileItem item = scannedItem(m_path);
        const qsizetype slash = m_path.lastIndexOf('/');
        if (const auto parent = HeldVolume::open(slash > 0 ? m_path.left(slash) : "/", item.device))
            SafeRemove::removeScanned(*parent, m_path.mid(slash + 1), item);
    }
    QByteArray path() const { return m_path; }
    QByteArray operator/(const QByteArray &relative) const { return m_path + '/' + relative; }

private:
    QByteArray m_path;
};

// Descriptors this process holds open now: a walk or a clean must give back
// what it opened.
inline int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

} // namespace testsupport
