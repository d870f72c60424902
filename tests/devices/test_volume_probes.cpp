// The refresh's per-volume probes: a volume that hangs holds up nothing, the
// refresh never keeps a volume busy, and an unchanged volume is not probed again.
#include "TestMain.h"

#include "FakeMachine.h"
#include "ManagerRig.h"
#include "MountFixture.h"
#include "Patience.h"

#include <QDir>
#include <QElapsedTimer>

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

using testsupport::FakeMachine;
using testsupport::ManagerRig;

namespace {

bool listed(const USBDeviceManager &manager, const QString &point)
{
    const QList<LocalUSBDevice> devices = manager.connectedDevices();
    return std::any_of(devices.begin(), devices.end(), [&](const LocalUSBDevice &d) { return d.path == point; });
}

// Refreshes until `done` holds; the milliseconds it took, -1 when it did not
// come to hold within `limitMs`. A refresh waits for a volume's probe only up
// to the probe's time limit and lists the volume on a later one when its probe
// takes longer (its first probe runs blkid, which a loaded machine can hold
// for longer): what one refresh does not show yet, the next ones may.
qint64 refreshUntil(ManagerRig &rig, const std::function<bool()> &done, int limitMs = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < limitMs) {
        rig.manager->refreshDevices();
        if (!rig.scheduler.settle(std::chrono::milliseconds(limitMs)))
            return -1;
        if (done())
            return timer.elapsed();
    }
    return -1;
}

// Refreshes until `point` is listed (or not).
qint64 refreshUntil(ManagerRig &rig, const QString &point, bool present)
{
    return refreshUntil(rig, [&] { return listed(*rig.manager, point) == present; });
}

// Sends SIGCONT when the test leaves, also when a check fails half-way.
struct ResumeOnExit
{
    pid_t pid = 0;
    ~ResumeOnExit()
    {
        if (pid > 0)
            ::kill(pid, SIGCONT);
    }
};

} // namespace

class TestVolumeProbes : public QObject
{
    Q_OBJECT

private slots:
    // A stick whose FUSE daemon is stopped (every call into it waits) beside
    // sticks that come and go: the list keeps following them, and the manager
    // goes away at once.
    void hungVolumeHoldsUpNothing()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const QString hung = fx.mountRoot() + "/HUNG";
        const QString other = fx.mountRoot() + "/OTHER";
        const QString table = fx.path() + "/mountinfo";
        const auto hungLoop = fx.mountNew(MountFixture::Kind::Fat32, hung, 32, "HUNG");
        const auto image = fx.makeImage(MountFixture::Kind::Fat32, 32, "OTHER");
        const auto otherLoop = image ? fx.attachLoop(*image) : std::nullopt;
        if (!hungLoop || !otherLoop)
            QSKIP(qPrintable(fx.lastError()));
        QVERIFY(MountFixture::writeMountInfoOf(hung, table));

        USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
        env.paths.mountInfo = table;
        env.volumeRecheckInterval = std::chrono::milliseconds(0);   // every refresh reaches into the volume
        env.probeTimeout = USBDeviceManager::Environment().probeTimeout;   // the app's
        const auto limit = env.probeTimeout;
        ManagerRig rig;
        ResumeOnExit resume;   // declared after the rig: the daemon runs again before the manager goes
        rig.startManager(env);
        QVERIFY(refreshUntil(rig, hung, true) >= 0);

        resume.pid = MountFixture::fuseDaemon(hung);
        QVERIFY(MountFixture::stopProcess(resume.pid));
        // The refresh that finds it stopped waits for its probe, up to the time limit.
        rig.manager->refreshDevices();
        rig.settle();

        // From then on the stopped volume keeps its last known state and
        // holds up no refresh while another stick comes and goes.
        QVERIFY(fx.mountFat(*otherLoop, other));
        QVERIFY(MountFixture::writeMountInfoOfAll({hung, other}, table));
        const qint64 shown = refreshUntil(rig, other, true);
        qInfo("another stick listed after %lld ms", shown);
        QVERIFY(shown >= 0);
        QVERIFY(listed(*rig.manager, hung));
        QVERIFY(fx.unmount(other));
        QVERIFY(MountFixture::writeMountInfoOf(hung, table));
        QVERIFY(refreshUntil(rig, other, false) >= 0);
        QVERIFY(listed(*rig.manager, hung));
        // Ten refreshes, each of which would wait a whole time limit if it
        // waited for the stopped volume's probe, take a small part of that
        // (a loaded machine slows them by milliseconds, not by seconds).
        QElapsedTimer refreshes;
        refreshes.start();
        for (int i = 0; i < 10; ++i) {
            rig.manager->refreshDevices();
            rig.settle();
        }
        qInfo("ten refreshes beside the stopped volume in %lld ms", refreshes.elapsed());
        QVERIFY2(refreshes.elapsed() < 10 * limit.count() / 2, qPrintable(QString::number(refreshes.elapsed())));

        // A hung volume whose mount leaves the table is dropped.
        QVERIFY(MountFixture::writeMountInfoOf(QString(), table));
        QVERIFY(refreshUntil(rig, hung, false) >= 0);
        QVERIFY(MountFixture::writeMountInfoOf(hung, table));

        // Quitting while a refresh waits for a probe stuck in the volume: the
        // refresh stops waiting at once, before its time limit would end it.
        QElapsedTimer timer;
        timer.start();
        rig.manager->refreshDevices();
        rig.manager.reset();
        qInfo("manager destroyed %lld ms after the refresh began", timer.elapsed());
        QVERIFY2(timer.elapsed() < limit.count(), qPrintable(QString::number(timer.elapsed())));

        // The stuck probes return into a manager that is gone.
        ::kill(resume.pid, SIGCONT);
        QVERIFY(rig.scheduler.settle());
        QThread::msleep(200);
    }

    // Mount, let the manager list the stick, unmount while the manager
    // refreshes without pause: the unmount is never refused as busy.
    void unmountNeverBusy()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QString fusermount = MountFixture::tool("fusermount");
        if (fusermount.isEmpty())
            QSKIP("fusermount is not installed");
        MountFixture fx;
        const QString point = fx.mountRoot() + "/STICK";
        const QString table = fx.path() + "/mountinfo";
        const auto image = fx.makeImage(MountFixture::Kind::Fat32, 32, "STICK");
        const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));
        QVERIFY(MountFixture::writeMountInfoOf(QString(), table));
        USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
        env.paths.mountInfo = table;
        // A listed volume is read again only now and then, and not during a
        // round of this test however long a loaded machine makes it: what is
        // tested is that nothing else of a refresh holds the volume.
        env.volumeRecheckInterval = std::chrono::minutes(10);
        ManagerRig rig;
        rig.startManager(env);
        rig.settle();

        QStringList refused;
        int refreshes = 0;
        for (int round = 0; round < 100; ++round) {
            QVERIFY(fx.mountFat(*loop, point));
            QVERIFY(MountFixture::writeMountInfoOf(point, table));
            QVERIFY(refreshUntil(rig, point, true) >= 0);

            std::atomic<bool> finished = false;
            ProcessResult result;
            std::thread unmount([&] {
                ProcessRequest request;
                request.program = fusermount;
                request.arguments = {"-u", point};
                request.timeout = std::chrono::seconds(20);
                result = runProcess(request);
                finished = true;
            });
            while (!finished) {
                rig.manager->refreshDevices();
                QVERIFY(rig.scheduler.settle());
                ++refreshes;
            }
            unmount.join();
            if (!result.succeeded()) {
                refused << QString::fromLocal8Bit(result.standardError).trimmed();
                QVERIFY(fx.unmount(point));
            }
            MountFixture::waitUntilReleased(*loop);
        }
        qInfo("%lld of 100 unmounts refused, %d refreshes during the unmounts", qint64(refused.size()), refreshes);
        QVERIFY2(refused.isEmpty(), qPrintable(refused.join("\n")));
    }

    // Without udev's database the file system comes from blkid: once per
    // mount, however often the list is refreshed; a new mount of the same
    // device is probed afresh.
    void unchangedVolumeIsProbedOnce()
    {
        struct Rig : ManagerRig
        {
            FakeMachine machine;
        } rig;
        FakeMachine &fm = rig.machine;
        const QString point = fm.mountPoint("STICK");
        fm.addPartition("8:17", testsupport::kUsbPath, "sdb", "sdb1", true, "");
        QFile::remove(fm.udev() + "/b8:17");   // no udev database at all
        fm.mount("8:17", point, "fuseblk", "/dev/sdb1");
        const QString blkid = fm.dir.path() + "/blkid";
        const QString calls = blkid + ".calls";
        testsupport::writeFile(blkid, "#!/bin/sh\necho \"$@\" >> '" + calls.toUtf8()
                                          + "'\nprintf 'ID_FS_TYPE=vfat\\nID_FS_VERSION=FAT32\\nID_FS_UUID=1234-ABCD\\n"
                                            "ID_FS_LABEL=COUNTED\\n'\n");
        QFile::setPermissions(blkid, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const auto callCount = [&] {
            QFile file(calls);
            return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
        };

        USBDeviceManager::Environment env = fm.environment();
        env.paths.useBlkid = true;
        env.paths.blkid = blkid;
        rig.startManager(env);
        struct Step { const char *what; bool remount; int refreshes; int blkidCalls; };
        const QList<Step> steps = {{"first refreshes", false, 10, 1}, {"new mount of the same device", true, 10, 2}};
        for (const Step &step : steps) {
            if (step.remount) {
                fm.unmount(point);
                fm.mount("8:17", point, "fuseblk", "/dev/sdb1");
            }
            // Listed once blkid has answered (a loaded machine may hold it
            // past a refresh's wait), then refreshed again and again.
            QVERIFY(refreshUntil(rig, [&] {
                        return callCount() >= step.blkidCalls && rig.manager->connectedDevices().value(0).name == "COUNTED";
                    }) >= 0);
            for (int i = 0; i < step.refreshes; ++i) {
                rig.manager->refreshDevices();
                rig.settle();
            }
            const LocalUSBDevice device = rig.manager->connectedDevices().value(0);
            QCOMPARE((QStringList{device.name, device.fileSystem}), (QStringList{"COUNTED", "FAT32"}));
            QVERIFY2(callCount() == step.blkidCalls,
                     qPrintable(QString("%1: blkid ran %2 times").arg(step.what).arg(callCount())));
        }
    }

    // A removable volume keeps one probe thread, which probes it again and
    // again; the thread ends when the mount leaves the table. A volume that
    // is not removable keeps none.
    void probeThreadsEndWithTheirVolumes()
    {
        struct Rig : ManagerRig
        {
            FakeMachine machine;
        } rig;
        FakeMachine &fm = rig.machine;
        const auto threads = [] {   // the probe threads of this process
            int count = 0;
            for (const QString &task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile comm("/proc/self/task/" + task + "/comm");
                count += comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "volume probe";
            }
            return count;
        };
        const auto refresh = [&] {
            rig.manager->refreshDevices();
            rig.settle();
        };
        fm.addPartition("8:1", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "sda", "sda1", false,
                        "E:ID_BUS=ata\nE:ID_FS_TYPE=ext4\n");
        fm.mount("8:1", fm.mountPoint("data"), "ext4", "/dev/sda1");
        USBDeviceManager::Environment env = fm.environment();
        env.volumeRecheckInterval = std::chrono::milliseconds(0);   // every refresh probes the stick
        rig.startManager(env);
        refresh();
        QTRY_COMPARE_WITH_TIMEOUT(threads(), 0, testsupport::kPatience);   // the fixed disk's ended with its probe
        fm.addStick("8:17", "sdb1", fm.mountPoint("STICK"), "STICK", "1234-ABCD");
        // A changed table has the fixed disk probed again, on a thread that
        // ends with its probe: on a loaded machine it may not have ended yet.
        refresh();
        QTRY_COMPARE_WITH_TIMEOUT(threads(), 1, testsupport::kPatience);
        for (int i = 0; i < 20; ++i)
            refresh();
        QTRY_COMPARE_WITH_TIMEOUT(threads(), 1, testsupport::kPatience);
        QCOMPARE(rig.manager->connectedDevices().size(), 1);
        fm.unmount(fm.mountPoint("STICK"));
        refresh();
        QTRY_COMPARE_WITH_TIMEOUT(threads(), 0, testsupport::kPatience);
        QVERIFY(rig.manager->connectedDevices().isEmpty());
    }

    // A stick unmounted and another image mounted from the same loop device at
    // the same place between two refreshes: the kernel hands out the freed
    // mount id again, so id and device number are both the same; the list
    // still shows the new volume's name, also when each probe answers only
    // after its refresh stopped waiting (a loaded machine holds blkid).
    void remountWithTheSameNumbersShowsTheNewVolume_data()
    {
        QTest::addColumn<int>("probeTimeoutMs");
        QTest::newRow("probed within the refresh") << int(testsupport::realMachineEnvironment().probeTimeout.count());
        QTest::newRow("probes answering after their refresh") << 0;
    }

    void remountWithTheSameNumbersShowsTheNewVolume()
    {
        QFETCH(int, probeTimeoutMs);
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const auto alpha = fx.makeImage(MountFixture::Kind::Ext4, 16, QStringLiteral("ALPHA"));
        const auto bravo = fx.makeImage(MountFixture::Kind::Ext4, 16, QStringLiteral("BRAVO"));
        const auto loop = alpha ? fx.attachLoop(*alpha) : std::nullopt;
        const QString point = fx.mountRoot() + QStringLiteral("/STICK");
        QVERIFY2(bravo && loop && fx.mountExt4(*loop, point), qPrintable(fx.lastError()));
        const auto mountOf = [&] {
            for (const MountEntry &m : readMountInfo()) {
                if (m.mountPoint == point)
                    return std::pair(m.mountId, QStringLiteral("%1:%2").arg(m.major).arg(m.minor));
            }
            return std::pair(-1, QString());
        };
        ManagerRig rig;
        const auto nameShown = [&] {
            for (const LocalUSBDevice &d : rig.manager->connectedDevices()) {
                if (d.path == point)
                    return d.name;
            }
            return QString();
        };
        USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
        env.probeTimeout = std::chrono::milliseconds(probeTimeoutMs);
        rig.startManager(env);
        QVERIFY(refreshUntil(rig, point, true) >= 0);
        QCOMPARE(nameShown(), QStringLiteral("ALPHA"));
        const auto before = mountOf();

        QVERIFY(fx.unmount(point));
        ProcessRequest swap;   // the same loop device, another image
        swap.program = MountFixture::tool(QStringLiteral("losetup"));
        swap.timeout = std::chrono::seconds(20);
        swap.arguments = {QStringLiteral("-d"), *loop};
        QVERIFY(runProcess(swap).succeeded());
        swap.arguments = {*loop, *bravo};
        // Programs alongside (tests attaching sticks of their own) may take the freed device first.
        if (const ProcessResult attached = runProcess(swap); !attached.succeeded())
            QSKIP(qPrintable("another program took the freed loop device: " + QString::fromLocal8Bit(attached.standardError)));
        QVERIFY2(fx.mountExt4(*loop, point), qPrintable(fx.lastError()));
        // What the case is about: the freed id again. Mounts made meanwhile
        // elsewhere (tests running alongside) may take it first.
        for (int attempt = 0; attempt < 20 && mountOf() != before; ++attempt)
            QVERIFY(fx.unmount(point) && fx.mountExt4(*loop, point));
        if (mountOf() != before)
            QSKIP("other programs kept taking the freed mount id");

        // (Its probe may take longer than a refresh waits.)
        QVERIFY2(refreshUntil(rig, [&] { return nameShown() == QStringLiteral("BRAVO"); }) >= 0, qPrintable(nameShown()));
    }
};

SWEEPBROOK_TEST_MAIN(TestVolumeProbes)
#include "test_volume_probes.moc"
