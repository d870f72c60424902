#include "platform/RemovableHardware.h"

#include "platform/UDisks2Mounts.h"

#include <QFile>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <linux/loop.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// A loop device over a loop device over ... : deeper than this is refused.
constexpr int kMaxLoopDepth = 4;

bool isFuseType(const QString &fsType)
{
    const QString base = fsType.section(QLatin1Char('.'), 0, 0);
    return base == QLatin1String("fuse") || base == QLatin1String("fuseblk");
}

bool onRemovableBus(const BlockDeviceInfo &device)
{
    return device.diskRemovable || isRemovableBus(device.bus);
}

// The file a loop device is attached to, as the kernel holds it: the path
// sysfs shows and the device and inode the loop driver reports. Nothing when
// the loop device is attached to no file, or the two do not agree.
std::optional<struct stat> loopBacking(const SystemPaths &paths, const QString &loopName)
{
    QFile backing(paths.sysfsRoot + QStringLiteral("/class/block/") + loopName + QStringLiteral("/loop/backing_file"));
    if (!backing.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray path = backing.readAll();
    if (path.endsWith('\n'))
        path.chop(1);
    struct stat file{};
    if (path.isEmpty() || ::lstat(path.constData(), &file) != 0 || !S_ISREG(file.st_mode))
        return std::nullopt;

    // The path may name another file by now: the driver's own numbers decide.
    QFile number(paths.sysfsRoot + QStringLiteral("/class/block/") + loopName + QStringLiteral("/dev"));
    if (!number.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> parts = number.readAll().trimmed().split(':');
    const QByteArray node = "/dev/" + QFile::encodeName(loopName);
    const int fd = ::open(node.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat device{};
    loop_info64 info{};
    const bool same = parts.size() == 2 && ::fstat(fd, &device) == 0 && S_ISBLK(device.st_mode)
                      && ::major(device.st_rdev) == parts.at(0).toUInt() && ::minor(device.st_rdev) == parts.at(1).toUInt()
                      && ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    ::close(fd);
    if (!same || info.lo_device != quint64(file.st_dev) || info.lo_inode != quint64(file.st_ino))
        return std::nullopt;
    return file;
}

// Is the disk at the bottom of `device` removable hardware, or a loop device
// over a file that lies on such hardware?
bool isRemovableHardware(const BlockDeviceInfo &device, const SystemPaths &paths, int depth)
{
    if (onRemovableBus(device))
        return true;
    if (device.bus != QLatin1String("loop") || depth >= kMaxLoopDepth)
        return false;
    const std::optional<struct stat> file = loopBacking(paths, device.diskKernelName);
    if (!file || ::major(file->st_dev) == 0)
        return false;   // on a file system of no device of its own (tmpfs, overlay)
    const std::optional<BlockDeviceInfo> below = BlockDeviceProbe(paths).probe(::major(file->st_dev), ::minor(file->st_dev));
    return below && isRemovableHardware(*below, paths, depth + 1);
}

QByteArray accountName(uid_t uid)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return QByteArray(found->pw_name);
}

std::optional<uid_t> fuseOwner(const MountEntry &mount)
{
    bool ok = false;
    const uint owner = mountOptionValue(mount.superOptions, QStringLiteral("user_id")).toUInt(&ok);
    return ok ? std::optional<uid_t>(owner) : std::nullopt;
}

// Mounted for the account: where the desktop mounts its media, by the
// account itself, or by udisksd for it.
bool mountedFor(const MountEntry &mount, uid_t requester, const SystemPaths &paths)
{
    if (isFuseType(mount.fsType) && fuseOwner(mount) == requester)
        return true;
    if (!isFuseType(mount.fsType) && requester == 0)
        return true;   // only root makes kernel mounts
    for (const UDisks2Mount &made : readUDisks2Mounts(paths.udisksMounts)) {
        if (made.mountPoint == mount.mountPointBytes && made.device == ::makedev(mount.major, mount.minor)
            && made.mountedBy == requester)
            return true;
    }
    const QByteArray name = accountName(requester);
    if (name.isEmpty() || name.contains('/'))
        return false;
    const QByteArray &point = mount.mountPointBytes;
    return point.startsWith("/media/" + name + '/') || point.startsWith("/run/media/" + name + '/');
}

} // namespace

std::optional<QString> whyNotRemovableHardware(const MountEntry &mount, uid_t requester, const SystemPaths &paths)
{
    const bool fuse = isFuseType(mount.fsType);
    if (fuse && mount.fsType != QLatin1String("fuseblk") && fuseOwner(mount) != requester)
        return QStringLiteral("a FUSE file system another account mounted");
    const std::optional<BlockDeviceInfo> device = BlockDeviceProbe(paths).probeMount(mount);
    if (!device)
        return QStringLiteral("no block device lies behind it");
    if (onRemovableBus(*device))
        return std::nullopt;
    if (device->bus != QLatin1String("loop"))
        return QStringLiteral("it lies on a fixed disk (%1)").arg(device->diskKernelName);

    const std::optional<struct stat> file = loopBacking(paths, device->diskKernelName);
    if (!file)
        return QStringLiteral("its loop device (%1) is attached to no file that can be confirmed").arg(device->diskKernelName);
    if (::major(file->st_dev) != 0) {
        const std::optional<BlockDeviceInfo> below = BlockDeviceProbe(paths).probe(::major(file->st_dev), ::minor(file->st_dev));
        if (below && isRemovableHardware(*below, paths, 1))
            return std::nullopt;
    }
    if (file->st_uid != requester)
        return QStringLiteral("its loop device (%1) holds a file of another account").arg(device->diskKernelName);
    if (!mountedFor(mount, requester, paths))
        return QStringLiteral("its loop device (%1) holds a file of a fixed disk and is not mounted for this account")
            .arg(device->diskKernelName);
    return std::nullopt;
}

std::optional<QString> whyNotMountedFor(const MountEntry &mount, uid_t requester, const SystemPaths &paths)
{
    if (requester == 0)
        return std::nullopt;   // root acting for itself
    if (!mountedFor(mount, requester, paths)) {
        const QByteArray name = accountName(requester);
        return name.isEmpty() ? QStringLiteral("it is mounted neither by uid %1 (no account's) nor for it by udisksd")
                                    .arg(requester)
                              : QStringLiteral("it is mounted neither below /media/%1/ or /run/media/%1/, nor by that "
                                               "account, nor for it by udisksd")
                                    .arg(QString::fromUtf8(name));
    }
    const std::optional<BlockDeviceInfo> device = BlockDeviceProbe(paths).probeMount(mount);
    if (!device || device->bus != QLatin1String("loop"))
        return std::nullopt;
    const std::optional<struct stat> file = loopBacking(paths, device->diskKernelName);
    if (!file)
        return QStringLiteral("its loop device (%1) is attached to no file that can be confirmed").arg(device->diskKernelName);
    if (file->st_uid != requester)
        return QStringLiteral("its loop device (%1) holds a file of another account").arg(device->diskKernelName);
    return std::nullopt;
}
