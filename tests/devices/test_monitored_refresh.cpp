// The device manager on the kernel's own mount table, in a mount namespace of
// this test's own: the monitor hears of each mount and unmount, so the manager
// enumerates at once on a change and otherwise only on its fallback refresh,
// which still finds what the monitor cannot see.
#include "TestMain.h"

#include "ManagerRig.h"
#include "MountFixture.h"
#include "Patience.h"
#include "StdoutCapture.h"

#include <QFileInfo>
#include <QSignalSpy>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

std::optional<LocalUSBDevice> listedAt(const USBDeviceManager &manager, const QString &point)
{
    for (const LocalUSBDevice &d : manager.connectedDevices()) {
        if (d.path == point)
            return d;
    }
    return std::nullopt;
}

// The kernel reports a "change" of the block device (a loop device's name).
void changeReported(const QString &device)
{
    QFile trigger("/sys/class/block/" + QFileInfo(device).fileName() + "/uevent");
    QVERIFY(trigger.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && trigger.write("change") > 0);
}

} // namespace

class TestMonitoredRefresh : public QObject
{
    Q_OBJECT

    QString m_skip;

private slots:
    void initTestCase()
    {
        // The real mount table of the test's own mount namespace (TestMain.h):
        // only this test's sticks are listed.
        if (geteuid() != 0)
            m_skip = "mounting needs root";
    }

    void changesAreReadAtOnceAndIdleIsQuiet()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const QString point = fx.mountRoot() + "/WATCHED";
        const auto loop = fx.mountNew(MountFixture::Kind::Ext4, point, 16, "WATCHED");
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));

        testsupport::ManagerRig rig;
        USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
        env.startMonitoring = true;
        env.volumeRecheckInterval = 0ms;   // every look reads the volume's sizes and access again
        rig.startManager(env);
        QCOMPARE(rig.manager->fallbackInterval(), env.fallbackRefreshInterval);
        rig.scheduler.advance(2s);   // start counts as an arrival: its pair of refreshes
        rig.settle();
        QVERIFY(listedAt(*rig.manager, point));

        // Left alone (no Qt event is handled, so no monitor report comes in):
        // nothing until the fallback, whose look at the unchanged volume
        // publishes, logs and describes nothing.
        QSignalSpy published(rig.manager.get(), &USBDeviceManager::connectedDevicesChanged);
        const quint64 looks = rig.manager->enumerationCount();
        {
            testsupport::StdoutCapture out;
            rig.scheduler.advance(2900ms);
            rig.settle();
            QCOMPARE(rig.manager->enumerationCount(), looks);
            rig.scheduler.advance(100ms);
            rig.settle();
            QCOMPARE(rig.manager->enumerationCount(), looks + 1);
            QCOMPARE(published.count(), 0);
            QCOMPARE(out.lines(), QStringList());
        }

        // An unmount and a mount are read as soon as the monitor reports them,
        // with no virtual time passing: well within the window's next look.
        const auto reported = [&] {
            rig.scheduler.runDue();
            rig.scheduler.settle();
        };
        const auto at = rig.scheduler.now();
        QVERIFY(fx.unmount(point));
        QTRY_VERIFY_WITH_TIMEOUT((reported(), !listedAt(*rig.manager, point)), testsupport::kPatience);
        QVERIFY2(fx.mountExt4(*loop, point), qPrintable(fx.lastError()));
        QTRY_VERIFY_WITH_TIMEOUT((reported(), listedAt(*rig.manager, point)), testsupport::kPatience);
        QCOMPARE(rig.scheduler.now(), at);
        rig.scheduler.advance(2s);   // the arrival's pair of refreshes
        rig.settle();

        // Space taken on the volume changes no mount: the fallback reads it.
        const qint64 available = listedAt(*rig.manager, point)->available.value_or(-1);
        QVERIFY(available > 0);
        QFile file(point + "/data");
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(QByteArray(4 << 20, 'x')) == 4 << 20);
        QVERIFY(file.flush() && ::fsync(file.handle()) == 0);
        file.close();
        rig.scheduler.advance(env.fallbackRefreshInterval - 2s - 1ms);
        rig.settle();
        QCOMPARE(listedAt(*rig.manager, point)->available.value_or(-1), available);
        rig.scheduler.advance(1ms);
        rig.settle();
        QVERIFY(listedAt(*rig.manager, point)->available.value_or(-1) < available);

        // Told of every mount by the table, the manager leaves block-device
        // events to the kernel to drop: a "change" of the stick's loop
        // device brings no look.
        const int pending = rig.scheduler.pendingCount();
        changeReported(*loop);
        QTest::qWait(500);
        reported();
        QCOMPARE(rig.scheduler.pendingCount(), pending);
    }

    // Where the mount table does not tell of its changes (a copy here), the
    // block-device events of listed sticks are the early word: a "change"
    // brings the arrival's look, well before the fallback.
    void blockEventsWhereTheTableIsSilent()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const QString point = fx.mountRoot() + "/SILENT";
        const auto loop = fx.mountNew(MountFixture::Kind::Ext4, point, 16, "SILENT");
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));
        const QString table = fx.path() + "/mountinfo";
        QVERIFY(MountFixture::writeMountInfoOf(point, table));

        testsupport::ManagerRig rig;
        USBDeviceManager::Environment env = testsupport::realMachineEnvironment();
        env.startMonitoring = true;
        env.paths.mountInfo = table;
        rig.startManager(env);
        QCOMPARE(rig.manager->fallbackInterval(), env.unwatchedRefreshInterval);
        rig.scheduler.advance(2s);
        rig.settle();
        QVERIFY(listedAt(*rig.manager, point));

        const int pending = rig.scheduler.pendingCount();
        const quint64 before = rig.manager->enumerationCount();
        changeReported(*loop);
        QTRY_VERIFY_WITH_TIMEOUT((rig.scheduler.runDue(), rig.scheduler.pendingCount() > pending), testsupport::kPatience);
        rig.scheduler.advance(500ms);
        rig.settle();
        QCOMPARE(rig.manager->enumerationCount(), before + 1);
    }
};

SWEEPBROOK_TEST_MAIN(TestMonitoredRefresh)
#include "test_monitored_refresh.moc"
