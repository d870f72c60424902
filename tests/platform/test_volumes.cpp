#include "MountFixture.h"
#include "TestMain.h"

#include "platform/ProcessRunner.h"
#include "platform/Volumes.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

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

    void udev(const QString &number, const QByteArray &lines)
    {
        QFile file(paths.udevDataDir + QStringLiteral("/b") + number);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(lines);
    }

    SystemPaths paths;

private:
    QTemporaryDir m_dir;
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
    void fileSystemTypeNames();
    void systemPaths_data();
    void systemPaths();
    void realVolumes_data();
    void realVolumes();
};

void TestVolumes::parsesMountInfo()
{
    const QByteArray contents =
        "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
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
        "68 22 0:55 / /mnt/last\\ rw - cifs //server/share rw";   // no final newline, lone backslash
    const QList<MountEntry> entries = parseMountInfo(contents);
    QCOMPARE(entries.size(), 6);

    QCOMPARE(entries[0].mountPoint, QStringLiteral("/"));
    QCOMPARE(entries[0].options, QStringLiteral("rw,relatime"));
    QCOMPARE(entries[0].superOptions, QStringLiteral("rw,errors=remount-ro"));

    const MountEntry &stick = entries[1];
    QCOMPARE(stick.mountId, 61);
    QCOMPARE(stick.parentId, 22);
    QCOMPARE(stick.major, 8u);
    QCOMPARE(stick.minor, 17u);
    QCOMPARE(stick.mountPoint, QStringLiteral("/media/user/MY STICK"));
    QCOMPARE(stick.fsType, QStringLiteral("vfat"));
    QCOMPARE(stick.source, QStringLiteral("/dev/sdb1"));
    QCOMPARE(stick.superOptions, QStringLiteral("rw,fmask=0022"));

    QCOMPARE(entries[2].root, QStringLiteral("/sub\\dir"));
    QCOMPARE(entries[2].mountPoint, QStringLiteral("/mnt/tab\tnew\nline\\back"));
    QCOMPARE(entries[2].source, QStringLiteral("/dev/loop 1"));
    QCOMPARE(entries[2].major, 0u);

    QCOMPARE(entries[3].mountPoint, QStringLiteral("/mnt/empty source"));
    QCOMPARE(entries[3].fsType, QStringLiteral("tmpfs"));
    QCOMPARE(entries[3].source, QString());
    QCOMPARE(entries[3].superOptions, QStringLiteral("rw,size=4k"));
    QCOMPARE(entries[4].superOptions, QString());
    QCOMPARE(entries[5].mountPoint, QStringLiteral("/mnt/last\\"));
    QCOMPARE(entries[5].source, QStringLiteral("//server/share"));

    QVERIFY(parseMountInfo(QByteArray()).isEmpty());
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
    sys.write(QStringLiteral("devices/%1/vendor").arg(usbHost), "Sysfsvnd\n");
    sys.link(QStringLiteral("devices/%1/block/sdb/device").arg(usbHost), QStringLiteral("../../../6:0:0:0"));
    sys.udev(QStringLiteral("8:17"),
             "S:disk/by-label/MY\\x20STICK\nE:ID_BUS=usb\nE:ID_VENDOR=SanDisk\nE:ID_VENDOR_ENC=SanDisk\\x20\\x20\n"
             "E:ID_MODEL=Ultra_Fit\nE:ID_MODEL_ENC=Ultra\\x20Fit\\x20\\x20\nE:ID_SERIAL_SHORT=4C530001\n"
             "E:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT32\nE:ID_FS_UUID=1234-ABCD\n"
             "E:ID_FS_LABEL=MY_STICK_\xc3\x9c\nE:ID_FS_LABEL_ENC=MY\\x20STICK\\x20\xc3\x9c\nE:BROKEN\n");

    // SD card in a built-in MMC reader: nothing from udev, the sysfs path tells the bus.
    const QString mmcCard = QStringLiteral("platform/soc/mmc_host/mmc0/mmc0:0001");
    sys.addBlock(QStringLiteral("179:1"), mmcCard + QStringLiteral("/block/mmcblk0/mmcblk0p1"), true);
    sys.write(QStringLiteral("devices/%1/block/mmcblk0/mmcblk0p1/partition").arg(mmcCard), "1\n");
    sys.write(QStringLiteral("devices/%1/block/mmcblk0/removable").arg(mmcCard), "0\n");
    sys.write(QStringLiteral("devices/%1/name").arg(mmcCard), "SD32G\n");
    sys.link(QStringLiteral("devices/%1/block/mmcblk0/device").arg(mmcCard), QStringLiteral("../../../mmc0:0001"));

    // USB card reader, file system on the whole disk, removable flag not set.
    const QString reader = QStringLiteral("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0");
    sys.addBlock(QStringLiteral("8:32"), reader + QStringLiteral("/block/sdc"));
    sys.write(QStringLiteral("devices/%1/block/sdc/removable").arg(reader), "0\n");
    sys.udev(QStringLiteral("8:32"), "E:ID_BUS=usb\nE:ID_VENDOR=Generic\nE:ID_MODEL=SD_Card_Reader\n"
                                     "E:ID_MODEL_ENC=SD\\x20Card\\x20Reader\nE:ID_FS_TYPE=exfat\n");

    // Internal SATA disk: vendor and model only in sysfs, padded as the kernel pads them.
    const QString sata = QStringLiteral("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0");
    sys.addBlock(QStringLiteral("8:1"), sata + QStringLiteral("/block/sda/sda1"));
    sys.write(QStringLiteral("devices/%1/block/sda/sda1/partition").arg(sata), "1\n");
    sys.write(QStringLiteral("devices/%1/block/sda/removable").arg(sata), "0\n");
    sys.write(QStringLiteral("devices/%1/vendor").arg(sata), "ATA     \n");
    sys.write(QStringLiteral("devices/%1/model").arg(sata), "Samsung SSD 860 \n");
    sys.link(QStringLiteral("devices/%1/block/sda/device").arg(sata), QStringLiteral("../../../0:0:0:0"));
    sys.udev(QStringLiteral("8:1"), "E:ID_BUS=ata\nE:ID_FS_TYPE=ext4\nE:ID_FS_LABEL=root\n");

    // NVMe disk without udev data.
    const QString nvme = QStringLiteral("pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0");
    sys.addBlock(QStringLiteral("259:1"), nvme + QStringLiteral("/nvme0n1/nvme0n1p1"));
    sys.write(QStringLiteral("devices/%1/nvme0n1/nvme0n1p1/partition").arg(nvme), "1\n");
    sys.write(QStringLiteral("devices/%1/nvme0n1/removable").arg(nvme), "0\n");
    sys.write(QStringLiteral("devices/%1/model").arg(nvme), "WDC PC SN730\n");
    sys.link(QStringLiteral("devices/%1/nvme0n1/device").arg(nvme), QStringLiteral("../../nvme0"));

    // Loop device over an image whose name has a blank.
    sys.addBlock(QStringLiteral("7:3"), QStringLiteral("virtual/block/loop3"));
    sys.write(QStringLiteral("devices/virtual/block/loop3/removable"), "0\n");
    sys.write(QStringLiteral("devices/virtual/block/loop3/loop/backing_file"), "/home/u/disk image.img\n");

    // A link that leads out of the tree, and an unknown number.
    sys.link(QStringLiteral("dev/block/7:9"), QStringLiteral("/sys/devices/virtual/block/loop0"));

    const BlockDeviceProbe probe(sys.paths);
    QVERIFY(!probe.probe(7, 9));
    QVERIFY(!probe.probe(8, 99));

    const auto stick = probe.probeMount(mountOf(QStringLiteral("vfat"), 8, 17, QStringLiteral("/dev/sdb1")));
    QVERIFY(stick);
    QCOMPARE(stick->kernelName, QStringLiteral("sdb1"));
    QCOMPARE(stick->devNode, QStringLiteral("/dev/sdb1"));
    QCOMPARE(stick->diskKernelName, QStringLiteral("sdb"));
    QVERIFY(stick->diskRemovable);
    QCOMPARE(stick->bus, QStringLiteral("usb"));
    QCOMPARE(stick->vendor, QStringLiteral("SanDisk"));
    QCOMPARE(stick->model, QStringLiteral("Ultra Fit"));
    QCOMPARE(stick->serial, QStringLiteral("4C530001"));
    QCOMPARE(stick->fsType, QStringLiteral("vfat"));
    QCOMPARE(stick->fsVersion, QStringLiteral("FAT32"));
    QCOMPARE(stick->fsUuid, QStringLiteral("1234-ABCD"));
    QCOMPARE(stick->fsLabel, QStringLiteral("MY STICK \u00dc"));

    const auto card = probe.probe(179, 1);
    QVERIFY(card);
    QCOMPARE(card->kernelName, QStringLiteral("mmcblk0p1"));
    QCOMPARE(card->diskKernelName, QStringLiteral("mmcblk0"));
    QVERIFY(!card->diskRemovable);
    QCOMPARE(card->bus, QStringLiteral("mmc"));
    QCOMPARE(card->model, QStringLiteral("SD32G"));
    QCOMPARE(card->fsType, QString());

    const auto sdReader = probe.probe(8, 32);
    QVERIFY(sdReader);
    QCOMPARE(sdReader->kernelName, QStringLiteral("sdc"));
    QCOMPARE(sdReader->diskKernelName, QStringLiteral("sdc"));
    QCOMPARE(sdReader->model, QStringLiteral("SD Card Reader"));
    QCOMPARE(sdReader->vendor, QStringLiteral("Generic"));

    const auto sataDisk = probe.probe(8, 1);
    QVERIFY(sataDisk);
    QCOMPARE(sataDisk->bus, QStringLiteral("ata"));
    QCOMPARE(sataDisk->vendor, QStringLiteral("ATA"));
    QCOMPARE(sataDisk->model, QStringLiteral("Samsung SSD 860"));
    QCOMPARE(sataDisk->fsLabel, QStringLiteral("root"));

    const auto nvmeDisk = probe.probe(259, 1);
    QVERIFY(nvmeDisk);
    QCOMPARE(nvmeDisk->bus, QStringLiteral("nvme"));
    QCOMPARE(nvmeDisk->diskKernelName, QStringLiteral("nvme0n1"));
    QCOMPARE(nvmeDisk->model, QStringLiteral("WDC PC SN730"));

    const auto loop = probe.probe(7, 3);
    QVERIFY(loop);
    QCOMPARE(loop->bus, QStringLiteral("loop"));
    QCOMPARE(loop->loopBackingFile, QStringLiteral("/home/u/disk image.img"));

    // The filter's view of each: removable, ejectable, internal, local.
    struct Case
    {
        const char *name;
        MountEntry mount;
        std::optional<BlockDeviceInfo> device;
        bool removable, ejectable;
        std::optional<bool> internal, local;
    };
    const std::optional<BlockDeviceInfo> none;
    const QList<Case> cases = {
        {"usb stick", mountOf(QStringLiteral("vfat"), 8, 17, {}), stick, true, true, false, true},
        {"mmc card", mountOf(QStringLiteral("exfat"), 179, 1, {}), card, true, true, false, true},
        {"usb reader", mountOf(QStringLiteral("fuseblk"), 8, 32, {}), sdReader, true, true, false, true},
        {"sata", mountOf(QStringLiteral("ext4"), 8, 1, {}), sataDisk, false, false, true, true},
        {"nvme", mountOf(QStringLiteral("ext4"), 259, 1, {}), nvmeDisk, false, false, true, true},
        {"loop", mountOf(QStringLiteral("ext4"), 7, 3, {}), loop, false, true, false, true},
        {"cifs", mountOf(QStringLiteral("cifs"), 0, 60, QStringLiteral("//nas/share")), none, false, false, {}, false},
        {"sshfs", mountOf(QStringLiteral("fuse.sshfs"), 0, 61, QStringLiteral("me@host:")), none, false, false, {}, false},
        {"tmpfs", mountOf(QStringLiteral("tmpfs"), 0, 62, QStringLiteral("tmpfs")), none, false, false, {}, false},
    };
    for (const Case &c : cases) {
        const VolumeProperties props = volumeProperties(c.mount, c.device);
        QVERIFY2(props.isRemovable == c.removable, c.name);
        QVERIFY2(props.isEjectable == c.ejectable, c.name);
        QVERIFY2(props.isInternal == c.internal, c.name);
        QVERIFY2(props.isLocal == c.local, c.name);
    }
    // Devices behind network and pseudo mounts are not looked for.
    QVERIFY(!probe.probeMount(cases[6].mount));
    QVERIFY(!probe.probeMount(cases[8].mount));

    // A SCSI disk behind an unknown adapter: internal unless it says it is removable.
    BlockDeviceInfo scsi;
    scsi.bus = QStringLiteral("scsi");
    QCOMPARE(volumeProperties(mountOf(QStringLiteral("ext4"), 8, 48, {}), scsi).isInternal, std::optional<bool>(true));
    scsi.diskRemovable = true;
    QCOMPARE(volumeProperties(mountOf(QStringLiteral("ext4"), 8, 48, {}), scsi).isInternal, std::optional<bool>(false));
    scsi.bus.clear();
    scsi.diskRemovable = false;
    QCOMPARE(volumeProperties(mountOf(QStringLiteral("ext4"), 8, 48, {}), scsi).isInternal, std::optional<bool>());
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
    const auto type = [](const QString &fsType, const std::optional<BlockDeviceInfo> &device) {
        return effectiveFileSystemType(mountOf(fsType, 0, 40, QStringLiteral("/dev/loop0")), device);
    };
    QCOMPARE(type(QStringLiteral("vfat"), fat16), QStringLiteral("FAT16"));
    QCOMPARE(type(QStringLiteral("fuse.vfat"), fat16), QStringLiteral("FAT16"));
    QCOMPARE(type(QStringLiteral("fuse.vfat"), none), QStringLiteral("vfat"));
    QCOMPARE(type(QStringLiteral("vfat"), none), QStringLiteral("vfat"));
    QCOMPARE(type(QStringLiteral("fuseblk"), exfat), QStringLiteral("exfat"));
    QCOMPARE(type(QStringLiteral("fuse.exfat"), none), QStringLiteral("exfat"));
    QCOMPARE(type(QStringLiteral("fuseblk"), none), QStringLiteral("fuseblk"));
    // A kernel-mounted file system keeps its own name whatever the device says.
    QCOMPARE(type(QStringLiteral("ext4"), exfat), QStringLiteral("ext4"));
}

void TestVolumes::systemPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("system");
    for (const char *path : {"/", "/proc", "/sys/fs/cgroup", "/dev/shm", "/run", "/run/user/1000/doc", "/run/mediax",
                             "/boot/efi", "/snap/core/1", "/var/lib/docker/overlay2", "/sys/", "relative"})
        QTest::newRow(path) << QString::fromLatin1(path) << true;
    for (const char *path : {"/run/media", "/run/media/u/STICK", "/media/u/STICK", "/mnt/usb", "/systemx",
                             "/var/library", "/var", "/home/u/proc"})
        QTest::newRow(path) << QString::fromLatin1(path) << false;
}

void TestVolumes::systemPaths()
{
    QFETCH(QString, path);
    QTEST(isSystemPath(path), "system");
}

void TestVolumes::realVolumes_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("fsType");
    QTest::addColumn<QString>("effectiveType");
    QTest::addColumn<bool>("reportsBlocks");   // fusefat answers statfs with zero blocks
    QTest::newRow("FAT32 through fusefat") << int(MountFixture::Kind::Fat32) << QStringLiteral("STICK")
                                           << QStringLiteral("vfat") << QStringLiteral("FAT32") << false;
    QTest::newRow("exFAT through exfat-fuse") << int(MountFixture::Kind::ExFat) << QStringLiteral("My Card")
                                              << QStringLiteral("exfat") << QStringLiteral("exfat") << true;
    QTest::newRow("ext4 through mount -o loop") << int(MountFixture::Kind::Ext4) << QStringLiteral("data")
                                                << QStringLiteral("ext4") << QStringLiteral("ext4") << true;
}

void TestVolumes::realVolumes()
{
    QFETCH(int, kind);
    QFETCH(QString, label);
    QFETCH(QString, fsType);
    QFETCH(QString, effectiveType);
    QFETCH(bool, reportsBlocks);
    const auto fixtureKind = MountFixture::Kind(kind);
    if (const QString why = MountFixture::whyUnavailable(fixtureKind); !why.isEmpty())
        QSKIP(qPrintable(why));

    constexpr int sizeMiB = 48;
    MountFixture fx;
    const auto image = fx.makeImage(fixtureKind, sizeMiB, label);
    if (!image)
        QSKIP(qPrintable(fx.lastError()));
    // A blank in the mount point exercises mountinfo's escapes end to end.
    const QString mountPoint = fx.mountRoot() + QStringLiteral("/my volume");
    std::optional<QString> mounted;
    if (fixtureKind == MountFixture::Kind::Ext4) {
        mounted = fx.mountExt4(*image, mountPoint);
    } else {
        const auto loopDev = fx.attachLoop(*image);
        if (loopDev)
            mounted = fixtureKind == MountFixture::Kind::Fat32 ? fx.mountFat(*loopDev, mountPoint)
                                                                : fx.mountExfat(*loopDev, mountPoint);
    }
    if (!mounted)
        QSKIP(qPrintable(fx.lastError()));

    std::optional<MountEntry> entry;
    for (const MountEntry &candidate : readMountInfo()) {
        if (candidate.mountPoint == *mounted)
            entry = candidate;
    }
    QVERIFY2(entry, qPrintable(*mounted));
    QVERIFY(entry->source.startsWith(QStringLiteral("/dev/loop")));

    const BlockDeviceProbe probe;
    const auto device = probe.probeMount(*entry);
    QVERIFY(device);
    QCOMPARE(device->devNode, entry->source);
    QCOMPARE(device->kernelName, entry->source.mid(5));
    QCOMPARE(device->bus, QStringLiteral("loop"));
    QCOMPARE(device->loopBackingFile, *image);
    QCOMPARE(device->fsType, fsType);
    QCOMPARE(device->fsLabel, label);
    QVERIFY2(!device->fsUuid.isEmpty(), qPrintable(device->fsUuid));
    QCOMPARE(effectiveFileSystemType(*entry, device), effectiveType);

    bool timedOut = true;
    QCOMPARE(probe.blkidType(device->devNode, 10000, &timedOut), std::optional<QString>(fsType));
    QVERIFY(!timedOut);

    const VolumeProperties props = volumeProperties(*entry, device);
    QVERIFY(props.isEjectable);
    QVERIFY(!props.isRemovable);
    QCOMPARE(props.isInternal, std::optional<bool>(false));
    QCOMPARE(props.isLocal, std::optional<bool>(true));
    QVERIFY(!isSystemPath(*mounted));

    QString error;
    const auto sizes = fileSystemSizes(*mounted, &error);
    QVERIFY2(sizes, qPrintable(error));
    QVERIFY(!fileSystemSizes(*mounted + QStringLiteral("/missing"), &error));
    QVERIFY(!error.isEmpty());
    if (!reportsBlocks)
        return;
    const qint64 imageBytes = qint64(sizeMiB) * 1024 * 1024;
    QVERIFY2(sizes->capacity > imageBytes * 7 / 10 && sizes->capacity <= imageBytes,
             qPrintable(QString::number(sizes->capacity)));
    QVERIFY(sizes->available > 0 && sizes->available <= sizes->capacity);
}

SWEEPBROOK_TEST_MAIN(TestVolumes)
#include "test_volumes.moc"
