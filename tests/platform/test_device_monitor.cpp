#include "TestMain.h"

#include "platform/DeviceMonitor.h"
#include "platform/ProcessRunner.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <sched.h>
#include <sys/mount.h>
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

// Undoes what a test set up, also when it fails half-way.
struct Undo
{
    QStringList mounts;
    QStringList loops;
    ~Undo()
    {
        for (qsizetype i = mounts.size() - 1; i >= 0; --i)
            run("umount", {"-l", "--", mounts.at(i)});
        for (const QString &loop : std::as_const(loops))
            run("losetup", {"-d", loop});
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
        if (geteuid() != 0) {
            m_skip = "mounting needs root";
            return;
        }
        // Our mounts stay in a mount namespace of our own: mounts made by tests
        // running alongside do not reach our mount table, and ours vanish with
        // the process whatever happens.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            m_skip = QString("cannot make a private mount namespace: %1").arg(qt_error_string(errno));
    }

    void mountsAndUnmountsAreReported()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        DeviceMonitor monitor;
        QVERIFY(monitor.start());
        QVERIFY(monitor.hasMountWatch());
        QSignalSpy arrived(&monitor, &DeviceMonitor::mediaArrived);
        QSignalSpy removed(&monitor, &DeviceMonitor::mediaRemoved);
        TurnCounter arrivals;
        arrivals.connect(this, &monitor, &DeviceMonitor::mediaArrived);

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
        QTRY_VERIFY(arrived.count() > 0);
        QCOMPARE(arrivals.repeats, 0);

        QVERIFY(run("umount", {"--", b}).succeeded());
        undo.mounts.removeAll(b);
        QTRY_VERIFY(removed.count() > 0);
    }

    // Attaching, mounting, unmounting and detaching a real loop device.
    void loopDeviceLifeIsReported()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        if (!QFileInfo::exists("/dev/loop-control"))
            QSKIP("loop devices are unavailable (no /dev/loop-control)");
        if (findExecutable("losetup").isEmpty() || findExecutable("mkfs.ext4").isEmpty())
            QSKIP("losetup or mkfs.ext4 is not installed");
        const QString image = m_dir.path() + "/disk.img";
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(16 * 1024 * 1024));
        }
        QVERIFY(run("mkfs.ext4", {"-q", "-F", image}).succeeded());

        DeviceMonitor monitor;
        QVERIFY(monitor.start());
        if (!monitor.hasUdevMonitor())
            QSKIP("no block device events on this machine");
        QSignalSpy arrived(&monitor, &DeviceMonitor::mediaArrived);
        QSignalSpy removed(&monitor, &DeviceMonitor::mediaRemoved);

        Undo undo;
        const ProcessResult attached = run("losetup", {"-f", "--show", "--", image});
        if (!attached.succeeded())
            QSKIP(qPrintable("cannot attach a loop device: " + describe(attached)));
        const QString loop = QString::fromLocal8Bit(attached.standardOutput).trimmed();
        undo.loops << loop;
        QTRY_VERIFY(arrived.count() > 0);

        const QString point = m_dir.path() + "/loop";
        QDir().mkpath(point);
        arrived.clear();
        const ProcessResult mounted = run("mount", {"-t", "ext4", "--", loop, point});
        if (!mounted.succeeded())
            QSKIP(qPrintable("cannot mount the loop device: " + describe(mounted)));
        undo.mounts << point;
        QTRY_VERIFY(arrived.count() > 0);

        removed.clear();
        QVERIFY(run("umount", {"--", point}).succeeded());
        undo.mounts.clear();
        QTRY_VERIFY(removed.count() > 0);

        // A detached loop device stays, emptied: the kernel reports a "change".
        removed.clear();
        QVERIFY(run("losetup", {"-d", loop}).succeeded());
        undo.loops.clear();
        QTRY_VERIFY(removed.count() > 0);
    }
};

SWEEPBROOK_TEST_MAIN(TestDeviceMonitor)
#include "test_device_monitor.moc"
