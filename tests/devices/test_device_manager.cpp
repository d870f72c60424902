#include "TestMain.h"

#include <QSignalSpy>
#include <QStandardPaths>

#include "FakeMachine.h"
#include "ManagerRig.h"
#include "MountFixture.h"
#include "StdoutCapture.h"

using testsupport::FakeMachine;
using testsupport::kUsbPath;

class TestDeviceManager : public QObject
{
    Q_OBJECT

    struct Rig : testsupport::ManagerRig
    {
        FakeMachine machine;

        void start(bool monitoring = false) { startManager(machine.environment(monitoring)); }
        QList<LocalUSBDevice> settleAndList()
        {
            settle();
            return manager->connectedDevices();
        }
    };

private slots:
    void namesKindsAndIds()
    {
        Rig rig;
        rig.start();
        USBDeviceManager &m = *rig.manager;
        const QList<std::pair<QString, QString>> names = {
            {"MSDOS", "FAT16"}, {"my-exfat-volume", "exFAT"}, {"reiserfs", "Reiserfs"}, {"", "未知"},
            {"fuse.sshfs", "FUSE挂载"},
            // The most specific prefix wins.
            {"fat32x", "FAT32"}, {"ntfs3", "NTFS"}};
        for (const auto &[raw, shown] : names)
            QCOMPARE(m.fileSystemDisplayName(raw), shown);

        QCOMPARE(m.determineDeviceType("/media/u/SDCARD", "FAT32"), DeviceType::sdCard);
        QCOMPARE(m.determineDeviceType("/media/u/STICK", "Reiserfs"), DeviceType::usb);

        QVERIFY(m.deviceIDMatches("/media/u/STICK|sdb1", "/media/u/STICK"));
        QVERIFY(m.deviceIDMatches("/media/u/STICK", "/media/u/STICK "));
        QVERIFY(!m.deviceIDMatches("/media/u/STICK|sdb1", "/media/u/STICK|sdc1"));
        QVERIFY(m.deviceIDMatches("/media/u/STICK|sdb1", "/run/media/u/STICK"));   // by name
        // A mount path may hold "|": the kernel name is what follows the last one.
        QVERIFY(m.deviceIDMatches("/media/u/A|B|sdb1", "/media/u/A|B"));
        QVERIFY(!m.deviceIDMatches("/media/u/A|B|sdb1", "/media/u/A"));
    }

    void enumerationListsOnlyRemovableVolumes()
    {
        Rig rig;
        FakeMachine &fm = rig.machine;
        fm.addStick("8:17", "sdb1", fm.mountPoint("My Stick"), "MY STICK", "1234-ABCD");
        fm.addPartition("8:1", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "sda", "sda1", false,
                        "E:ID_BUS=ata\nE:ID_MODEL=Samsung_SSD\nE:ID_FS_TYPE=ext4\n");
        fm.mount("8:1", fm.mountPoint("data"), "ext4", "/dev/sda1");
        fm.addPartition("179:1", "platform/soc/mmc_host/mmc0/mmc0:0001", "mmcblk0", "mmcblk0p1", false,
                        "E:ID_FS_TYPE=exfat\nE:ID_FS_LABEL=CAMERA\nE:ID_FS_UUID=AB12\n");
        fm.mount("179:1", fm.mountPoint("camera"), "exfat", "/dev/mmcblk0p1");
        fm.mount("0:52", fm.mountPoint("share"), "cifs", "//server/share");
        fm.mount("0:53", fm.mountPoint("tmp"), "tmpfs", "tmpfs");
        rig.start();

        const QList<LocalUSBDevice> devices = rig.settleAndList();
        QCOMPARE(devices.size(), 2);
        const LocalUSBDevice stick = devices.at(0);
        QCOMPARE((QStringList{stick.name, stick.id, stick.fileSystem, stick.vendorName, stick.serialNumber}),
                 (QStringList{"MY STICK", fm.mountPoint("My Stick") + "|sdb1", "FAT32", "Kingston", "0011"}));
        QCOMPARE(stick.type, DeviceType::usb);
        QVERIFY(stick.capacity > 0 && stick.isAccessible);
        const LocalUSBDevice card = devices.at(1);
        QCOMPARE((QStringList{card.name, card.fileSystem, card.model, card.vendorName}),
                 (QStringList{"CAMERA", "exFAT", "未知设备", "未知厂商"}));
        QCOMPARE(card.type, DeviceType::sdCard);
        QCOMPARE(rig.manager->latestDevice()->id, card.id);

        fm.unmount(fm.mountPoint("My Stick"));
        rig.manager->refreshDevices();
        QCOMPARE(rig.settleAndList().size(), 1);
    }

    // A stick mounted by hand at a Latin-1 name: listed with its sizes, named
    // as people read the name, its path's bytes kept for everything that acts on it.
    void nonUtf8MountPointIsListed()
    {
        Rig rig;
        FakeMachine &fm = rig.machine;
        const QByteArray point = QFile::encodeName(fm.mountPoint("")) + "caf\xe9";
        fm.addPartition("8:33", testsupport::kUsbPath2, "sdc", "sdc1", true, "E:ID_BUS=usb\nE:ID_FS_TYPE=vfat\n");
        fm.mountBytes("8:33", point, "vfat", "/dev/sdc1");
        rig.start();
        const QList<LocalUSBDevice> devices = rig.settleAndList();
        QCOMPARE(devices.size(), 1);
        const LocalUSBDevice &stick = devices.first();
        QCOMPARE(stick.name, QString("caf\u00e9"));
        QCOMPARE(stick.path, fm.mountPoint("caf\u00e9"));
        QCOMPARE(stick.fsPath(), point);
        QCOMPARE(stick.id, stick.path + "|sdc1");
        QVERIFY(stick.capacity > 0 && stick.isAccessible);
        QCOMPARE(rig.manager->deviceContaining(point + "/._x")->id, stick.id);
        // The UTF-8 name that reads the same is another folder, on no volume.
        QVERIFY(!rig.manager->deviceContaining(stick.path + "/._x"));
    }

    // LUKS and LVM volumes are mounted from dm-N devices with no bus of their own,
    // btrfs ones under an anonymous device number: each is listed as the disk
    // beneath it, with the file system, label and kernel name of what is mounted.
    void mappedAndBtrfsVolumesAreListedAsTheirDisk()
    {
        Rig rig;
        FakeMachine &fm = rig.machine;
        const QString sata = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
        const QString usb3 = "pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host8/target8:0:0/8:0:0:0";
        const auto usbData = [](const QByteArray &vendor, const QByteArray &model, const QByteArray &fs) {
            return "E:ID_BUS=usb\nE:ID_VENDOR=" + vendor + "\nE:ID_MODEL=" + model + "\nE:ID_SERIAL_SHORT=" + vendor
                   + "01\nE:ID_FS_TYPE=" + fs + "\n";
        };
        const auto fsData = [](const QByteArray &type, const QByteArray &label) {
            return "E:DM_NAME=x\nE:ID_FS_TYPE=" + type + "\nE:ID_FS_LABEL=" + label + "\nE:ID_FS_UUID=" + label
                   + "-id\n";
        };
        // LUKS on a USB stick's partition.
        fm.addPartition("8:17", kUsbPath, "sdb", "sdb1", true, usbData("Verbatim", "Store_n_Go", "crypto_LUKS"));
        fm.addMapper("253:0", "dm-0", {"sdb1"}, "CRYPT-LUKS2-0a1b2c3d-luks-0a1b2c3d", fsData("ext4", "SECRET"));
        fm.mount("253:0", fm.mountPoint("SECRET"), "ext4", "/dev/mapper/luks-0a1b2c3d");
        // LUKS on LVM on a USB disk that does not call itself removable.
        fm.addPartition("8:33", testsupport::kUsbPath2, "sdc", "sdc1", false,
                        usbData("Toshiba", "External_USB_3.0", "LVM2_member"));
        fm.addMapper("253:1", "dm-1", {"sdc1"}, "LVM-abcdefgh", "E:DM_NAME=vg-lv\nE:ID_FS_TYPE=crypto_LUKS\n");
        fm.addMapper("253:2", "dm-2", {"dm-1"}, "CRYPT-LUKS2-99-vault", fsData("vfat", "VAULT"));
        fm.mount("253:2", fm.mountPoint("VAULT"), "vfat", "/dev/mapper/vault");
        // LVM on an internal SATA disk.
        fm.addPartition("8:2", sata, "sda", "sda2", false, "E:ID_BUS=ata\nE:ID_MODEL=Samsung_SSD\n");
        fm.addMapper("253:3", "dm-3", {"sda2"}, "LVM-internal", fsData("ext4", "HOME"));
        fm.mount("253:3", fm.mountPoint("HOME"), "ext4", "/dev/mapper/vg-home");
        // btrfs on a USB partition and on an internal one, as the kernel lists them.
        fm.addPartition("8:49", usb3, "sdd", "sdd1", true,
                        usbData("Lexar", "JumpDrive", "btrfs") + "E:ID_FS_LABEL=BTR\nE:ID_FS_UUID=b7f1\n");
        fm.addBtrfsDevice("b7f1", "sdd1");
        fm.mount("0:45", fm.mountPoint("BTR"), "btrfs", "/dev/sdd1", "rw,space_cache=v2,subvolid=5,subvol=/");
        fm.addPartition("8:3", sata, "sda", "sda3", false, "E:ID_BUS=ata\nE:ID_FS_TYPE=btrfs\nE:ID_FS_UUID=c0de\n");
        fm.addBtrfsDevice("c0de", "sda3");
        fm.mount("0:46", fm.mountPoint("root"), "btrfs", "/dev/sda3", "rw,ssd,space_cache=v2,subvolid=256,subvol=/@");
        rig.start();

        const QList<LocalUSBDevice> devices = rig.settleAndList();
        const QList<QStringList> expected = {   // name, id, file system, vendor, model, serial
            {"SECRET", fm.mountPoint("SECRET") + "|dm-0", "EXT4", "Verbatim", "Store_n_Go", "Verbatim01"},
            {"VAULT", fm.mountPoint("VAULT") + "|dm-2", "FAT32", "Toshiba", "External_USB_3.0", "Toshiba01"},
            {"BTR", fm.mountPoint("BTR") + "|sdd1", "Btrfs", "Lexar", "JumpDrive", "Lexar01"},
        };
        QCOMPARE(devices.size(), expected.size());
        for (qsizetype i = 0; i < devices.size(); ++i) {
            const LocalUSBDevice &d = devices.at(i);
            QCOMPARE((QStringList{d.name, d.id, d.fileSystem, d.vendorName, d.model, d.serialNumber}), expected.at(i));
            QCOMPARE(d.type, DeviceType::usb);
        }
        QVERIFY(!rig.manager->isRemovableVolume(fm.mountPoint("HOME")));
        QVERIFY(!rig.manager->isRemovableVolume(fm.mountPoint("root")));
    }

    void anotherStickAtTheSamePathIsDescribedAfresh()
    {
        Rig rig;
        FakeMachine &fm = rig.machine;
        const QString point = fm.mountPoint("STICK");
        fm.addStick("8:17", "sdb1", point, "STICK", "1234-ABCD");
        rig.start();
        QCOMPARE(rig.settleAndList().value(0).vendorName, QString("Kingston"));

        fm.unmount(point);
        fm.addPartition("8:33", kUsbPath, "sdc", "sdc1", true,
                        "E:ID_BUS=usb\nE:ID_VENDOR=SanDisk\nE:ID_MODEL=Ultra\nE:ID_FS_TYPE=vfat\nE:ID_FS_UUID=9999-0000\n"
                        "E:ID_FS_LABEL=STICK\n");
        fm.mount("8:33", point, "vfat", "/dev/sdc1");
        rig.manager->refreshDevices();
        const LocalUSBDevice now = rig.settleAndList().value(0);
        QCOMPARE((QStringList{now.id, now.vendorName, now.model}), (QStringList{point + "|sdc1", "SanDisk", "Ultra"}));

        // With no udevd its database may still describe the image the device
        // held before: it is not believed, the device itself is asked.
        fm.udevd.stop();
        fm.unmount(point);
        fm.addPartition("8:33", kUsbPath, "sdc", "sdc1", true,
                        "E:ID_BUS=usb\nE:ID_VENDOR=SanDisk\nE:ID_FS_TYPE=vfat\nE:ID_FS_LABEL=EARLIER\n");
        fm.mount("8:33", point, "vfat", "/dev/sdc1");
        rig.manager->refreshDevices();
        const LocalUSBDevice stale = rig.settleAndList().value(0);
        QCOMPARE((QStringList{stale.id, stale.name, stale.vendorName}), (QStringList{point + "|sdc1", "STICK", "未知厂商"}));
    }

    void overlappingRefreshesCoalesce()
    {
        Rig rig;
        FakeMachine &fm = rig.machine;
        fm.addStick("8:17", "sdb1", fm.mountPoint("STICK"), "STICK", "1234-ABCD");
        rig.start();
        QSignalSpy published(rig.manager.get(), &USBDeviceManager::connectedDevicesChanged);
        // The constructor's enumeration is running; these all join one waiting refresh.
        for (int i = 0; i < 5; ++i)
            rig.manager->refreshDevices();
        fm.unmount(fm.mountPoint("STICK"));
        rig.settle();
        QCOMPARE(published.count(), 2);
        // The last published list is the newest: the unmounted stick does not come back.
        QVERIFY(rig.manager->connectedDevices().isEmpty());
    }

    // FAT32 through fusefat, exFAT through exfat-fuse, ext4 through the kernel, all loop-backed.
    void realVolumesAppearAndDisappear()
    {
        if (const QString why = MountFixture::whyUnavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fixture;
        struct Volume { MountFixture::Kind kind; QString label; QString fs; QString point; };
        QList<Volume> volumes = {{MountFixture::Kind::Fat32, "FAT STICK", "FAT32", {}},
                                 {MountFixture::Kind::ExFat, "EXCARD", "exFAT", {}},
                                 {MountFixture::Kind::Ext4, "EXT DISK", "EXT4", {}}};
        for (Volume &v : volumes) {
            const auto image = fixture.makeImage(v.kind, 64, v.label);
            const auto loop = image ? fixture.attachLoop(*image) : std::nullopt;
            if (!loop)
                QSKIP(qPrintable(fixture.lastError()));
            v.point = fixture.mountRoot() + "/" + v.label;
            const auto mounted = v.kind == MountFixture::Kind::Fat32   ? fixture.mountFat(*loop, v.point)
                                 : v.kind == MountFixture::Kind::ExFat ? fixture.mountExfat(*loop, v.point)
                                                                       : fixture.mountExt4(*loop, v.point);
            if (!mounted)
                QSKIP(qPrintable(fixture.lastError()));
        }

        Rig rig;
        rig.startManager(testsupport::realMachineEnvironment());
        const QList<LocalUSBDevice> listed = rig.settleAndList();
        for (const Volume &v : volumes) {
            const auto it = std::find_if(listed.begin(), listed.end(),
                                         [&](const LocalUSBDevice &d) { return d.path == v.point; });
            QVERIFY2(it != listed.end(), qPrintable(v.point));
            QCOMPARE(it->name, v.label);
            QCOMPARE(it->fileSystem, v.fs);
            QVERIFY2(it->id.startsWith(v.point + "|loop"), qPrintable(it->id));
            QVERIFY(it->isAccessible);
            // fusefat reports no blocks: the device's own size stands, and no free space.
            if (v.kind == MountFixture::Kind::Fat32)
                QVERIFY2(it->capacity == 64 << 20 && !it->available, qPrintable(QString::number(it->capacity)));
            else
                QVERIFY(it->capacity > 0 && it->available > 0 && *it->available <= it->capacity);
        }

        for (const Volume &v : volumes)
            QVERIFY(fixture.unmount(v.point));
        rig.manager->refreshDevices();
        for (const LocalUSBDevice &d : rig.settleAndList())
            QVERIFY2(!d.path.startsWith(fixture.mountRoot()), qPrintable(d.path));
    }

    // btrfs mounted by the kernel from a loop device: the mount's device number is
    // anonymous, the volume is found through its source and /sys/fs/btrfs.
    void realBtrfsVolumeIsListed()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QString mkfs = QStandardPaths::findExecutable("mkfs.btrfs", {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
        if (mkfs.isEmpty())
            QSKIP("mkfs.btrfs is not installed (btrfs-progs)");
        QFile filesystems("/proc/filesystems");
        if (!filesystems.open(QIODevice::ReadOnly) || !filesystems.readAll().contains("\tbtrfs\n"))
            QSKIP("this kernel has no btrfs");
        MountFixture fixture;
        const QString image = fixture.path() + "/btrfs.img";
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(128) * 1024 * 1024));
        file.close();
        ProcessRequest mkfsRun;
        mkfsRun.program = mkfs;
        mkfsRun.arguments = {"-q", "-L", "BTR STICK", image};
        mkfsRun.timeout = std::chrono::seconds(60);
        const ProcessResult made = runProcess(mkfsRun);
        QVERIFY2(made.succeeded(), made.standardError.constData());
        const auto loop = fixture.attachLoop(image);
        QVERIFY2(loop, qPrintable(fixture.lastError()));
        const QString point = fixture.mountRoot() + "/BTR STICK";
        QVERIFY2(fixture.mountWith({"-t", "btrfs", *loop}, point), qPrintable(fixture.lastError()));
        const std::optional<MountEntry> entry = [&]() -> std::optional<MountEntry> {
            for (const MountEntry &m : readMountInfo()) {
                if (m.mountPoint == point)
                    return m;
            }
            return std::nullopt;
        }();
        QVERIFY(entry && entry->major == 0);

        Rig rig;
        rig.startManager(testsupport::realMachineEnvironment());
        const QList<LocalUSBDevice> listed = rig.settleAndList();
        const auto it =
            std::find_if(listed.begin(), listed.end(), [&](const LocalUSBDevice &d) { return d.path == point; });
        QVERIFY2(it != listed.end(), qPrintable(point));
        QCOMPARE((QStringList{it->name, it->fileSystem, it->id}),
                 (QStringList{"BTR STICK", "Btrfs", point + "|" + loop->mid(5)}));
        QVERIFY(it->isAccessible && it->capacity > 0);
    }

    // A table the kernel does not flag (this fake's file) never tells the
    // monitor of a change: the fallback refresh looks as often as the window
    // does. A look that finds everything as it was publishes, logs and
    // describes nothing; a stick mounted behind the monitor's back is listed
    // at the next one.
    void fallbackFindsWhatTheMonitorMissed()
    {
        Rig rig;
        FakeMachine &fm = rig.machine;
        fm.addStick("8:17", "sdb1", fm.mountPoint("STICK"), "STICK", "1234-ABCD");
        USBDeviceManager::Environment env = fm.environment(/*monitoring=*/true);
        // The fake's folders have the sizes of the test machine's disk, which
        // other tests change: no volume is read again here.
        env.volumeRecheckInterval = std::chrono::hours(1);
        rig.startManager(env);
        QCOMPARE(rig.manager->fallbackInterval(), std::chrono::milliseconds(500));
        rig.settle();
        rig.scheduler.advance(std::chrono::seconds(2));   // start counts as an arrival: its pair of refreshes
        rig.settle();
        QCOMPARE(rig.manager->connectedDevices().size(), 1);

        QSignalSpy published(rig.manager.get(), &USBDeviceManager::connectedDevicesChanged);
        const quint64 looks = rig.manager->enumerationCount();
        {
            testsupport::StdoutCapture out;
            for (int i = 0; i < 20; ++i) {
                rig.scheduler.advance(std::chrono::milliseconds(500));
                rig.settle();
            }
            QCOMPARE(rig.manager->enumerationCount(), looks + 20);
            QCOMPARE(published.count(), 0);
            QCOMPARE(out.lines(), QStringList());
        }

        fm.addStick("8:33", "sdc1", fm.mountPoint("OTHER"), "OTHER", "5678-ABCD");
        rig.scheduler.advance(std::chrono::milliseconds(500));
        rig.settle();
        QCOMPARE(published.count(), 1);
        QCOMPARE(rig.manager->connectedDevices().value(1).name, QString("OTHER"));

        rig.manager->stopMonitoring();
        QVERIFY(!rig.manager->isMonitoring());
        rig.scheduler.advance(std::chrono::seconds(5));
        rig.settle();
        QCOMPARE(rig.manager->enumerationCount(), looks + 21);   // no fallback without monitoring
    }
};

SWEEPBROOK_TEST_MAIN(TestDeviceManager)
#include "test_device_manager.moc"
