#include "MountFixture.h"
#include "TestMain.h"

#include "platform/DeviceMonitor.h"
#include "platform/ProcessRunner.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

ProcessResult run(const QString &program, const QStringList &arguments)
{
    ProcessRequest request;
    request.program = program;
    request.arguments = arguments;
    request.timeout = 30s;
    return runProcess(request);
}

QString describe(const ProcessResult &result)
{
    return result.started ? QString::fromLocal8Bit(result.standardError + result.standardOutput).trimmed()
                          : result.errorString;
}

// Unmounts what a test mounted, also when it fails half-way.
struct Undo
{
    QStringList mounts;
    ~Undo()
    {
        for (qsizetype i = mounts.size() - 1; i >= 0; --i)
            run("umount", {"-l", "--", mounts.at(i)});
    }
};

// Counts emissions of a signal that happen within one event-loop turn of the
// one before: a burst must give one emission, not one per event.
struct TurnCounter
{
    int repeats = 0;
    bool turnOpen = false;
    void connect(QObject *owner, DeviceMonitor *monitor, void (DeviceMonitor::*signal)())
    {
        QObject::connect(monitor, signal, owner, [this, owner] {
            if (turnOpen)
                ++repeats;
            turnOpen = true;
            QMetaObject::invokeMethod(owner, [this] { turnOpen = false; }, Qt::QueuedConnection);
        });
    }
};

} // namespace

class TestDeviceMonitor : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_skip;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Our mounts stay in the test's own mount namespace (TestMain.h).
        if (geteuid() != 0)
            m_skip = "mounting needs root";
    }

    void mountsAndUnmountsAreReported()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        // A copy of the table is watched too, but the kernel flags no change of a plain file.
        const QString copy = m_dir.path() + "/mountinfo";
        QVERIFY(QFile::copy("/proc/self/mountinfo", copy));
        DeviceMonitor ofCopy(copy);
        QVERIFY(ofCopy.start() && ofCopy.hasMountWatch() && !ofCopy.mountWatchFlagsChanges());

        DeviceMonitor monitor;
        QVERIFY(monitor.start());
        QVERIFY(monitor.hasMountWatch() && monitor.mountWatchFlagsChanges());
        QSignalSpy arrived(&monitor, &DeviceMonitor::mediaArrived);
        QSignalSpy removed(&monitor, &DeviceMonitor::mediaRemoved);
        QSignalSpy changed(&monitor, &DeviceMonitor::mountTableChanged);
        TurnCounter arrivals, changes;
        arrivals.connect(this, &monitor, &DeviceMonitor::mediaArrived);
        changes.connect(this, &monitor, &DeviceMonitor::mountTableChanged);

        Undo undo;
        const QString a = m_dir.path() + "/a", b = m_dir.path() + "/b c";
        QDir().mkpath(a);
        QDir().mkpath(b);
        // Two mounts before the event loop runs again: one burst.
        for (const QString &point : {a, b}) {
            const ProcessResult mounted = run("mount", {"-t", "tmpfs", "sweepbrook-test", point});
            if (!mounted.succeeded())
                QSKIP(qPrintable("cannot mount a tmpfs: " + describe(mounted)));
            undo.mounts << point;
        }
        QTRY_VERIFY(arrived.count() > 0 && changed.count() > 0);
        QCOMPARE(arrivals.repeats, 0);
        QCOMPARE(changes.repeats, 0);

        changed.clear();
        QVERIFY(run("umount", {"--", b}).succeeded());
        undo.mounts.removeAll(b);
        QTRY_VERIFY(removed.count() > 0 && changed.count() > 0);
    }

    // Attaching, mounting, unmounting and detaching a real loop device.
    void loopDeviceLifeIsReported()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Ext4, 16, QStringLiteral("MONITOR"));
        if (!image)
            QSKIP(qPrintable(fx.lastError()));

        DeviceMonitor monitor;
        QVERIFY(monitor.start());
        if (!monitor.hasUdevMonitor())
            QSKIP("no block device events on this machine");
        // While nobody listens the events are let go unread; reading goes on
        // as before once someone does.
        if (const auto unheard = fx.attachLoop(*image)) {
            QTest::qWait(100);
            QVERIFY(fx.detachLoop(*unheard));
            QTest::qWait(100);
        }
        QSignalSpy arrived(&monitor, &DeviceMonitor::mediaArrived);
        QSignalSpy removed(&monitor, &DeviceMonitor::mediaRemoved);

        const auto loop = fx.attachLoop(*image);
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));
        QTRY_VERIFY(arrived.count() > 0);
        arrived.clear();
        const auto point = fx.mountExt4(*loop, fx.mountRoot() + QStringLiteral("/loop"));
        if (!point)
            QSKIP(qPrintable(fx.lastError()));
        QTRY_VERIFY(arrived.count() > 0);

        removed.clear();
        QVERIFY(fx.unmount(*point));
        QTRY_VERIFY(removed.count() > 0);
        // A detached loop device stays, emptied: the kernel reports a "change".
        removed.clear();
        QVERIFY(fx.detachLoop(*loop));
        QTRY_VERIFY(removed.count() > 0);
    }
};

SWEEPBROOK_TEST_MAIN(TestDeviceMonitor)
#include "test_device_monitor.moc"
