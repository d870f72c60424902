#include "cleaning/tools/MountedVolume.h"

#include "cleaning/HeldVolume.h"
#include "cleaning/PathHandles.h"
#include "platform/Log.h"
#include "platform/RemovableHardware.h"
#include "platform/Volumes.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using pathhandles::Handle;

// Folders of the system itself: never a volume to clean, whatever is mounted
// there (a system started from a stick has its root on a removable device).
bool isSystemFolder(const QByteArray &path)
{
    static const QByteArrayList kWhole = {"/bin", "/boot", "/dev", "/etc", "/lib", "/lib32", "/lib64", "/libx32",
                                          "/proc", "/sbin", "/snap", "/sys", "/usr", "/var"};
    static const QByteArrayList kItself = {"/home", "/root", "/opt", "/srv", "/tmp", "/media", "/run/media"};
    if (kItself.contains(path))
        return true;
    for (const QByteArray &folder : kWhole) {
        if (path == folder || path.startsWith(folder + '/'))
            return true;
    }
    return isSystemPath(QFile::decodeName(path));
}

// The mount a handle lies on, as /proc/self/fdinfo tells it; -1 when unknown.
int mountIdOf(int fd)
{
    QFile info(QStringLiteral("/proc/self/fdinfo/%1").arg(fd));
    if (!info.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : info.readAll().split('\n')) {
        if (line.startsWith("mnt_id:")) {
            bool ok = false;
            const int id = line.mid(7).trimmed().toInt(&ok);
            return ok ? id : -1;
        }
    }
    return -1;
}

int openWithoutLinks(const QByteArray &path)
{
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, AT_FDCWD, path.constData(), &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    return int(fd);
}

// Does the file system take names that differ only in case for one name?
// FAT, exFAT and HFS do; so does every FUSE volume whose type cannot be told
// (the safe side: its daemon may, and gives each spelling a node of its own).
bool comparesNamesIgnoringCase(const MountEntry &mount, const std::optional<BlockDeviceInfo> &device)
{
    static const QStringList kIgnoringCase = {"vfat", "msdos", "fat", "exfat", "hfs", "hfsplus", "apfs"};
    const QString type = mountedFileSystemType(mount, device).toLower();
    return kIgnoringCase.contains(type) || (type.isEmpty() && mount.fsType.startsWith(QLatin1String("fuse")));
}

// Do its files carry no owner or mode of their own (FAT, exFAT), so that a
// file's being there tells the account nothing its rights would hide? So
// does a FUSE volume whose type cannot be told (the side that leaves a junk
// folder whole rather than lose what it shares).
bool filesCarryNoOwner(const MountEntry &mount, const std::optional<BlockDeviceInfo> &device)
{
    const QString type = mountedFileSystemType(mount, device);
    return isFatFamilyType(type) || (type.isEmpty() && mount.fsType.startsWith(QLatin1String("fuse")));
}

} // namespace

std::optional<uid_t> requestingUser()
{
    const uid_t real = ::getuid();
    if (real != 0)
        return real;
    // pkexec names the account that asked; root itself, when run directly.
    if (!qEnvironmentVariableIsSet("PKEXEC_UID"))
        return 0;
    const QByteArray asked = qgetenv("PKEXEC_UID");
    bool ok = !asked.isEmpty() && asked.size() <= 10
              && std::all_of(asked.cbegin(), asked.cend(), [](char c) { return c >= '0' && c <= '9'; });
    const qulonglong uid = ok ? asked.toULongLong(&ok) : 0;
    if (!ok || uid >= quint32(-1))   // (uid_t)-1 is no account's
        return std::nullopt;
    return uid_t(uid);
}

std::unique_ptr<HeldVolume> openMountedVolume(const CleanRequest &request, QString *why, bool *namesIgnoreCase,
                                              bool *ownerless)
{
    const auto refuse = [why](const QString &reason) -> std::unique_ptr<HeldVolume> {
        *why = reason;
        return nullptr;
    };
    const std::optional<uid_t> requester = requestingUser();
    if (!requester)
        return refuse(QStringLiteral("refused: PKEXEC_UID (\"%1\") is not an account's uid")
                          .arg(QString::fromUtf8(qgetenv("PKEXEC_UID").left(64))));
    const QByteArray &root = request.root;
    const QString shown = pathText(root);
    if (!root.startsWith('/') || root.endsWith('/') || !HeldVolume::relativePath("/", root))
        return refuse(QStringLiteral("refused: the volume root \"%1\" is not an absolute path written plainly")
                          .arg(shown));
    if (request.rootInode == 0)
        return refuse(QStringLiteral("refused: the request gives no inode for the volume root"));
    if (isSystemFolder(root))
        return refuse(QStringLiteral("refused: \"%1\" is a folder of the system").arg(shown));

    Handle fd(openWithoutLinks(root));
    if (fd.get() < 0) {
        const int error = errno;
        return refuse(QStringLiteral("refused: cannot open \"%1\" without following links: %2")
                          .arg(shown, errorText(error)));
    }
    pathhandles::Identity id;
    if (!pathhandles::identify(fd.get(), id))
        return refuse(QStringLiteral("refused: cannot examine \"%1\": %2").arg(shown, errorText(errno)));
    if (!id.mountRoot)
        return refuse(QStringLiteral("refused: \"%1\" is not where a volume is mounted").arg(shown));
    if (quint64(id.dev) != request.device || quint64(id.ino) != request.rootInode)
        return refuse(QStringLiteral("refused: \"%1\" is not the volume that was scanned").arg(shown));

    // The very mount the handle lies on, in our own mount table, mounted right there.
    const int mountId = mountIdOf(fd.get());
    std::optional<MountEntry> mount;
    for (const MountEntry &entry : readMountInfo()) {
        if (entry.mountId == mountId)
            mount = entry;
    }
    if (!mount || mount->mountPointBytes != root || ::makedev(mount->major, mount->minor) != id.dev)
        return refuse(QStringLiteral("refused: \"%1\" is no mount of this system's mount table").arg(shown));

    SystemPaths paths;
    paths.useBlkid = false;   // the bus and the removable flag are all the rule needs
    const std::optional<BlockDeviceInfo> device = BlockDeviceProbe(paths).probeMount(*mount);
    if (!isRemovableMount(mount->mountPoint, mount, device))
        return refuse(QStringLiteral("refused: \"%1\" is not a removable volume").arg(shown));
    // What root may act on is narrower; an account acting as itself can do
    // no more than the kernel lets it.
    if (::geteuid() == 0) {
        if (const std::optional<QString> hardware = whyNotRemovableHardware(*mount, *requester, paths))
            return refuse(QStringLiteral("refused: \"%1\" is not on removable hardware: %2").arg(shown, *hardware));
        if (const std::optional<QString> account = whyNotMountedFor(*mount, *requester, paths))
            return refuse(QStringLiteral("refused: \"%1\" is not mounted for the requesting account: %2").arg(shown, *account));
    }
    if (namesIgnoreCase)
        *namesIgnoreCase = comparesNamesIgnoringCase(*mount, device);
    if (ownerless)
        *ownerless = filesCarryNoOwner(*mount, device);
    std::unique_ptr<HeldVolume> volume = HeldVolume::adopt(fd.release(), root, request.device);
    volume->setFileSystemType(mountedFileSystemType(*mount, device));
    return volume;
}
