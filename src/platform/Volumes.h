#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What Linux tells about mounted file systems and the block devices behind them.
// Everything here may block (sysfs, udev's database, statvfs, blkid): call it
// from background jobs only.

// One line of /proc/self/mountinfo, with its octal escapes (\040 \011 \012 \134)
// undone. Paths are bytes: the text fields are their readings for people
// (decodeFileName), the *Bytes fields what the system takes.
struct MountEntry
{
    int mountId = 0;
    int parentId = 0;
    quint32 major = 0;
    quint32 minor = 0;
    QString root;          // the mounted folder within its file system
    QString mountPoint;
    QByteArray mountPointBytes;
    QString options;       // per-mount options
    QString fsType;        // "vfat", "fuseblk", "fuse.vfat", "ext4", ...
    QString source;        // "/dev/sdb1", "/dev/loop3", "tmpfs", ...
    QByteArray sourceBytes;
    QString superOptions;
};

QList<MountEntry> parseMountInfo(const QByteArray &contents);
// Reads and parses the file; an unreadable file gives an empty list (reported once).
QList<MountEntry> readMountInfo(const QString &path = QStringLiteral("/proc/self/mountinfo"));

// Reads an open file from its start to its end; false with errno on failure.
bool readFromStart(int fd, QByteArray *contents);

// A mount table read again only when it changed. On a handle of the kernel's
// mountinfo the kernel flags every change of the table (POLLPRI); any other
// file (a test's table) is read every time. One caller at a time.
class MountTableWatch
{
public:
    explicit MountTableWatch(QString path);
    ~MountTableWatch();
    MountTableWatch(const MountTableWatch &) = delete;
    MountTableWatch &operator=(const MountTableWatch &) = delete;

    // The table as it is now; empty when it cannot be read.
    QList<MountEntry> entries();
    // Moves on with every change of the table the last entries() saw: also
    // one that left it looking the same (a volume unmounted and another
    // mounted in its place can come back with the same mount id and device).
    quint64 generation() const { return m_generation; }

private:
    QString m_path;
    int m_fd = -1;
    bool m_flagsChanges = false;   // a procfs file: POLLPRI tells a change
    bool m_current = false;        // m_entries is the table as last flagged
    QByteArray m_contents;         // as last read
    QList<MountEntry> m_entries;
    quint64 m_generation = 0;
};

// A block device (partition or whole disk) as sysfs and udev describe it.
struct BlockDeviceInfo
{
    QString kernelName;        // "sdb1", "mmcblk0p1", "loop3", "dm-0": the mounted device itself
    QString devNode;           // "/dev/sdb1"
    QString diskKernelName;    // the whole disk: "sdb", "mmcblk0", "loop3"; under a device-mapper
                               // device (LUKS, LVM) the disk beneath it
    QStringList mapperChain;   // the device-mapper devices from the mounted one down ("dm-1", "dm-0");
                               // empty for a plain partition or disk
    QString cryptoBackingKernelName;   // the device holding the encrypted container that a dm-crypt
                                       // device of the chain opens ("sdb1", "dm-0"); empty when none
    bool diskRemovable = false;   // the whole disk's sysfs "removable" flag
    QString bus;               // "usb", "mmc" (an SD or MMC card), "emmc" (memory soldered to the board),
                               // "ieee1394", "ata", "nvme", "virtio", "scsi", "loop", or empty
    QString loopBackingFile;   // for loop devices
    QString vendor;            // udev ID_VENDOR (sysfs vendor as fallback), trimmed
    QString model;             // udev ID_MODEL (sysfs model as fallback), trimmed
    QString serial;            // udev ID_SERIAL_SHORT
    QString fsType;            // udev ID_FS_TYPE, else blkid TYPE: "vfat", "exfat", "ext4", ...
    QString fsVersion;         // udev ID_FS_VERSION / blkid VERSION: "FAT32", "1.0", ...
    QString fsUuid;            // udev ID_FS_UUID / blkid UUID
    QString fsLabel;           // udev ID_FS_LABEL (unescaped) / blkid LABEL
    qint64 sizeBytes = 0;      // the mounted device's size (sysfs "size"); 0 when unknown
};

// Where the probe looks. Tests point these at fixture trees.
struct SystemPaths
{
    QString mountInfo = QStringLiteral("/proc/self/mountinfo");
    QString sysfsRoot = QStringLiteral("/sys");
    QString udevDataDir = QStringLiteral("/run/udev/data");
    // udevd's control socket. Its database is read only while a udevd listens
    // there: one that no udevd keeps current can name what a device held
    // before (a loop device's earlier image).
    QString udevControl = QStringLiteral("/run/udev/control");
    bool useBlkid = true;      // ask blkid when udev has no file-system data
    QString blkid = QStringLiteral("blkid");
    // udisksd's records of the mounts it made, and for whom (platform/UDisks2Mounts.h).
    QStringList udisksMounts = {QStringLiteral("/run/udisks2/mounted-fs"),
                                QStringLiteral("/var/lib/udisks2/mounted-fs-persistent")};
};

// Whether a udevd listens on its control socket (`controlSocket`): it
// answers a connection, or, where only root may connect, the kernel lists a
// listening socket bound there. A socket file left by a udevd that has gone
// answers nothing.
bool udevRuns(const QString &controlSocket = QStringLiteral("/run/udev/control"));

class BlockDeviceProbe
{
public:
    explicit BlockDeviceProbe(SystemPaths paths = {});

    // The device with this number (sysfs /dev/block/MAJ:MIN). Nothing when
    // sysfs does not know it.
    std::optional<BlockDeviceInfo> probe(quint32 major, quint32 minor) const;
    // The device behind a mount: its own number, or for FUSE mounts whose
    // source is a device node, that node's number. A btrfs mount's number is
    // anonymous: its device is found through /sys/fs/btrfs/<uuid>/devices (the
    // uuid from the super options or from the mount source's device), else it
    // is the mount source's device.
    std::optional<BlockDeviceInfo> probeMount(const MountEntry &mount) const;

    // This probe with whether udevd runs asked once, now: for a pass over
    // many mounts, each of which would otherwise ask again.
    BlockDeviceProbe forOnePass() const;

private:
    std::optional<BlockDeviceInfo> probeDevice(const QString &root, const QString &deviceDir,
                                               const QString &number) const;
    std::optional<BlockDeviceInfo> probeBtrfs(const MountEntry &mount) const;

    SystemPaths m_paths;
    std::optional<bool> m_udevRuns;   // asked on each probe when unset
};

// The value of `key` in a comma-separated option list ("uuid=..." in
// "rw,uuid=...,subvol=/"); empty when it is absent.
QString mountOptionValue(const QString &options, const QString &key);
// True for the dm/uuid of a dm-crypt device ("CRYPT-LUKS2-...", "CRYPT-PLAIN-...").
bool isCryptoMapperUuid(const QString &dmUuid);

// The mount's own file-system name as the enumeration's first source reports it:
// FUSE mounts backed by a device take the device's real type, vfat takes its
// FAT version ("FAT32"), anything else its mountinfo type.
QString effectiveFileSystemType(const MountEntry &mount, const std::optional<BlockDeviceInfo> &device);

// The file system of a mount by the names blkid gives ("vfat", "exfat", "ext4",
// "ntfs"), from what an ordinary user can read: a kernel mount's own type, a FUSE
// mount's subtype ("fuse.vfat" gives "vfat", fusefat's default "fuse.fusefat"
// too), and for a FUSE mount that names none ("fuseblk" of exfat-fuse and
// ntfs-3g, a bare "fuse") the type recorded for the device behind it. Empty when
// none of these tells it.
QString mountedFileSystemType(const MountEntry &mount, const std::optional<BlockDeviceInfo> &device);
// True when only the device behind the mount can tell its type (see above).
bool mountTypeNeedsDevice(const MountEntry &mount);
// FAT or exFAT, by any of the names blkid and the mount table give them
// ("vfat", "msdos", "fat", "fat12", "fat16", "fat32", "exfat"; any case).
// (Here, for the tools that take nothing else of this file.)
inline bool isFatFamilyType(const QString &type)
{
    static const QStringList kFat = {"vfat", "msdos", "fat", "fat12", "fat16", "fat32", "exfat"};
    return kFat.contains(type.toLower());
}

// The bus a block device sits on as far as its place in the sysfs tree
// (`devicePath`, below /sys) and its kernel name tell it: "usb", "mmc",
// "ieee1394", "nvme", "virtio", "ata", "scsi", or empty.
QString busFromSysfsPath(const QString &devicePath, const QString &kernelName);
// A disk on this bus can be taken away: USB, an SD or MMC card ("mmc"; not
// memory soldered to the board, "emmc") or FireWire.
bool isRemovableBus(const QString &bus);

// The properties the removable-volume filter weighs, for one mount.
struct VolumeProperties
{
    bool isRemovable = false;              // removable flag, or a USB / MMC / FireWire bus
    bool isEjectable = false;              // removable, or a loop device
    std::optional<bool> isInternal;        // known fixed bus: true; removable or loop: false; else unknown
    std::optional<bool> isLocal;           // false for network and pseudo file systems
};

VolumeProperties volumeProperties(const MountEntry &mount, const std::optional<BlockDeviceInfo> &device);

// True for paths that are never user volumes: "/", /proc, /sys, /dev, /run
// (but not /run/media), /boot, /snap, /var/lib and below.
bool isSystemPath(const QString &path);

// The removable-volume filter on what the mount table and the probe tell: is
// the mount at `path` (`mount`, nothing when `path` is no mount point) one
// the app lists? Never a system path; a removable or ejectable device, or a
// local one of a known external bus under /media or /run/media. The
// enumeration and our administrator tool both ask this.
bool isRemovableMount(const QString &path, const std::optional<MountEntry> &mount,
                      const std::optional<BlockDeviceInfo> &block);

// Sizes of the file system mounted at `path` (statvfs). Nothing on failure,
// with the reason in *error. A file system that reports no blocks (fusefat)
// tells no free space either: capacity 0, available nothing.
struct FileSystemSizes
{
    qint64 capacity = 0;
    std::optional<qint64> available;
};
std::optional<FileSystemSizes> fileSystemSizes(const QByteArray &path, QString *error = nullptr);

// Whether this process may list and enter the folder (faccessat with the
// effective ids). Opens nothing, so it never holds the volume busy.
bool folderIsReadable(const QByteArray &path);

// Reads the whole folder, the proof that a volume's content can be read now.
// Nothing when it can be read; else the system's reason.
std::optional<QString> folderListingError(const QByteArray &path);

// Whether the path names a folder (following links, like opening it would).
bool isFolder(const QByteArray &path);
