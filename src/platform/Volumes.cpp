#include "platform/Volumes.h"

#include "platform/FileNames.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <utility>

#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

using Properties = QHash<QString, QString>;

// mountinfo escapes blanks, newlines and backslashes as \ooo.
QByteArray unescapeOctal(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size()) {
            const char a = field.at(i + 1), b = field.at(i + 2), d = field.at(i + 3);
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && d >= '0' && d <= '7') {
                out.append(char(((a - '0') << 6) | ((b - '0') << 3) | (d - '0')));
                i += 3;
                continue;
            }
        }
        out.append(c);
    }
    return out;
}

// udev's and blkid's *_ENC values escape unsafe bytes as \xNN.
QString unescapeHex(const QString &value)
{
    const QByteArray in = value.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in.at(i) == '\\' && i + 3 < in.size() && (in.at(i + 1) == 'x' || in.at(i + 1) == 'X')) {
            bool ok = false;
            const int byte = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(char(byte));
                i += 3;
                continue;
            }
        }
        out.append(in.at(i));
    }
    return decodeFileName(out);
}

bool parseUnsigned(const QByteArray &text, quint32 *value)
{
    bool ok = false;
    *value = text.toUInt(&ok);
    return ok;
}

QString readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096));
}

// "KEY=VALUE" lines; with `prefix` ("E:" in udev's database) only lines that carry it.
Properties parseProperties(const QByteArray &contents, const QByteArray &prefix)
{
    Properties properties;
    for (const QByteArray &line : contents.split('\n')) {
        if (!line.startsWith(prefix))
            continue;
        const QByteArray rest = line.mid(prefix.size());
        const qsizetype eq = rest.indexOf('=');
        if (eq <= 0)
            continue;
        properties.insert(QString::fromUtf8(rest.left(eq)), QString::fromUtf8(rest.mid(eq + 1)));
    }
    return properties;
}

// The *_ENC form keeps blanks and non-ASCII that the plain form replaces.
QString encodedOrPlain(const Properties &properties, const QString &key)
{
    const QString encoded = properties.value(key + QStringLiteral("_ENC"));
    return encoded.isEmpty() ? properties.value(key) : unescapeHex(encoded);
}

void takeFileSystem(const Properties &properties, BlockDeviceInfo *info)
{
    info->fsType = properties.value(QStringLiteral("ID_FS_TYPE"));
    info->fsVersion = properties.value(QStringLiteral("ID_FS_VERSION"));
    info->fsUuid = properties.value(QStringLiteral("ID_FS_UUID"));
    info->fsLabel = encodedOrPlain(properties, QStringLiteral("ID_FS_LABEL"));
}

} // namespace

QString busFromSysfsPath(const QString &devicePath, const QString &kernelName)
{
    if (devicePath.contains(QLatin1String("/usb")))
        return QStringLiteral("usb");
    if (devicePath.contains(QLatin1String("/mmc_host/")) || kernelName.startsWith(QLatin1String("mmcblk")))
        return QStringLiteral("mmc");
    if (devicePath.contains(QLatin1String("/firewire")) || devicePath.contains(QLatin1String("ieee1394")))
        return QStringLiteral("ieee1394");
    if (devicePath.contains(QLatin1String("/nvme")))
        return QStringLiteral("nvme");
    if (devicePath.contains(QLatin1String("/virtio")))
        return QStringLiteral("virtio");
    if (devicePath.contains(QLatin1String("/ata")))
        return QStringLiteral("ata");
    if (devicePath.contains(QLatin1String("/host")) && devicePath.contains(QLatin1String("/target")))
        return QStringLiteral("scsi");
    return {};
}

bool isRemovableBus(const QString &bus)
{
    return bus == QLatin1String("usb") || bus == QLatin1String("mmc") || bus == QLatin1String("ieee1394");
}

namespace {

// "fuse" and "fuseblk" (FUSE on a block device), with or without a ".<subtype>".
bool isFuse(const QString &fsType)
{
    const QString base = fsType.section(QLatin1Char('.'), 0, 0);
    return base == QLatin1String("fuse") || base == QLatin1String("fuseblk");
}

bool isNonLocalType(const QString &type)
{
    static const QStringList kinds = {
        // network
        QStringLiteral("nfs"), QStringLiteral("nfs4"), QStringLiteral("cifs"), QStringLiteral("smb3"),
        QStringLiteral("smbfs"), QStringLiteral("ncpfs"), QStringLiteral("afs"), QStringLiteral("9p"),
        QStringLiteral("ceph"), QStringLiteral("glusterfs"), QStringLiteral("fuse.sshfs"),
        QStringLiteral("fuse.rclone"), QStringLiteral("davfs"), QStringLiteral("fuse.davfs"),
        QStringLiteral("afpfs"),
        // pseudo file systems with no device of their own
        QStringLiteral("proc"), QStringLiteral("sysfs"), QStringLiteral("tmpfs"), QStringLiteral("devtmpfs"),
        QStringLiteral("devpts"), QStringLiteral("cgroup"), QStringLiteral("cgroup2"),
        QStringLiteral("securityfs"), QStringLiteral("debugfs"), QStringLiteral("tracefs"),
        QStringLiteral("pstore"), QStringLiteral("bpf"), QStringLiteral("configfs"), QStringLiteral("fusectl"),
        QStringLiteral("mqueue"), QStringLiteral("hugetlbfs"), QStringLiteral("autofs"),
        QStringLiteral("binfmt_misc"), QStringLiteral("overlay"), QStringLiteral("squashfs"),
        QStringLiteral("nsfs"), QStringLiteral("efivarfs"), QStringLiteral("ramfs"),
        QStringLiteral("rpc_pipefs"), QStringLiteral("selinuxfs"), QStringLiteral("fuse.portal"),
        QStringLiteral("fuse.gvfsd-fuse"),
    };
    return kinds.contains(type);
}

// LUKS on LVM on a partition is three deep; a loop in a broken tree ends here.
constexpr int kMaxMapperDepth = 8;

// The device folder a sysfs link leads to. A link that leaves the tree is not ours to follow.
QString deviceDirBehind(const QString &root, const QString &link)
{
    const QString dir = QFileInfo(link).canonicalFilePath();
    if (dir.isEmpty() || !dir.startsWith(root + QLatin1Char('/')))
        return {};
    return dir;
}

// "MAJ:MIN" from a device folder's "dev" file.
QString deviceNumber(const QString &deviceDir)
{
    return readSmallFile(deviceDir + QStringLiteral("/dev")).trimmed();
}

// The sysfs folder of a device node such as /dev/sdb1 or /dev/mapper/luks-... (a
// link to /dev/dm-0), by its kernel name.
QString blockDirOfNode(const QString &root, const QString &node)
{
    if (!node.startsWith(QLatin1String("/dev/")))
        return {};
    const QString real = QFileInfo(node).canonicalFilePath();
    const QString name = QFileInfo(real.startsWith(QLatin1String("/dev/")) ? real : node).fileName();
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        return {};
    return deviceDirBehind(root, root + QStringLiteral("/class/block/") + name);
}

bool isAtOrBelow(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

} // namespace

QList<MountEntry> parseMountInfo(const QByteArray &contents)
{
    QList<MountEntry> entries;
    for (const QByteArray &line : contents.split('\n')) {
        // Empty fields are kept: a mount whose source is "" shows as two blanks.
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf(QByteArray("-"), 6);
        if (fields.size() < 9 || dash < 6 || dash + 2 >= fields.size())
            continue;
        MountEntry entry;
        const qsizetype colon = fields.at(2).indexOf(':');
        bool idOk = false, parentOk = false;
        entry.mountId = fields.at(0).toInt(&idOk);
        entry.parentId = fields.at(1).toInt(&parentOk);
        if (!idOk || !parentOk || colon <= 0 || !parseUnsigned(fields.at(2).left(colon), &entry.major)
            || !parseUnsigned(fields.at(2).mid(colon + 1), &entry.minor)) {
            continue;
        }
        entry.root = decodeFileName(unescapeOctal(fields.at(3)));
        entry.mountPointBytes = unescapeOctal(fields.at(4));
        entry.mountPoint = decodeFileName(entry.mountPointBytes);
        entry.options = QString::fromUtf8(fields.at(5));
        entry.fsType = QString::fromUtf8(unescapeOctal(fields.at(dash + 1)));
        entry.sourceBytes = unescapeOctal(fields.at(dash + 2));
        entry.source = decodeFileName(entry.sourceBytes);
        if (dash + 3 < fields.size())
            entry.superOptions = QString::fromUtf8(fields.at(dash + 3));
        if (entry.mountPoint.isEmpty() || entry.fsType.isEmpty())
            continue;
        entries.append(entry);
    }
    return entries;
}

QList<MountEntry> readMountInfo(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true))
            logLine(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        return {};
    }
    return parseMountInfo(file.readAll());
}

bool readFromStart(int fd, QByteArray *contents)
{
    if (::lseek(fd, 0, SEEK_SET) < 0)
        return false;
    contents->clear();
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            contents->append(buffer, n);
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

MountTableWatch::MountTableWatch(QString path) : m_path(std::move(path)) {}

MountTableWatch::~MountTableWatch()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QList<MountEntry> MountTableWatch::entries()
{
    if (m_fd < 0) {
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return readMountInfo(m_path);   // reports why, once
        struct statfs fs = {};
        m_flagsChanges = ::fstatfs(m_fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
        m_current = false;
    }
    if (m_current && m_flagsChanges) {
        pollfd watch{m_fd, POLLPRI, 0};
        if (::poll(&watch, 1, 0) == 0)
            return m_entries;   // nothing flagged: the table read last is the table now
    }
    QByteArray contents;
    if (!readFromStart(m_fd, &contents)) {
        ::close(m_fd);
        m_fd = -1;
        return readMountInfo(m_path);
    }
    // A flagged change counts even when the text came back the same; a file
    // that flags nothing changed only when its text did.
    if (m_flagsChanges || contents != m_contents) {
        ++m_generation;
        m_entries = parseMountInfo(contents);
        m_contents = contents;
    }
    m_current = true;
    return m_entries;
}

namespace {

// Is a socket bound at `path` listening? /proc/net/unix lists the sockets of
// this network namespace: "Num RefCount Protocol Flags Type St Inode Path",
// a listening one with the flag __SO_ACCEPTCON (0x10000).
bool listedAsListening(const QByteArray &path)
{
    QFile table(QStringLiteral("/proc/net/unix"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    // Read whole: a proc file has no size to tell its end by. Only the lines
    // that end in the path are taken apart: the table can hold thousands.
    const QByteArray boundAt = ' ' + path;
    for (const QByteArray &line : table.readAll().split('\n')) {
        if (!line.endsWith(boundAt))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool ok = false;
        if (fields.size() >= 8 && (fields.at(3).toUInt(&ok, 16) & 0x10000) && ok)
            return true;
    }
    return false;
}

} // namespace

bool udevRuns(const QString &controlSocket)
{
    const QByteArray path = QFile::encodeName(controlSocket);
    sockaddr_un address{};
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const int connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const int error = errno;
    ::close(fd);
    // A full backlog is a busy udevd; a socket of another type is held by someone.
    if (connected == 0 || error == EAGAIN || error == EPROTOTYPE)
        return true;
    // The socket is root's alone: the kernel's list tells whether it listens.
    return error == EACCES && listedAsListening(path);
}

BlockDeviceProbe::BlockDeviceProbe(SystemPaths paths) : m_paths(std::move(paths)) {}

std::optional<BlockDeviceInfo> BlockDeviceProbe::probe(quint32 major, quint32 minor) const
{
    const QString number = QStringLiteral("%1:%2").arg(major).arg(minor);
    const QString root = QFileInfo(m_paths.sysfsRoot).canonicalFilePath();
    if (root.isEmpty())
        return std::nullopt;
    const QString deviceDir = deviceDirBehind(root, root + QStringLiteral("/dev/block/") + number);
    if (deviceDir.isEmpty())
        return std::nullopt;
    return probeDevice(root, deviceDir, number);
}

std::optional<BlockDeviceInfo> BlockDeviceProbe::probeDevice(const QString &root, const QString &deviceDir,
                                                             const QString &number) const
{
    BlockDeviceInfo info;
    info.kernelName = QFileInfo(deviceDir).fileName();
    info.devNode = QStringLiteral("/dev/") + info.kernelName;
    // Without a udevd its database may describe what a device held before:
    // the device itself is asked then, as when there is no database.
    const bool udevCurrent = m_udevRuns ? *m_udevRuns : udevRuns(m_paths.udevControl);
    const auto readUdev = [this, udevCurrent](const QString &deviceNumberText) {
        QFile file(m_paths.udevDataDir + QStringLiteral("/b") + deviceNumberText);
        return udevCurrent && !deviceNumberText.isEmpty() && file.open(QIODevice::ReadOnly)
                   ? parseProperties(file.readAll(), "E:")
                   : Properties();
    };
    const Properties udev = readUdev(number.isEmpty() ? deviceNumber(deviceDir) : number);

    // A device-mapper device (LUKS, LVM) has no hardware of its own: the disk is
    // the one beneath it, through its slaves (LUKS on LVM on a partition too).
    // Over several slaves (a volume group spanning disks) the first by name counts.
    QString hardwareDir = deviceDir;
    for (int depth = 0; depth < kMaxMapperDepth && QFileInfo::exists(hardwareDir + QStringLiteral("/dm")); ++depth) {
        const QStringList slaves = QDir(hardwareDir + QStringLiteral("/slaves"))
                                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        if (slaves.isEmpty())
            break;
        const QString below = deviceDirBehind(root, hardwareDir + QStringLiteral("/slaves/") + slaves.first());
        if (below.isEmpty())
            break;
        info.mapperChain << QFileInfo(hardwareDir).fileName();
        if (info.cryptoBackingKernelName.isEmpty()
            && isCryptoMapperUuid(readSmallFile(hardwareDir + QStringLiteral("/dm/uuid")).trimmed())) {
            info.cryptoBackingKernelName = QFileInfo(below).fileName();
        }
        hardwareDir = below;
    }
    const Properties hardware = hardwareDir == deviceDir ? udev : readUdev(deviceNumber(hardwareDir));
    // Only the part below the root may name buses: a fixture's own folder could contain "/usb".
    const QString hardwarePath = hardwareDir.mid(root.size());
    const QString hardwareName = QFileInfo(hardwareDir).fileName();

    const QString diskDir = QFileInfo::exists(hardwareDir + QStringLiteral("/partition"))
                                ? QFileInfo(hardwareDir).absolutePath()
                                : hardwareDir;
    info.diskKernelName = QFileInfo(diskDir).fileName();
    info.diskRemovable = readSmallFile(diskDir + QStringLiteral("/removable")).trimmed() == QLatin1String("1");

    if (hardwareName.startsWith(QLatin1String("loop"))) {
        info.bus = QStringLiteral("loop");
        QString backing = readSmallFile(diskDir + QStringLiteral("/loop/backing_file"));
        if (backing.endsWith(QLatin1Char('\n')))
            backing.chop(1);
        info.loopBackingFile = backing;
    } else if (const QString bus = hardware.value(QStringLiteral("ID_BUS")).toLower(); !bus.isEmpty()) {
        info.bus = bus;
    } else {
        info.bus = busFromSysfsPath(hardwarePath, hardwareName);
    }
    // The MMC bus also serves memory soldered to the board (eMMC), which the
    // card itself tells apart: type "MMC" there, "SD" for a card.
    if (info.bus == QLatin1String("mmc") && readSmallFile(diskDir + QStringLiteral("/device/type")).trimmed() == u"MMC")
        info.bus = QStringLiteral("emmc");

    info.vendor = encodedOrPlain(hardware, QStringLiteral("ID_VENDOR")).trimmed();
    if (info.vendor.isEmpty())
        info.vendor = readSmallFile(diskDir + QStringLiteral("/device/vendor")).trimmed();
    info.model = encodedOrPlain(hardware, QStringLiteral("ID_MODEL")).trimmed();
    if (info.model.isEmpty())
        info.model = readSmallFile(diskDir + QStringLiteral("/device/model")).trimmed();
    if (info.model.isEmpty() && (info.bus == QLatin1String("mmc") || info.bus == QLatin1String("emmc")))
        info.model = readSmallFile(diskDir + QStringLiteral("/device/name")).trimmed();
    info.serial = hardware.value(QStringLiteral("ID_SERIAL_SHORT")).trimmed();
    // sysfs counts 512-byte sectors, whatever the device's own block size.
    bool sized = false;
    const qint64 sectors = readSmallFile(deviceDir + QStringLiteral("/size")).trimmed().toLongLong(&sized);
    if (sized && sectors > 0 && sectors <= std::numeric_limits<qint64>::max() / 512)
        info.sizeBytes = sectors * 512;

    // The file system is the mounted device's own.
    if (udev.contains(QStringLiteral("ID_FS_TYPE"))) {
        takeFileSystem(udev, &info);
    } else if (m_paths.useBlkid) {
        // "-o udev" rather than "-o export": export mangles non-ASCII labels
        // ("M-CM-^\") while udev's encoding keeps every byte.
        ProcessRequest request;
        request.program = m_paths.blkid;
        request.arguments = {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("udev"), QStringLiteral("--"),
                             info.devNode};
        request.timeout = std::chrono::seconds(2);
        const ProcessResult result = runProcess(request);
        if (result.succeeded())
            takeFileSystem(parseProperties(result.standardOutput, QByteArray()), &info);
    }
    return info;
}

BlockDeviceProbe BlockDeviceProbe::forOnePass() const
{
    BlockDeviceProbe pass = *this;
    pass.m_udevRuns = udevRuns(m_paths.udevControl);
    return pass;
}

std::optional<BlockDeviceInfo> BlockDeviceProbe::probeMount(const MountEntry &mount) const
{
    if (mount.major != 0)
        return probe(mount.major, mount.minor);
    if (mount.fsType == QLatin1String("btrfs"))
        return probeBtrfs(mount);
    if (!isFuse(mount.fsType) || !mount.source.startsWith(QLatin1String("/dev/")))
        return std::nullopt;
    struct stat st = {};
    if (::stat(mount.sourceBytes.constData(), &st) != 0 || !S_ISBLK(st.st_mode))
        return std::nullopt;
    return probe(::major(st.st_rdev), ::minor(st.st_rdev));
}

std::optional<BlockDeviceInfo> BlockDeviceProbe::probeBtrfs(const MountEntry &mount) const
{
    const QString root = QFileInfo(m_paths.sysfsRoot).canonicalFilePath();
    if (root.isEmpty())
        return std::nullopt;
    std::optional<BlockDeviceInfo> source;
    if (const QString dir = blockDirOfNode(root, mount.source); !dir.isEmpty())
        source = probeDevice(root, dir, {});
    QString uuid = mountOptionValue(mount.superOptions, QStringLiteral("uuid"));
    if (uuid.isEmpty() && source)
        uuid = source->fsUuid;
    // The file system's own list of its devices; the source, when it is one of them.
    if (!uuid.isEmpty() && !uuid.contains(QLatin1Char('/')) && !uuid.startsWith(QLatin1Char('.'))) {
        const QString devices = root + QStringLiteral("/fs/btrfs/") + uuid + QStringLiteral("/devices");
        const QStringList members =
            QDir(devices).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        if (!members.isEmpty() && !(source && members.contains(source->kernelName))) {
            if (const QString dir = deviceDirBehind(root, devices + QLatin1Char('/') + members.first()); !dir.isEmpty())
                return probeDevice(root, dir, {});
        }
    }
    return source;
}

QString mountOptionValue(const QString &options, const QString &key)
{
    const QString prefix = key + QLatin1Char('=');
    for (const QString &option : options.split(QLatin1Char(','))) {
        if (option.startsWith(prefix))
            return option.mid(prefix.size());
    }
    return {};
}

bool isCryptoMapperUuid(const QString &dmUuid)
{
    return dmUuid.startsWith(QLatin1String("CRYPT-"));
}

QString effectiveFileSystemType(const MountEntry &mount, const std::optional<BlockDeviceInfo> &device)
{
    QString type = mount.fsType;
    if (isFuse(type) && device && !device->fsType.isEmpty())
        type = device->fsType;
    if (type.compare(QLatin1String("vfat"), Qt::CaseInsensitive) == 0 && device) {
        const QString version = device->fsVersion.toUpper();
        if (version == QLatin1String("FAT12") || version == QLatin1String("FAT16") || version == QLatin1String("FAT32"))
            return version;
    }
    if (type == QLatin1String("fuse.vfat"))
        return QStringLiteral("vfat");
    if (type == QLatin1String("fuse.exfat"))
        return QStringLiteral("exfat");
    return type;
}

bool mountTypeNeedsDevice(const MountEntry &mount)
{
    return isFuse(mount.fsType) && !mount.fsType.contains(QLatin1Char('.'));
}

QString mountedFileSystemType(const MountEntry &mount, const std::optional<BlockDeviceInfo> &device)
{
    if (!isFuse(mount.fsType))
        return mount.fsType;
    if (mountTypeNeedsDevice(mount))
        return device ? device->fsType : QString();
    // The subtype names the file system, unless it only names a driver that
    // serves one (fusefat's own default).
    const QString subtype = mount.fsType.section(QLatin1Char('.'), 1);
    return subtype == QLatin1String("fusefat") ? QStringLiteral("vfat") : subtype;
}

VolumeProperties volumeProperties(const MountEntry &mount, const std::optional<BlockDeviceInfo> &device)
{
    VolumeProperties props;
    const QString type = mount.fsType.toLower();
    if (!type.isEmpty())
        props.isLocal = !isNonLocalType(type);
    if (!device)
        return props;
    const QString &bus = device->bus;
    props.isRemovable = device->diskRemovable || isRemovableBus(bus);
    const bool loop = bus == QLatin1String("loop");
    props.isEjectable = props.isRemovable || loop;
    if (props.isRemovable || loop)
        props.isInternal = false;
    else if (bus == QLatin1String("ata") || bus == QLatin1String("nvme") || bus == QLatin1String("virtio")
             || bus == QLatin1String("scsi") || bus == QLatin1String("emmc"))
        props.isInternal = true;
    return props;
}

// The removable-volume filter on what the mount table and the probe tell.
bool isRemovableMount(const QString &path, const std::optional<MountEntry> &mount,
                      const std::optional<BlockDeviceInfo> &block)
{
    if (isSystemPath(path))   // "/" included
        return false;
    if (!mount) {
        logLine(QStringLiteral("检查卷可移除性出错: ") + path + QStringLiteral(" is not a mount point"));
        return false;
    }
    const VolumeProperties props = volumeProperties(*mount, block);
    if (props.isInternal.value_or(false))
        return false;
    if (!props.isLocal.value_or(true))
        return false;
    if (props.isRemovable || props.isEjectable)
        return true;
    const bool underMediaFolder = path.startsWith(u"/media/") || path.startsWith(u"/run/media/");
    return underMediaFolder && props.isInternal.has_value() && !*props.isInternal;
}

bool isSystemPath(const QString &path)
{
    // Something that is not an absolute path is never a user volume either.
    if (!path.startsWith(QLatin1Char('/')))
        return true;
    const QString clean = QDir::cleanPath(path);
    if (clean == QLatin1String("/"))
        return true;
    if (isAtOrBelow(clean, QStringLiteral("/run/media")))
        return false;
    for (const char *folder : {"/proc", "/sys", "/dev", "/run", "/boot", "/snap", "/var/lib"}) {
        if (isAtOrBelow(clean, QLatin1String(folder)))
            return true;
    }
    return false;
}

bool folderIsReadable(const QByteArray &path)
{
    return ::faccessat(AT_FDCWD, path.constData(), R_OK | X_OK, AT_EACCESS) == 0;
}

bool isFolder(const QByteArray &path)
{
    struct stat st = {};
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<QString> folderListingError(const QByteArray &path)
{
    DIR *dir = ::opendir(path.constData());
    if (!dir)
        return errorText(errno);
    errno = 0;
    while (::readdir(dir)) {
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0)
        return errorText(error);
    return std::nullopt;
}

std::optional<FileSystemSizes> fileSystemSizes(const QByteArray &path, QString *error)
{
    struct statvfs st = {};
    if (::statvfs(path.constData(), &st) != 0) {
        const int code = errno;
        if (error)
            *error = errorText(code);
        return std::nullopt;
    }
    const auto bytes = [&st](quint64 count) {
        quint64 product = 0;
        if (__builtin_mul_overflow(count, quint64(st.f_frsize), &product)
            || product > quint64(std::numeric_limits<qint64>::max())) {
            return std::numeric_limits<qint64>::max();
        }
        return qint64(product);
    };
    if (st.f_blocks == 0)
        return FileSystemSizes{};
    return FileSystemSizes{bytes(st.f_blocks), bytes(st.f_bavail)};
}
