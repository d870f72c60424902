#include "TestMain.h"

#include <QSignalSpy>

#include "FakeMachine.h"
#include "ManagerRig.h"
#include "MountFixture.h"

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
            if (v.kind != MountFixture::Kind::Fat32)   // fusefat reports no sizes
                QVERIFY(it->capacity > 0 && it->available > 0 && it->available <= it->capacity);
        }

        for (const Volume &v : volumes)
            QVERIFY(fixture.unmount(v.point));
        rig.manager->refreshDevices();
        for (const LocalUSBDevice &d : rig.settleAndList())
            QVERIFY2(!d.path.startsWith(fixture.mountRoot()), qPrintable(d.path));
    }

    void monitoringRefreshesOnVirtualTime()
    {
        Rig rig;
        rig.machine.addStick("8:17", "sdb1", rig.machine.mountPoint("STICK"), "STICK", "1234-ABCD");
        rig.start(/*monitoring=*/true);
        QSignalSpy published(rig.manager.get(), &USBDeviceManager::connectedDevicesChanged);
        rig.settle();
        QCOMPARE(published.count(), 1);   // the constructor's own refresh
        // Start counts as an arrival (refreshes at 0.5 s and 1.5 s); the
        // one-second timer adds 1.0 s and 2.0 s: one more list each half second.
        for (int expected = 2; expected <= 5; ++expected) {
            rig.scheduler.advance(std::chrono::milliseconds(500));
            rig.settle();
            QCOMPARE(published.count(), expected);
        }
        rig.manager->stopMonitoring();
        QVERIFY(!rig.manager->isMonitoring());
    }
};

SWEEPBROOK_TEST_MAIN(TestDeviceManager)
#include "test_device_manager.moc"
