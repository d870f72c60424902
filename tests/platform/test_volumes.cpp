#include "FakeUdevd.h"
#include "TestMain.h"

#include "platform/FileNames.h"
#include "platform/RemovableHardware.h"
#include "platform/UDisks2Mounts.h"
#include "platform/Volumes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// A miniature /sys plus udev database: devices live under devices/..., and
// dev/block/MAJ:MIN links point at them as in the real tree.
class FakeSystem
{
public:
    // "usb" in the folder name: buses must be read from below the root only.
    FakeSystem() : m_dir(QDir::tempPath() + QStringLiteral("/usb-fake-sys-XXXXXX"))
    {
        paths.sysfsRoot = m_dir.path() + QStringLiteral("/sys");
        paths.udevDataDir = m_dir.path() + QStringLiteral("/udev");
        paths.udevControl = udevd.path();
        paths.useBlkid = false;
        QDir().mkpath(paths.sysfsRoot + QStringLiteral("/dev/block"));
        QDir().mkpath(paths.udevDataDir);
    }

    void write(const QString &relative, const QByteArray &contents)
    {
        const QString path = paths.sysfsRoot + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }

    void link(const QString &relative, const QString &target)
    {
        const QString path = paths.sysfsRoot + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QCOMPARE(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()), 0);
    }

    // A block device at devices/<devicePath>, reachable through dev/block/<number>.
    void addBlock(const QString &number, const QString &devicePath, bool absoluteLink = false)
    {
        write(QStringLiteral("devices/%1/dev").arg(devicePath), number.toUtf8() + '\n');
        link(QStringLiteral("dev/block/") + number,
             absoluteLink ? paths.sysfsRoot + QStringLiteral("/devices/") + devicePath
                          : QStringLiteral("../../devices/") + devicePath);
    }

    // A device folder also reachable by kernel name, as /sys/class/block has it.
    void addNamedBlock(const QString &number, const QString &devicePath)
    {
        addBlock(number, devicePath);
        link(QStringLiteral("class/block/") + QFileInfo(devicePath).fileName(),
             QStringLiteral("../../devices/") + devicePath);
    }

    // A device-mapper device over `slave` (a folder below devices/, or a path leaving the tree).
    void addMapper(const QString &number, const QString &name, const QString &slave, const QByteArray &dmUuid)
    {
        const QString folder = QStringLiteral("virtual/block/") + name;
        addNamedBlock(number, folder);
        write(QStringLiteral("devices/%1/dm/uuid").arg(folder), dmUuid + '\n');
        link(QStringLiteral("devices/%1/slaves/%2").arg(folder, QFileInfo(slave).fileName()),
             slave.startsWith(QLatin1Char('/')) ? slave : QStringLiteral("../../../../") + slave);
    }

    void udev(const QString &number, const QByteArray &lines)
    {
        QFile file(paths.udevDataDir + QStringLiteral("/b") + number);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(lines);
    }

private:
    QTemporaryDir m_dir;

public:
    testsupport::FakeUdevd udevd;
    SystemPaths paths;
};

MountEntry mountOf(const QString &fsType, quint32 major, quint32 minor, const QString &source)
{
    MountEntry entry;
    entry.major = major;
    entry.minor = minor;
    entry.fsType = fsType;
    entry.source = source;
    entry.mountPoint = QStringLiteral("/media/user/X");
    return entry;
}

} // namespace

class TestVolumes : public QObject
{
    Q_OBJECT
private slots:
    void parsesMountInfo();
    void classifiesFakeDevices();
    void resolvesDevicesBeneathMappersAndBtrfs();
    void mountOptionsAndCryptoMappers();
    void fileSystemTypeNames();
    void mountedTypeWithoutReadingTheDevice();
    void udisksMountRecords();
    void systemPaths();
    void sizesOfAFileSystem();
    void fileNamesAsPeopleReadThem();
};

void TestVolumes::parsesMountInfo()
{
    const QByteArray contents =
        "61 22 8:17 / /media/user/MY\\040STICK rw,nosuid,nodev shared:33 master:5 - vfat /dev/sdb1 rw,fmask=0022\n"
        "62 22 0:52 /sub\\134dir /mnt/tab\\011new\\012line\\134back rw - fuse.vfat /dev/loop\\0401 rw,user_id=0\n"
        "63 22 0:53 / /mnt/empty\\040source rw - tmpfs  rw,size=4k\n"   // a mount made with an empty source
        "64 22 0:54 / /mnt/nosuper rw - tmpfs tmpfs\n"
        "\n"
        "garbage\n"
        "65 22 8:3 / /mnt/nodash rw shared:1 ext4 /dev/sda3 rw\n"
        "x 22 8:3 / /mnt/badid rw - ext4 /dev/sda3 rw\n"
        "66 22 8 / /mnt/badnumber rw - ext4 /dev/sda3 rw\n"
        "67 22 8:3 / /mnt/short rw -\n"
        "69 22 8:33 / /media/caf\xe9\\040\xc3\xa9t\xe9 rw - ext4 /dev/disk/by-label/\xe9t\xe9 rw\n"   // Latin-1 bytes
        "68 22 0:55 / /mnt/last\\ rw - cifs //server/share rw";   // no final newline, lone backslash
    const QList<MountEntry> entries = parseMountInfo(contents);
    const QList<QStringList> expected{   // mount point, source, super options
        {"/media/user/MY STICK", "/dev/sdb1", "rw,fmask=0022"},
        {"/mnt/tab\tnew\nline\\back", "/dev/loop 1", "rw,user_id=0"},
        {"/mnt/empty source", "", "rw,size=4k"},
        {"/mnt/nosuper", "tmpfs", ""},
        {"/media/café été", "/dev/disk/by-label/été", "rw"},
        {"/mnt/last\\", "//server/share", "rw"},
    };
    QCOMPARE(entries.size(), expected.size());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries[i].mountPoint, expected[i][0]);
        QCOMPARE(entries[i].source, expected[i][1]);
        QCOMPARE(entries[i].superOptions, expected[i][2]);
    }
    const MountEntry &stick = entries[0];
    QCOMPARE(std::tuple(stick.mountId, stick.parentId, stick.major, stick.minor), std::tuple(61, 22, 8u, 17u));
    QCOMPARE(stick.options, QStringLiteral("rw,nosuid,nodev"));
    QCOMPARE(stick.fsType, QStringLiteral("vfat"));
    QCOMPARE(entries[1].root, QStringLiteral("/sub\\dir"));
    // The bytes stay exact whatever their reading: the system takes these.
    QCOMPARE(entries[4].mountPointBytes, QByteArray("/media/caf\xe9 \xc3\xa9t\xe9"));
    QCOMPARE(entries[4].sourceBytes, QByteArray("/dev/disk/by-label/\xe9t\xe9"));
    QCOMPARE(entries[1].mountPointBytes, QByteArray("/mnt/tab\tnew\nline\\back"));
    QVERIFY(readMountInfo(QStringLiteral("/nonexistent/mountinfo")).isEmpty());
}

void TestVolumes::classifiesFakeDevices()
{
    FakeSystem sys;
    const QString usbHost = QStringLiteral("pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0");
    // USB stick: partition sdb1, udev knows everything.
    sys.addBlock(QStringLiteral("8:17"), usbHost + QStringLiteral("/block/sdb/sdb1"));
    sys.write(QStringLiteral("devices/%1/block/sdb/sdb1/partition").arg(usbHost), "1\n");
    sys.write(QStringLiteral("devices/%1/block/sdb/removable").arg(usbHost), "1\n");
    sys.write(QStringLiteral("devices/%1/block/sdb/sdb1/size").arg(usbHost), "250000\n");
    sys.write(QStringLiteral("devices/%1/vendor").arg(usbHost), "Sysfsvnd\n");
    sys.link(QStringLiteral("devices/%1/block/sdb/device").arg(usbHost), QStringLiteral("../../../6:0:0:0"));
    sys.udev(QStringLiteral("8:17"),
             "S:disk/by-label/MY\\x20STICK\nE:ID_BUS=usb\nE:ID_VENDOR=SanDisk\nE:ID_VENDOR_ENC=SanDisk\\x20\\x20\n"
             "E:ID_MODEL=Ultra_Fit\nE:ID_MODEL_ENC=Ultra\\x20Fit\\x20\\x20\nE:ID_SERIAL_SHORT=4C530001\n"
             "E:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT32\nE:ID_FS_UUID=1234-ABCD\n"
             "E:ID_FS_LABEL=MY_STICK_\xc3\x9c\nE:ID_FS_LABEL_ENC=MY\\x20STICK\\x20\xc3\x9c\nE:BROKEN\n");

    // Cards in the machine's own MMC slots: nothing from udev, the sysfs path
    // tells the bus. An SD card says so; the machine's own eMMC says "MMC".
    for (const auto &[number, host, disk, name, type] : {std::tuple("179:1", "mmc0", "mmcblk0", "SD32G", "SD"),
                                                          std::tuple("179:33", "mmc1", "mmcblk1", "BJTD4R", "MMC")}) {
        const QString card = QStringLiteral("platform/soc/mmc_host/%1/%1:0001").arg(QLatin1String(host));
        const QString block = card + QStringLiteral("/block/") + QLatin1String(disk);
        sys.addBlock(QLatin1String(number), block + u'/' + QLatin1String(disk) + QStringLiteral("p1"), true);
        sys.write(QStringLiteral("devices/%1/%2p1/partition").arg(block, QLatin1String(disk)), "1\n");
        sys.write(QStringLiteral("devices/%1/name").arg(card), QByteArray(name) + '\n');
        sys.write(QStringLiteral("devices/%1/type").arg(card), QByteArray(type) + '\n');
        sys.link(QStringLiteral("devices/%1/device").arg(block), QStringLiteral("../../../%1:0001").arg(QLatin1String(host)));
    }

    // USB card reader, file system on the whole disk, no removable flag.
    const QString reader = QStringLiteral("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0");
    sys.addBlock(QStringLiteral("8:32"), reader + QStringLiteral("/block/sdc"));
    sys.udev(QStringLiteral("8:32"), "E:ID_BUS=usb\nE:ID_VENDOR=Generic\nE:ID_MODEL=SD_Card_Reader\n"
                                     "E:ID_MODEL_ENC=SD\\x20Card\\x20Reader\nE:ID_FS_TYPE=exfat\n");

    // Internal SATA disk: vendor and model only in sysfs, padded as the kernel pads them.
    const QString sata = QStringLiteral("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0");
    sys.addBlock(QStringLiteral("8:1"), sata + QStringLiteral("/block/sda/sda1"));
    sys.write(QStringLiteral("devices/%1/block/sda/sda1/partition").arg(sata), "1\n");
    sys.write(QStringLiteral("devices/%1/vendor").arg(sata), "ATA     \n");
    sys.write(QStringLiteral("devices/%1/model").arg(sata), "Samsung SSD 860 \n");
    sys.link(QStringLiteral("devices/%1/block/sda/device").arg(sata), QStringLiteral("../../../0:0:0:0"));
    sys.udev(QStringLiteral("8:1"), "E:ID_BUS=ata\nE:ID_FS_TYPE=ext4\nE:ID_FS_LABEL=root\n");

    // NVMe disk without udev data.
    const QString nvme = QStringLiteral("pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0");
    sys.addBlock(QStringLiteral("259:1"), nvme + QStringLiteral("/nvme0n1/nvme0n1p1"));
    sys.write(QStringLiteral("devices/%1/nvme0n1/nvme0n1p1/partition").arg(nvme), "1\n");
    sys.write(QStringLiteral("devices/%1/model").arg(nvme), "WDC PC SN730\n");
    sys.link(QStringLiteral("devices/%1/nvme0n1/device").arg(nvme), QStringLiteral("../../nvme0"));

    // Loop device over an image whose name has a blank.
    sys.addBlock(QStringLiteral("7:3"), QStringLiteral("virtual/block/loop3"));
    sys.write(QStringLiteral("devices/virtual/block/loop3/loop/backing_file"), "/home/u/disk image.img\n");

    // A link that leads out of the tree, and an unknown number.
    sys.link(QStringLiteral("dev/block/7:9"), QStringLiteral("/sys/devices/virtual/block/loop0"));

    const BlockDeviceProbe probe(sys.paths);
    QVERIFY(!probe.probe(7, 9));
    QVERIFY(!probe.probe(8, 99));

    // udev's encoded values win over its plain ones and over sysfs; sysfs (or the
    // device path) fills in what udev lacks.
    const auto stick = probe.probeMount(mountOf(QStringLiteral("vfat"), 8, 17, QStringLiteral("/dev/sdb1")));
    QVERIFY(stick);
    QCOMPARE(stick->devNode, QStringLiteral("/dev/sdb1"));
    QVERIFY(stick->diskRemovable);
    QCOMPARE(stick->serial, QStringLiteral("4C530001"));
    QCOMPARE(stick->fsVersion, QStringLiteral("FAT32"));
    QCOMPARE(stick->fsUuid, QStringLiteral("1234-ABCD"));
    QCOMPARE(stick->fsLabel, QStringLiteral("MY STICK \u00dc"));
    const auto card = probe.probe(179, 1);
    const auto builtIn = probe.probe(179, 33);
    const auto sdReader = probe.probe(8, 32);
    const auto sataDisk = probe.probe(8, 1);
    const auto nvmeDisk = probe.probe(259, 1);
    const auto loop = probe.probe(7, 3);
    const QList<std::pair<std::optional<BlockDeviceInfo>, QStringList>> probed{
        // kernel name, disk, bus, vendor, model
        {stick, {"sdb1", "sdb", "usb", "SanDisk", "Ultra Fit"}},
        {card, {"mmcblk0p1", "mmcblk0", "mmc", "", "SD32G"}},
        {builtIn, {"mmcblk1p1", "mmcblk1", "emmc", "", "BJTD4R"}},
        {sdReader, {"sdc", "sdc", "usb", "Generic", "SD Card Reader"}},
        {sataDisk, {"sda1", "sda", "ata", "ATA", "Samsung SSD 860"}},
        {nvmeDisk, {"nvme0n1p1", "nvme0n1", "nvme", "", "WDC PC SN730"}},
        {loop, {"loop3", "loop3", "loop", "", ""}},
    };
    for (const auto &[device, want] : probed) {
        QVERIFY2(device, qPrintable(want[0]));
        QCOMPARE((QStringList{device->kernelName, device->diskKernelName, device->bus, device->vendor, device->model}),
                 want);
    }
    QCOMPARE(loop->loopBackingFile, QStringLiteral("/home/u/disk image.img"));

    // The filter's view of each: removable, ejectable, internal, local. A SCSI
    // disk behind an unknown adapter is internal unless it says it is removable.
    struct Case
    {
        const char *name;
        MountEntry mount;
        std::optional<BlockDeviceInfo> device;
        bool removable, ejectable;
        std::optional<bool> internal, local;
    };
    const auto onBus = [](const char *bus, bool removable) {
        BlockDeviceInfo info;
        info.bus = QString::fromLatin1(bus);
        info.diskRemovable = removable;
        return std::optional<BlockDeviceInfo>(info);
    };
    const auto ext4 = mountOf(QStringLiteral("ext4"), 8, 48, {});
    const std::optional<BlockDeviceInfo> none;
    const QList<Case> cases = {
        {"usb stick", mountOf(QStringLiteral("vfat"), 8, 17, {}), stick, true, true, false, true},
        {"mmc card", mountOf(QStringLiteral("exfat"), 179, 1, {}), card, true, true, false, true},
        {"emmc", ext4, builtIn, false, false, true, true},
        {"usb reader", mountOf(QStringLiteral("fuseblk"), 8, 32, {}), sdReader, true, true, false, true},
        {"sata", ext4, sataDisk, false, false, true, true},
        {"nvme", ext4, nvmeDisk, false, false, true, true},
        {"loop", ext4, loop, false, true, false, true},
        {"scsi", ext4, onBus("scsi", false), false, false, true, true},
        {"removable scsi", ext4, onBus("scsi", true), true, true, false, true},
        {"unknown bus", ext4, onBus("", false), false, false, {}, true},
        {"cifs", mountOf(QStringLiteral("cifs"), 0, 60, QStringLiteral("//nas/share")), none, false, false, {}, false},
        {"sshfs", mountOf(QStringLiteral("fuse.sshfs"), 0, 61, QStringLiteral("me@host:")), none, false, false, {}, false},
        {"tmpfs", mountOf(QStringLiteral("tmpfs"), 0, 62, QStringLiteral("tmpfs")), none, false, false, {}, false},
    };
    for (const Case &c : cases) {
        const VolumeProperties props = volumeProperties(c.mount, c.device);
        QVERIFY2(props.isRemovable == c.removable && props.isEjectable == c.ejectable, c.name);
        QVERIFY2(props.isInternal == c.internal && props.isLocal == c.local, c.name);
        // Devices behind network and pseudo mounts are not looked for.
        if (!c.local.value_or(true))
            QVERIFY2(!probe.probeMount(c.mount), c.name);
    }
    // Root acts on the card, never on the machine's own memory.
    QVERIFY(!whyNotRemovableHardware(mountOf(QStringLiteral("exfat"), 179, 1, {}), 0, sys.paths));
    QVERIFY(whyNotRemovableHardware(mountOf(QStringLiteral("ext4"), 179, 33, {}), 0, sys.paths)
                .value_or(QString()).contains(QLatin1String("fixed disk (mmcblk1)")));

    // The size is the device's own, in sysfs's 512-byte sectors.
    QCOMPARE(stick->sizeBytes, qint64(128'000'000));
    QCOMPARE(loop->sizeBytes, qint64(0));

    // udevd's socket is root's alone: an ordinary account (this thread alone
    // takes its uid) reads in the kernel's list of sockets whether it listens.
    QVERIFY(QFile::setPermissions(sys.paths.udevControl, {}));
    const auto runsForOrdinaryAccount = [&] {
        const bool root = ::geteuid() == 0;
        if (root && ::syscall(SYS_setresuid, -1, 65534, -1) != 0)
            qFatal("cannot take an ordinary account's uid");
        const bool runs = udevRuns(sys.paths.udevControl);
        if (root)
            ::syscall(SYS_setresuid, -1, 0, -1);
        return runs;
    };
    QVERIFY(runsForOrdinaryAccount());

    // udevd gone (its socket file stays): its database may describe what the
    // device held before, so the device alone is asked, as with no database.
    sys.udevd.stop();
    const auto stale = probe.probe(8, 17);
    QVERIFY(stale && QFileInfo::exists(sys.paths.udevControl));
    QCOMPARE((QStringList{stale->bus, stale->vendor, stale->serial, stale->fsType, stale->fsLabel}),
             (QStringList{"usb", "Sysfsvnd", "", "", ""}));
    QVERIFY(udevRuns(sys.paths.udevControl) == false && udevRuns(sys.paths.udevDataDir) == false);
    QVERIFY(!runsForOrdinaryAccount());
}

// LUKS and LVM devices take the hardware of what lies beneath them and keep their
// own file system; btrfs mounts (anonymous numbers) are found through their
// source or the file system's device list.
void TestVolumes::resolvesDevicesBeneathMappersAndBtrfs()
{
    FakeSystem sys;
    const QString usb = QStringLiteral("pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb");
    const QString sata = QStringLiteral("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda");
    sys.write(usb + QStringLiteral("/removable"), "1\n");
    for (const auto &[number, part] : {std::pair("8:17", "sdb1"), std::pair("8:18", "sdb2")}) {
        sys.addNamedBlock(QString::fromLatin1(number), usb + QLatin1Char('/') + QLatin1String(part));
        sys.write(QStringLiteral("devices/%1/%2/partition").arg(usb, QLatin1String(part)), "1\n");
    }
    sys.udev(QStringLiteral("8:17"),
             "E:ID_BUS=usb\nE:ID_VENDOR=SanDisk\nE:ID_SERIAL_SHORT=77\nE:ID_FS_TYPE=crypto_LUKS\n");
    sys.udev(QStringLiteral("8:18"), "E:ID_BUS=usb\nE:ID_VENDOR=SanDisk\nE:ID_FS_TYPE=btrfs\nE:ID_FS_UUID=b1\n");
    sys.addNamedBlock(QStringLiteral("8:2"), sata + QStringLiteral("/sda2"));
    sys.write(QStringLiteral("devices/%1/sda2/partition").arg(sata), "1\n");
    sys.udev(QStringLiteral("8:2"), "E:ID_BUS=ata\nE:ID_FS_TYPE=btrfs\nE:ID_FS_UUID=b2\n");
    sys.addNamedBlock(QStringLiteral("7:3"), QStringLiteral("virtual/block/loop3"));

    sys.addMapper(QStringLiteral("253:0"), QStringLiteral("dm-0"), usb + QStringLiteral("/sdb1"),
                  "CRYPT-LUKS2-0a1b-luks-0a1b");
    sys.udev(QStringLiteral("253:0"), "E:DM_NAME=luks-0a1b\nE:ID_FS_TYPE=ext4\nE:ID_FS_LABEL=SECRET\n");
    sys.addMapper(QStringLiteral("253:1"), QStringLiteral("dm-1"), sata + QStringLiteral("/sda2"), "LVM-sys");
    sys.addMapper(QStringLiteral("253:3"), QStringLiteral("dm-3"), QStringLiteral("virtual/block/loop3"), "LVM-img");
    sys.addMapper(QStringLiteral("253:2"), QStringLiteral("dm-2"), QStringLiteral("virtual/block/dm-3"),
                  "CRYPT-LUKS1-77-vault");
    sys.udev(QStringLiteral("253:2"), "E:ID_FS_TYPE=vfat\n");
    sys.addMapper(QStringLiteral("253:5"), QStringLiteral("dm-5"), QStringLiteral("/sys/devices/virtual/block/loop0"),
                  "LVM-out");
    for (const auto &[uuid, part] : {std::pair("b1", "sdb2"), std::pair("b2", "sda2")}) {
        sys.link(QStringLiteral("fs/btrfs/%1/devices/%2").arg(QLatin1String(uuid), QLatin1String(part)),
                 QStringLiteral("../../../../class/block/") + QLatin1String(part));
    }

    const BlockDeviceProbe probe(sys.paths);
    const auto btrfs = [](quint32 minor, const char *source, const char *superOptions) {
        MountEntry entry = mountOf(QStringLiteral("btrfs"), 0, minor, QString::fromLatin1(source));
        entry.superOptions = QString::fromLatin1(superOptions);
        return entry;
    };
    struct Case
    {
        const char *name;
        MountEntry mount;
        QStringList want;   // kernel name, disk, bus, vendor, mapper chain, crypto backing, file system
        bool removable;
    };
    const QList<Case> cases = {
        {"luks on usb", mountOf(QStringLiteral("ext4"), 253, 0, QStringLiteral("/dev/mapper/luks-0a1b")),
         {"dm-0", "sdb", "usb", "SanDisk", "dm-0", "sdb1", "ext4"}, true},
        {"luks on lvm on loop", mountOf(QStringLiteral("vfat"), 253, 2, QStringLiteral("/dev/mapper/vault")),
         {"dm-2", "loop3", "loop", "", "dm-2 dm-3", "dm-3", "vfat"}, false},
        {"lvm on sata", mountOf(QStringLiteral("ext4"), 253, 1, QStringLiteral("/dev/mapper/sys-root")),
         {"dm-1", "sda", "ata", "", "dm-1", "", ""}, false},
        {"slave outside the tree", mountOf(QStringLiteral("ext4"), 253, 5, QStringLiteral("/dev/dm-5")),
         {"dm-5", "dm-5", "", "", "", "", ""}, false},
        {"btrfs on usb", btrfs(45, "/dev/sdb2", "rw,space_cache=v2,subvolid=5,subvol=/"),
         {"sdb2", "sdb", "usb", "SanDisk", "", "", "btrfs"}, true},
        {"btrfs by uuid", btrfs(46, "/dev/disk/by-label/no-such-label", "rw,uuid=b2,subvol=/@"),
         {"sda2", "sda", "ata", "", "", "", "btrfs"}, false},
    };
    for (const Case &c : cases) {
        const std::optional<BlockDeviceInfo> device = probe.probeMount(c.mount);
        QVERIFY2(device, c.name);
        QCOMPARE((QStringList{device->kernelName, device->diskKernelName, device->bus, device->vendor,
                              device->mapperChain.join(QLatin1Char(' ')), device->cryptoBackingKernelName,
                              device->fsType}),
                 c.want);
        QVERIFY2(volumeProperties(c.mount, device).isRemovable == c.removable, c.name);
    }
    QCOMPARE(probe.probe(253, 0)->serial, QStringLiteral("77"));
    QCOMPARE(probe.probe(253, 0)->fsLabel, QStringLiteral("SECRET"));
    // A stale source and no uuid: nothing to go by.
    QVERIFY(!probe.probeMount(btrfs(47, "/dev/sdz9", "rw,subvol=/")));
}

void TestVolumes::mountOptionsAndCryptoMappers()
{
    const QList<std::tuple<const char *, const char *, const char *>> options{
        {"rw,uuid=b7f1,subvol=/", "uuid", "b7f1"}, {"rw,subvolid=5", "subvol", ""},
        {"subvol=/@home", "subvol", "/@home"}, {"", "uuid", ""}, {"rw,uuid=", "uuid", ""},
    };
    for (const auto &[list, key, value] : options)
        QCOMPARE(mountOptionValue(QString::fromLatin1(list), QString::fromLatin1(key)), QString::fromLatin1(value));
    for (const char *uuid : {"CRYPT-LUKS2-0a1b-luks-0a1b", "CRYPT-PLAIN-swap", "CRYPT-BITLK-x"})
        QVERIFY2(isCryptoMapperUuid(QString::fromLatin1(uuid)), uuid);
    for (const char *uuid : {"LVM-abc", "", "crypt-luks2", "mpath-3600"})
        QVERIFY2(!isCryptoMapperUuid(QString::fromLatin1(uuid)), uuid);
}

void TestVolumes::fileSystemTypeNames()
{
    BlockDeviceInfo fat16;
    fat16.fsType = QStringLiteral("vfat");
    fat16.fsVersion = QStringLiteral("FAT16");
    BlockDeviceInfo exfat;
    exfat.fsType = QStringLiteral("exfat");
    exfat.fsVersion = QStringLiteral("1.0");
    const std::optional<BlockDeviceInfo> none;
    const QList<std::tuple<const char *, std::optional<BlockDeviceInfo>, const char *>> cases{
        {"vfat", fat16, "FAT16"}, {"fuse.vfat", fat16, "FAT16"}, {"fuse.vfat", none, "vfat"}, {"vfat", none, "vfat"},
        {"fuseblk", exfat, "exfat"}, {"fuse.exfat", none, "exfat"}, {"fuseblk", none, "fuseblk"},
        {"ext4", exfat, "ext4"},   // a kernel-mounted file system keeps its own name whatever the device says
    };
    for (const auto &[fsType, device, expected] : cases) {
        const MountEntry mount = mountOf(QString::fromLatin1(fsType), 0, 40, QStringLiteral("/dev/loop0"));
        QCOMPARE(effectiveFileSystemType(mount, device), QString::fromLatin1(expected));
    }
}

// Lines as the kernel writes them for fusefat (with the subtype our fixture
// gives it, with only a device name, with neither), exfat-fuse, ext4 and a
// vfat mount made by udisks.
void TestVolumes::mountedTypeWithoutReadingTheDevice()
{
    BlockDeviceInfo exfat;
    exfat.fsType = QStringLiteral("exfat");
    BlockDeviceInfo unprobed;   // udev has the device but no file system for it
    const std::optional<BlockDeviceInfo> none;
    const QList<std::tuple<QByteArray, std::optional<BlockDeviceInfo>, const char *>> cases{
        {"45 27 0:40 / /tmp/m/a rw,nosuid,nodev,relatime - fuse.vfat /dev/loop0 rw,user_id=0,group_id=0", exfat, "vfat"},
        {"48 27 0:41 / /tmp/m/b ro,nosuid,nodev,relatime - fuse.fusefat fusefat ro,user_id=0,group_id=0", none, "vfat"},
        {"48 27 0:41 / /tmp/m/c ro,nosuid,nodev,relatime - fuse /dev/loop0 ro,user_id=0,group_id=0", exfat, "exfat"},
        {"48 27 0:41 / /tmp/m/c ro,nosuid,nodev,relatime - fuse /dev/loop0 ro,user_id=0,group_id=0", none, ""},
        {"46 27 7:1 / /tmp/m/d rw,nosuid,nodev,relatime - fuseblk /dev/loop1 "
         "rw,user_id=0,group_id=0,default_permissions,allow_other,blksize=4096", exfat, "exfat"},
        {"46 27 7:1 / /tmp/m/d rw,nosuid,nodev,relatime - fuseblk /dev/loop1 "
         "rw,user_id=0,group_id=0,default_permissions,allow_other,blksize=4096", unprobed, ""},
        {"46 27 7:1 / /tmp/m/d rw,nosuid,nodev,relatime - fuseblk /dev/loop1 "
         "rw,user_id=0,group_id=0,default_permissions,allow_other,blksize=4096", none, ""},
        {"47 27 7:2 / /tmp/m/f rw,relatime - ext4 /dev/loop2 rw", exfat, "ext4"},
        {"61 22 8:17 / /media/u/STICK rw,nosuid,nodev,relatime shared:33 - vfat /dev/sdb1 rw,fmask=0022,dmask=0022,"
         "codepage=437,iocharset=ascii,shortname=mixed,showexec,utf8,flush,errors=remount-ro", none, "vfat"},
    };
    for (const auto &[line, device, expected] : cases) {
        const QList<MountEntry> parsed = parseMountInfo(line);
        QCOMPARE(parsed.size(), 1);
        QVERIFY2(mountedFileSystemType(parsed.first(), device) == QLatin1String(expected), line.constData());
    }
}

// udisksd's record of the mounts it made, as udisksd 2.9.4 wrote it: ext4
// sticks on loop0 at /media/nobody/STICKA for the account 65534 and on loop1
// at /media/root/STICKB for root.
void TestVolumes::udisksMountRecords()
{
    const QByteArray written = QByteArray::fromHex(
        "2f6d656469612f6e6f626f64792f535449434b4100000000626c6f636b2d64657669636500000000000700000000000000740d00"
        "000000006d6f756e7465642d62792d7569640000feff000000750f0066737461622d6d6f756e7400000000000000620c1b374c15"
        "2f6d656469612f726f6f742f535449434b42000000000000626c6f636b2d64657669636500000000010700000000000000740d00"
        "000000006d6f756e7465642d62792d75696400000000000000750f0066737461622d6d6f756e7400000000000000620c1b374c13"
        "68d0");
    const QList<UDisks2Mount> mounts = parseUDisks2Mounts(written);
    QCOMPARE(mounts.size(), 2);
    QCOMPARE(std::tuple(mounts[0].mountPoint, mounts[0].device, mounts[0].mountedBy),
             std::tuple(QByteArray("/media/nobody/STICKA"), quint64(::makedev(7, 0)), uid_t(65534)));
    QCOMPARE(std::tuple(mounts[1].mountPoint, mounts[1].device, mounts[1].mountedBy),
             std::tuple(QByteArray("/media/root/STICKB"), quint64(::makedev(7, 1)), uid_t(0)));
    // Cut short anywhere, it is no record; an empty one (all unmounted) holds nothing.
    for (qsizetype size = 0; size < written.size(); ++size)
        QVERIFY2(parseUDisks2Mounts(written.first(size)).isEmpty(), qPrintable(QString::number(size)));
    QVERIFY(readUDisks2Mounts({QStringLiteral("/nonexistent/mounted-fs")}).isEmpty());
}

void TestVolumes::systemPaths()
{
    for (const char *path : {"/", "/proc", "/sys/fs/cgroup", "/dev/shm", "/run", "/run/user/1000/doc", "/run/mediax",
                             "/boot/efi", "/snap/core/1", "/var/lib/docker/overlay2", "/sys/", "relative"})
        QVERIFY2(isSystemPath(QString::fromLatin1(path)), path);
    for (const char *path : {"/run/media", "/run/media/u/STICK", "/media/u/STICK", "/mnt/usb", "/systemx",
                             "/var/library", "/var", "/home/u/proc"})
        QVERIFY2(!isSystemPath(QString::fromLatin1(path)), path);
}

void TestVolumes::sizesOfAFileSystem()
{
    const QTemporaryDir dir;
    QString error;
    const auto sizes = fileSystemSizes(QFile::encodeName(dir.path()), &error);
    QVERIFY2(sizes, qPrintable(error));
    QVERIFY(sizes->capacity > 0 && sizes->available && *sizes->available <= sizes->capacity);
    QVERIFY(!fileSystemSizes(QFile::encodeName(dir.filePath(QStringLiteral("missing"))), &error) && !error.isEmpty());
}

SWEEPBROOK_TEST_MAIN(TestVolumes)
#include "test_volumes.moc"

// UTF-8 where it is UTF-8 (also next to stray bytes), any other byte as
// Windows-1252 reads it; the bytes are kept exactly when the text cannot give them back.
void TestVolumes::fileNamesAsPeopleReadThem()
{
    const QList<std::pair<QByteArray, QString>> rows = {
        {"plain", "plain"},
        {"caf\xc3\xa9", "caf\u00e9"},                    // UTF-8
        {"caf\xe9", "caf\u00e9"},                         // Latin-1
        {"\x80 \x9f \x81", "\u20ac \u0178 \u0081"},        // Windows-1252, and one of its gaps
        {"\xe9\xc3\xa9", "\u00e9\u00e9"},                // both in one name
        {"\xf0\x9f\x98\x80", QString::fromUtf8("\xf0\x9f\x98\x80")},   // beyond the BMP
        {"\xc0\xaf", "\u00c0\u00af"},                    // overlong "/": not UTF-8
        {"\xed\xa0\x80", "\u00ed\u00a0\u20ac"},             // an encoded surrogate: not UTF-8
        {"\xe2\x82", "\u00e2\u201a"},                     // cut short
    };
    for (const auto &[bytes, text] : rows) {
        QCOMPARE(decodeFileName(bytes), text);
        const QByteArray kept = bytesUnlessRoundTrip(bytes, decodeFileName(bytes));
        QCOMPARE(kept, QFile::encodeName(text) == bytes ? QByteArray() : bytes);
    }
    // A folder's reading is the start of its files' readings: "is it on this volume" holds as text too.
    const QByteArray folder = "/media/caf\xe9\xc3";
    QVERIFY(decodeFileName(folder + "/\xa9x").startsWith(decodeFileName(folder) + '/'));
}
