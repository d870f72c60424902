#pragma once

// Loop devices known by what they hold: the device and inode of the backing
// file as the loop driver reports them, never by their number, which the
// kernel hands to the next test that asks once it is free (tests alongside
// attach and detach loop devices all the time).
//
// A loop device held open keeps what it holds: another process's detach
// only marks it to be freed at its last close. So a look and the detach that
// follows it go through one descriptor, and nothing can take the number in
// between.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

struct LoopBacking
{
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const LoopBacking &, const LoopBacking &) = default;
};

// The file at `path` as a loop device holding it would report it.
inline std::optional<LoopBacking> fileIdentity(const QString &path)
{
    struct stat file{};
    if (::stat(QFile::encodeName(path).constData(), &file) != 0)
        return std::nullopt;
    return LoopBacking{file.st_dev, file.st_ino};
}

// What the loop device open at `fd` holds; nothing when it holds no file.
inline std::optional<LoopBacking> backingOf(int fd)
{
    loop_info64 info{};
    if (::ioctl(fd, LOOP_GET_STATUS64, &info) != 0)
        return std::nullopt;   // ENXIO: attached to nothing
    return LoopBacking{dev_t(info.lo_device), ino_t(info.lo_inode)};
}

// What the loop device `node` ("/dev/loop3") holds now.
inline std::optional<LoopBacking> loopBacking(const QString &node)
{
    const int fd = ::open(QFile::encodeName(node).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    const std::optional<LoopBacking> backing = backingOf(fd);
    ::close(fd);
    return backing;
}

// The path sysfs shows for the file the loop device `name` ("loop3") holds
// (" (deleted)" after it when it is gone); empty when it holds none.
inline QByteArray backingPath(const QString &name)
{
    QFile file(QStringLiteral("/sys/block/%1/loop/backing_file").arg(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray path = file.readAll();
    if (path.endsWith('\n'))
        path.chop(1);
    return path;
}

// Detaches the loop device `node` when `ours(backing, sysfsPath)` accepts
// what it holds: at once, or (while a mount or a daemon still holds it) as
// soon as that lets it go. False when it holds a file of ours and the
// driver refused; true otherwise (also when it was free or not ours).
template<typename Accept>
bool detachLoopIf(const QString &node, Accept ours)
{
    const int fd = ::open(QFile::encodeName(node).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    const std::optional<LoopBacking> backing = backingOf(fd);
    bool detached = true;
    if (backing && ours(*backing, backingPath(QDir(node).dirName())))
        detached = ::ioctl(fd, LOOP_CLR_FD, 0) == 0;
    ::close(fd);
    return detached;
}

// The loop devices there are ("/dev/loop0", ...), attached or not.
inline QStringList loopDevices()
{
    QStringList nodes;
    for (const QString &name : QDir(QStringLiteral("/sys/block")).entryList({QStringLiteral("loop*")}, QDir::Dirs | QDir::System))
        nodes << QStringLiteral("/dev/") + name;
    return nodes;
}

} // namespace testsupport
