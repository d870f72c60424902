#include "TestMain.h"

#include "platform/ProcessRunner.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

#include "FakeMachine.h"
#include "ManagerRig.h"
#include "MountFixture.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using testsupport::kUsbPath2;
using namespace std::chrono_literals;

namespace {

QJsonObject recordOf(const QByteArray &data)
{
    return QJsonDocument::fromJson(data).object();
}

struct Rig : testsupport::ManagerRig
{
    testsupport::FakeMachine machine;
    QStringList posted;   // objects of DeviceAccessibilityChanged, in order

    void start(const USBDeviceManager::Environment &env)
    {
        startManager(env);
        center.addObserver(USBDeviceManager::deviceAccessibilityChanged, nullptr,
                           [this](const NotificationCenter::Notification &n) { posted.append(n.object.toString()); });
        settle();
    }
    void start() { start(machine.environment()); }

    // The common case: one USB stick "STICK" (sdb1, UUID 1234-ABCD) listed; its mount point.
    QString startWithStick()
    {
        const QString point = machine.mountPoint("STICK");
        machine.addStick("8:17", "sdb1", point, "STICK", "1234-ABCD");
        start();
        return point;
    }

    // What the preferences file holds now, read afresh.
    Preferences::BytesMap persisted() const
    {
        return Preferences(prefsFile()).bytesMapValue(USBDeviceManager::bookmarksKey).value_or(Preferences::BytesMap());
    }

    LocalUSBDevice listed(const QString &id) const { return manager->device(id).value_or(LocalUSBDevice()); }
};

} // namespace

class TestBookmarks : public QObject
{
    Q_OBJECT

private slots:
    // Grants are written through at once and loaded by the next start; saving
    // replaces only the exact key.
    void storedFormRoundTrips()
    {
        Rig rig;
        rig.start();
        const QByteArray binary("\x00\x01{\xff}", 5);
        rig.manager->saveSecurityBookmark("/media/u/A|B", "plain");
        rig.manager->saveSecurityBookmark("/media/u/A|B|sdb1", "old");
        rig.manager->saveSecurityBookmark("/media/u/A|B|sdb1", binary);
        const Preferences::BytesMap expected{{"/media/u/A|B", "plain"}, {"/media/u/A|B|sdb1", binary}};
        QCOMPARE(rig.persisted(), expected);

        Preferences reread(rig.prefsFile());
        USBDeviceManager second(rig.machine.environment(), rig.scheduler, reread, rig.center);
        rig.settle();
        QCOMPARE(second.securityBookmarks(), expected);
    }

    void unreadableStoredValueLoadsNothing_data()
    {
        QTest::addColumn<QByteArray>("entry");
        // One value that is not bytes spoils the whole map.
        QTest::newRow("one value a number")
            << QByteArray(R"({"type":"bytesMap","value":{"/media/u/A":"b25l","/media/u/B":42}})");
        QTest::newRow("one value not base64")
            << QByteArray(R"({"type":"bytesMap","value":{"/media/u/A":"b25l","/media/u/B":"***"}})");
        QTest::newRow("stored as a string") << QByteArray(R"({"type":"string","value":"/media/u/A"})");
    }

    void unreadableStoredValueLoadsNothing()
    {
        QFETCH(QByteArray, entry);
        Rig rig;
        testsupport::writeFile(rig.prefsFile(), R"({"format":1,"values":{"DeviceSecurityBookmarks":)" + entry + "}}");
        rig.preferences.reload();
        rig.start();
        QVERIFY(rig.manager->securityBookmarks().isEmpty());
        QVERIFY(!rig.manager->startAccessingDevice("/media/u/A"));
    }

    // A grant stored with the kernel name is found by the bare path, not the other way
    // round; grants are made for removable volumes only.
    void lookupAndScope()
    {
        Rig rig;
        const QString point = rig.startWithStick();
        const QByteArray grant = rig.manager->createBookmarkData(point).value_or(QByteArray());
        QVERIFY(!grant.isEmpty());
        rig.manager->saveSecurityBookmark(point + "|sdb1", grant);
        QVERIFY(rig.manager->hasSecurityBookmark(point));
        QVERIFY(rig.manager->startAccessingDevice(point));

        rig.manager->saveSecurityBookmark("/media/u/OTHER", grant);
        QVERIFY(!rig.manager->hasSecurityBookmark("/media/u/OTHER|sdb1"));
        QVERIFY(!rig.manager->startAccessingDevice("/media/u/OTHER|sdb1"));

        const QString tmp = rig.machine.mountPoint("tmp");
        rig.machine.mount("0:53", tmp, "tmpfs", "tmpfs");
        QVERIFY(!rig.manager->createBookmarkData(tmp));
        // The fixture's mount table has no root mount: a path outside every mount.
        QVERIFY(!rig.manager->createBookmarkData("/nonexistent/folder"));
    }

    // The grant is resolved by UUID to wherever the volume is mounted now.
    void grantFollowsTheVolume()
    {
        Rig rig;
        const QString first = rig.machine.mountPoint("STICK");
        rig.machine.addStick("8:17", "sdb1", first, "STICK", "1234-ABCD");
        QVERIFY(QDir().mkpath(first + "/DCIM/100"));
        rig.start();
        const QString id = first + "|sdb1";
        const std::optional<QByteArray> grant = rig.manager->createBookmarkData(first + "/DCIM/100/");
        QVERIFY(grant);
        rig.manager->saveSecurityBookmark(id, *grant);
        QVERIFY(rig.manager->startAccessingDevice(id));

        // Unplugged: the folder left behind is not the volume.
        rig.machine.unmount(first);
        QVERIFY(!rig.manager->startAccessingDevice(id));
        QVERIFY(!rig.manager->forceRefreshDeviceAccess(id));
        QVERIFY(rig.manager->hasSecurityBookmark(id));   // a failure keeps the grant

        // Plugged in again under another kernel name and path; the old folder is gone.
        QVERIFY(QDir(first).removeRecursively());
        const QString second = rig.machine.mountPoint("STICK 1");
        rig.machine.addStick("8:33", "sdc1", second, "STICK", "1234-abcd", kUsbPath2);
        QVERIFY(QDir().mkpath(second + "/DCIM/100"));
        QVERIFY(rig.manager->startAccessingDevice(id));
        // The granted folder itself must be there, not just the volume.
        QVERIFY(QDir(second + "/DCIM/100").removeRecursively());
        QVERIFY(!rig.manager->startAccessingDevice(id));
    }

    // Without a UUID the label and the device node identify the volume.
    void grantWithoutUuid()
    {
        Rig rig;
        const QString first = rig.machine.mountPoint("CARD");
        rig.machine.addStick("8:17", "sdb1", first, "CARD", "");
        rig.start();
        rig.manager->saveSecurityBookmark(first, rig.manager->createBookmarkData(first).value_or(QByteArray()));

        rig.machine.unmount(first);
        const QString second = rig.machine.mountPoint("elsewhere");
        rig.machine.mount("8:17", second, "vfat", "/dev/sdb1");
        QVERIFY(rig.manager->startAccessingDevice(first));

        // Another card with the same label on another device is not this one.
        rig.machine.unmount(second);
        rig.machine.addStick("8:33", "sdc1", second, "CARD", "", kUsbPath2);
        QVERIFY(!rig.manager->startAccessingDevice(first));
    }

    // One device, two names: granted while mounted as /dev/mapper/<name>, found
    // again when its mount names it /dev/dm-N, by device number. The fake sysfs
    // takes the number of a real block node (this kernel has no device-mapper).
    void grantWithoutUuidOnMapper()
    {
        QString node;
        struct stat st;
        for (const QString &name : QDir("/dev").entryList(QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
            if (::stat(QFile::encodeName("/dev/" + name).constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
                node = "/dev/" + name;
                break;
            }
        }
        if (node.isEmpty())
            QSKIP("no block device node in /dev to stand for the mapper device");
        const QString devnum = QString("%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
        Rig rig;
        rig.machine.addPartition("8:17", testsupport::kUsbPath, "sdb", "sdb1", true, "E:ID_BUS=usb\n");
        rig.machine.addMapper(devnum, "dm-0", {"sdb1"}, "CRYPT-LUKS2-0a1b-card",
                              "E:ID_FS_TYPE=ext4\nE:ID_FS_LABEL=CARD\n", "card");
        const QString mapperNode = rig.machine.dir.path() + "/mapper-card";   // as /dev/mapper/card
        QVERIFY(QFile::link(node, mapperNode));
        const QString first = rig.machine.mountPoint("CARD");
        rig.machine.mount(devnum, first, "ext4", mapperNode);
        rig.start();
        const std::optional<QByteArray> grant = rig.manager->createBookmarkData(first);
        QVERIFY(grant);
        QCOMPARE(recordOf(*grant).value("source").toString(), mapperNode);
        rig.manager->saveSecurityBookmark(first, *grant);

        rig.machine.unmount(first);
        const QString second = rig.machine.mountPoint("elsewhere");
        rig.machine.mount(devnum, second, "ext4", "/dev/dm-0");
        QVERIFY(rig.manager->startAccessingDevice(first));
    }

    void badRecordsFailAndStay_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("not JSON") << QByteArray("bookmark\x00\x01", 10);
        QTest::newRow("not an object") << QByteArray("[1,2]");
        QTest::newRow("newer version") << QByteArray(R"({"v":2,"uuid":"1234-ABCD","mountPath":"/m","relative":""})");
        QTest::newRow("no volume") << QByteArray(R"({"v":1,"mountPath":"/m","relative":""})");
        QTest::newRow("leaves the volume") << QByteArray(R"({"v":1,"uuid":"1234-ABCD","mountPath":"/m","relative":"a/../.."})");
        QTest::newRow("absolute folder") << QByteArray(R"({"v":1,"uuid":"1234-ABCD","mountPath":"/m","relative":"/etc"})");
        QTest::newRow("version not a number") << QByteArray(R"({"v":"1","uuid":"1234-ABCD","mountPath":"/m","relative":""})");
    }

    // Unreadable records are errors, not stale: they are kept.
    void badRecordsFailAndStay()
    {
        QFETCH(QByteArray, data);
        Rig rig;
        const QString id = rig.startWithStick() + "|sdb1";
        rig.manager->saveSecurityBookmark(id, data);
        QVERIFY(!rig.manager->startAccessingDevice(id));
        QVERIFY(!rig.manager->forceRefreshDeviceAccess(id));
        rig.manager->stopAccessingDevice(id);
        QCOMPARE(rig.persisted().value(id), data);
        QVERIFY(rig.posted.isEmpty());
    }

    void staleRecord_data()
    {
        QTest::addColumn<QJsonValue>("version");   // undefined: no "v" at all
        QTest::addColumn<bool>("forced");
        QTest::newRow("no version, start drops it") << QJsonValue(QJsonValue::Undefined) << false;
        QTest::newRow("version 0, start drops it") << QJsonValue(0) << false;
        QTest::newRow("no version, forced refresh renews it") << QJsonValue(QJsonValue::Undefined) << true;
    }

    // Stored under the combined ID, reached through the bare path: the stored key is dropped or renewed.
    void staleRecord()
    {
        QFETCH(QJsonValue, version);
        QFETCH(bool, forced);
        Rig rig;
        const QString point = rig.startWithStick(), id = point + "|sdb1";
        const QString other = "/media/u/OTHER";
        QJsonObject record = recordOf(rig.manager->createBookmarkData(point).value_or(QByteArray()));
        record.remove("v");
        if (!version.isUndefined())
            record.insert("v", version);
        rig.manager->saveSecurityBookmark(id, QJsonDocument(record).toJson());
        rig.manager->saveSecurityBookmark(other, "other");

        // Stopping ignores staleness and keeps the record.
        rig.manager->stopAccessingDevice(point);
        QVERIFY(rig.persisted().contains(id));

        if (!forced) {
            QVERIFY(!rig.manager->startAccessingDevice(point));
            const Preferences::BytesMap expected{{other, "other"}};
            QCOMPARE(rig.manager->securityBookmarks(), expected);
            QCOMPARE(rig.persisted(), expected);
            return;
        }
        QVERIFY(rig.manager->forceRefreshDeviceAccess(point));
        const Preferences::BytesMap stored = rig.persisted();
        QCOMPARE(stored.size(), 2);
        QCOMPARE(recordOf(stored.value(id)).value("v").toInt(), 1);
        QCOMPARE(rig.manager->securityBookmarks(), stored);
        QVERIFY(rig.manager->startAccessingDevice(id));   // now current: kept
        QVERIFY(rig.manager->hasSecurityBookmark(id));
        // The refresh announces the device on the main thread only.
        QVERIFY(rig.posted.isEmpty());
        rig.scheduler.runDue();
        QCOMPARE(rig.posted, QStringList{point});
    }

    // The caller blocks, but the step runs elsewhere: a caller on a background
    // thread of the same scheduler must not deadlock.
    void forcedRefreshFromBackgroundThread()
    {
        Rig rig;
        const QString point = rig.startWithStick(), id = point + "|sdb1";
        rig.manager->saveSecurityBookmark(id, rig.manager->createBookmarkData(point).value_or(QByteArray()));
        // Recorded inaccessible so that the refresh has something to change.
        rig.manager->updateDeviceAccessibility(id, false);
        rig.scheduler.runDue();
        rig.posted.clear();

        auto result = std::make_shared<std::atomic<int>>(-1);
        rig.scheduler.runInBackground([&rig, id, result] { *result = rig.manager->forceRefreshDeviceAccess(id); });
        rig.settle();
        QCOMPARE(result->load(), 1);
        QVERIFY(rig.listed(id).isAccessible);
        // Once from the accessibility update, once from the refresh itself.
        QCOMPARE(rig.posted, (QStringList{id, id}));
    }

    void accessibilityUpdates()
    {
        Rig rig;
        const QString point = rig.startWithStick(), id = point + "|sdb1";
        QSignalSpy changed(rig.manager.get(), &USBDeviceManager::connectedDevicesChanged);

        // Not listed: nothing. The value it already has: the record back, nothing posted.
        QVERIFY(!rig.manager->updateDeviceAccessibility(point, false));
        const std::optional<LocalUSBDevice> same = rig.manager->updateDeviceAccessibility(id, true);
        QVERIFY(same && same->isAccessible && same->id == id);
        rig.scheduler.runDue();
        QVERIFY(rig.posted.isEmpty());
        QCOMPARE(changed.size(), 0);

        // False: returned at once, applied and announced on the main thread.
        const std::optional<LocalUSBDevice> off = rig.manager->updateDeviceAccessibility(id, false);
        QVERIFY(off && !off->isAccessible);
        QVERIFY(rig.listed(id).isAccessible);
        rig.scheduler.runDue();
        QVERIFY(!rig.listed(id).isAccessible);
        QCOMPARE(rig.posted, QStringList{id});
        QCOMPARE(changed.size(), 1);

        // True for a root that cannot be listed and no grant: stays false, yet
        // is still written and announced.
        QVERIFY(QDir(point).removeRecursively());
        const std::optional<LocalUSBDevice> on = rig.manager->updateDeviceAccessibility(id, true);
        QVERIFY(on && !on->isAccessible);
        rig.scheduler.runDue();
        QCOMPARE(rig.posted, (QStringList{id, id}));
    }

    // The update is applied to the device it was made for, even when a new
    // enumeration reordered the list before the main thread got to it.
    void updateAppliesByIdAfterTheListChanged()
    {
        Rig rig;
        const QString a = rig.machine.mountPoint("A");
        rig.machine.addStick("8:17", "sdb1", a, "A", "AAAA-0001");
        rig.start();
        const QString idA = a + "|sdb1";

        // B appears ahead of A in the mount table.
        const QString b = rig.machine.mountPoint("B");
        rig.machine.addStick("8:33", "sdc1", b, "B", "BBBB-0002", kUsbPath2);
        rig.machine.lines.move(rig.machine.lines.size() - 1, 0);
        rig.machine.writeMountInfo();

        // The new list is waiting on the main queue when the update is made.
        rig.manager->refreshDevices();
        QTRY_VERIFY_WITH_TIMEOUT(rig.scheduler.pendingCount() > 0, 10000);
        QVERIFY(rig.manager->updateDeviceAccessibility(idA, false));
        rig.scheduler.runDue();

        const QList<LocalUSBDevice> devices = rig.manager->connectedDevices();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices.at(0).id, b + "|sdc1");
        QVERIFY(devices.at(0).isAccessible);
        QCOMPARE(devices.at(1).id, idA);
        QVERIFY(!devices.at(1).isAccessible);
    }

    // A FUSE mount made by another user without allow_other refuses even root.
    void foreignFuseMountIsInaccessible()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (findExecutable("setpriv").isEmpty())
            QSKIP("setpriv is not installed");
        MountFixture fx;
        QVERIFY(fx.isValid());
        // The other user must reach the image and own the mount point.
        QVERIFY(::chmod(QFile::encodeName(fx.path()).constData(), 0755) == 0);
        const std::optional<QString> image = fx.makeImage(MountFixture::Kind::Fat32, 64, "LOCKED");
        if (!image)
            QSKIP(qPrintable(fx.lastError()));
        const QString point = fx.mountRoot() + "/locked";
        QVERIFY(QDir().mkpath(point));
        for (const QString &path : {*image, point})
            QVERIFY(::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);

        ProcessRequest request;
        request.program = "setpriv";
        request.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", "fusefat", "-o",
                             QString("rw+,fsname=%1,subtype=vfat").arg(*image), *image, point};
        request.timeout = 30s;
        const ProcessResult mounted = runProcess(request);
        if (!mounted.succeeded() || !MountFixture::isMounted(point))
            QSKIP(qPrintable("cannot mount as another user: "
                             + QString::fromLocal8Bit(mounted.standardError + mounted.standardOutput).trimmed()));
        struct Unmount   // even when a check below fails
        {
            MountFixture &fx;
            QString point;
            ~Unmount() { fx.unmount(point); }
        } unmount{fx, point};

        QVERIFY(!USBDeviceManager::canListFolder(point));
        Rig rig;
        rig.start(testsupport::realMachineEnvironment());
        const std::optional<QByteArray> grant = rig.manager->createBookmarkData(point);
        QVERIFY(grant);
        rig.manager->saveSecurityBookmark(point, *grant);
        QVERIFY(!rig.manager->startAccessingDevice(point));
        QVERIFY(!rig.manager->forceRefreshDeviceAccess(point));
        QVERIFY(rig.manager->hasSecurityBookmark(point));
    }
};

SWEEPBROOK_TEST_MAIN(TestBookmarks)
#include "test_bookmarks.moc"
