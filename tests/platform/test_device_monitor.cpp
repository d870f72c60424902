#include "MountFixture.h"
#include "Patience.h"
#include "TestMain.h"

#include "platform/DeviceMonitor.h"
#include "platform/ProcessRunner.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <fcntl.h>
#include <linux/loop.h>
#include <linux/netlink.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
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

// A device event laid out as the kernel sends it.
QByteArray uevent(const QByteArray &action, const QByteArray &devpath, const QByteArray &subsystem)
{
    return action + '@' + devpath + '\0' + "ACTION=" + action + '\0' + "DEVPATH=" + devpath + '\0' + "SUBSYSTEM="
           + subsystem + '\0' + "SEQNUM=4711" + '\0';
}

// The messages a socket holds now, read without waiting, one after the other.
QByteArray pending(int fd)
{
    QByteArray messages;
    char buffer[8192];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
        messages.append(buffer, n);
    return messages;
}

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
        monitor.followBlockEvents(true);
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
        QTRY_VERIFY_WITH_TIMEOUT(arrived.count() > 0 && changed.count() > 0, testsupport::kPatience);
        QCOMPARE(arrivals.repeats, 0);
        QCOMPARE(changes.repeats, 0);

        changed.clear();
        QVERIFY(run("umount", {"--", b}).succeeded());
        undo.mounts.removeAll(b);
        QTRY_VERIFY_WITH_TIMEOUT(removed.count() > 0 && changed.count() > 0, testsupport::kPatience);
    }

    // The kernel-side filter, through a datagram socket pair: every block
    // event passes, whatever its action and wherever the header's NUL falls in
    // a word; events of other subsystems are dropped; what is not laid out as
    // the kernel's events passes, for libudev to judge.
    void kernelEventFilter()
    {
        int pair[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) == 0);
        const auto closePair = qScopeGuard([&] { ::close(pair[0]), ::close(pair[1]); });
        QVERIFY(DeviceMonitor::passOnlyBlockEvents(pair[1]));

        std::vector<std::pair<QByteArray, bool>> cases;
        for (const char *action : {"add", "remove", "change", "move", "online", "offline", "bind", "unbind"}) {
            for (const char *device : {"loop1", "loop12", "loop123", "loop1234"}) {
                const QByteArray path = QByteArray("/devices/virtual/block/") + device;
                cases.push_back({uevent(action, path, "block"), true});
                cases.push_back({uevent(action, path, "mem"), false});
            }
        }
        const QByteArray longPath = "/devices/virtual/" + QByteArray(400, 'x');
        cases.insert(cases.end(), {
            {uevent("add", "/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1.4/2-1.4.3/2-1.4.3:1.0/host7/target7:0:0/"
                           "7:0:0:0/block/sdc/sdc1", "block"), true},
            {uevent("add", "/devices/virtual/net/veth0/queues/rx-0", "queues"), false},
            {uevent("add", "/devices/virtual/bdi/7:0", "bdi"), false},
            {uevent("change", "/devices/virtual/block/loop0", "blocks"), false},
            {uevent("change", "/devices/virtual/block/loop0", "bloc"), false},
            {uevent("change", "/devices/virtual/block/loop0", "blank"), false},
            // Headers longer than the filter looks through, and messages of another layout.
            {uevent("add", longPath, "block"), true},
            {uevent("add", longPath, "mem"), true},
            {QByteArray("add@/x\0SUBSYSTEM=mem\0ACTION=add\0DEVPATH=/x\0", 44), true},
            {uevent("change", "/devices/virtual/mem/null", "mem").left(47), true},
            {QByteArray("libudev\0\xfe\xed\xca\xfe", 12) + QByteArray(40, '\0'), true},
        });
        for (const auto &[message, passes] : cases) {
            QCOMPARE(::send(pair[0], message.constData(), size_t(message.size()), 0), ssize_t(message.size()));
            QVERIFY2(pending(pair[1]) == (passes ? message : QByteArray()),
                     qPrintable(QString::fromLatin1(QByteArray(message).replace('\0', '|'))));
        }
    }

    void foreignKernelEventsNeverArrive_data()
    {
        QTest::addColumn<uid_t>("account");
        QTest::newRow("root") << uid_t(0);
        QTest::newRow("an ordinary account") << uid_t(65534);
    }

    // The kernel's own events: one of another subsystem never reaches a
    // filtered socket, a loop device's does, and both reach one without the
    // filter; the sockets opened as root or as an ordinary account (this
    // thread alone takes its uid, as the app's user has it).
    void foreignKernelEventsNeverArrive()
    {
        QFETCH(uid_t, account);
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Ext4, 16, QStringLiteral("FILTER"));
        if (!image)
            QSKIP(qPrintable(fx.lastError()));
        int sockets[2] = {-1, -1};   // without and with the filter
        const auto closeSockets = qScopeGuard([&] { ::close(sockets[0]), ::close(sockets[1]); });
        // The raw call changes this thread's effective uid only (glibc's changes every thread's).
        QCOMPARE(::syscall(SYS_setresuid, -1, account, -1), 0L);
        bool bound = true;
        for (int &fd : sockets) {
            fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
            sockaddr_nl address{};
            address.nl_family = AF_NETLINK;
            address.nl_groups = 1;   // the kernel's events
            bound = bound && fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        }
        const bool filtered = bound && DeviceMonitor::passOnlyBlockEvents(sockets[1]);
        QCOMPARE(::syscall(SYS_setresuid, -1, 0, -1), 0L);
        if (!bound)
            QSKIP("no kernel device events here for this account");
        QVERIFY(filtered);

        // The kernel has sent both events by the time the write and the attach return.
        const QByteArray uuid = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        QFile trigger("/sys/class/mem/null/uevent");
        if (!trigger.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || trigger.write("change " + uuid) < 0)
            QSKIP("cannot make a device event of /dev/null");
        const auto loop = fx.attachLoop(*image);
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));
        const QByteArray loopPath = "/block/" + QFileInfo(*loop).fileName().toLatin1() + '\0';
        const QByteArray heard = pending(sockets[0]), heardFiltered = pending(sockets[1]);
        QVERIFY(heard.contains(uuid) && heard.contains(loopPath));
        QVERIFY(heardFiltered.contains(loopPath) && !heardFiltered.contains(uuid));
    }

    // Once its owner says which devices it lists, a block event of a device
    // neither listed nor removable (a loop device attached to nothing, whose
    // "change" would tell of media gone) is let go on the monitor's thread,
    // and that of a listed one (a loop device with media) comes through. The
    // kernel sends them in that order, so had the first come through it would
    // be told by the time the second is.
    void onlyListedOrRemovableDevicesWake()
    {
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        MountFixture fx;
        const auto image = fx.makeImage(MountFixture::Kind::Ext4, 16, QStringLiteral("LISTED"));
        const auto listed = image ? fx.attachLoop(*image) : std::nullopt;
        if (!listed)
            QSKIP(qPrintable(fx.lastError()));
        const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        const int unattached = control >= 0 ? ::ioctl(control, LOOP_CTL_GET_FREE) : -1;
        if (control >= 0)
            ::close(control);
        if (unattached < 0)
            QSKIP("no loop device free here");
        DeviceMonitor monitor;
        QVERIFY(monitor.start());
        if (!monitor.hasUdevMonitor())
            QSKIP("no block device events on this machine");
        const QString listedName = QFileInfo(*listed).fileName();
        monitor.setListedDevices({listedName});
        QSignalSpy arrived(&monitor, &DeviceMonitor::mediaArrived);
        QSignalSpy removed(&monitor, &DeviceMonitor::mediaRemoved);
        monitor.followBlockEvents(true);

        for (const QString &name : {QStringLiteral("loop%1").arg(unattached), listedName}) {
            QFile trigger("/sys/class/block/" + name + "/uevent");
            QVERIFY2(trigger.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && trigger.write("change") > 0,
                     qPrintable(name));
        }
        QTRY_VERIFY_WITH_TIMEOUT(arrived.count() > 0, testsupport::kPatience);
        QCOMPARE(removed.count(), 0);
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
        // While nobody wants them the events are let go unread (and tell of
        // nothing); reading goes on as before once someone does, and stops
        // again once nobody does.
        QSignalSpy arrived(&monitor, &DeviceMonitor::mediaArrived);
        QSignalSpy removed(&monitor, &DeviceMonitor::mediaRemoved);
        const auto unheard = [&] {
            if (const auto loop = fx.attachLoop(*image)) {
                QTest::qWait(100);
                QVERIFY(fx.detachLoop(*loop));
                QTest::qWait(200);
            }
            QCOMPARE(arrived.count() + removed.count(), 0);
        };
        unheard();
        monitor.followBlockEvents(true);

        const auto loop = fx.attachLoop(*image);
        if (!loop)
            QSKIP(qPrintable(fx.lastError()));
        QTRY_VERIFY_WITH_TIMEOUT(arrived.count() > 0, testsupport::kPatience);
        arrived.clear();
        const auto point = fx.mountExt4(*loop, fx.mountRoot() + QStringLiteral("/loop"));
        if (!point)
            QSKIP(qPrintable(fx.lastError()));
        QTRY_VERIFY_WITH_TIMEOUT(arrived.count() > 0, testsupport::kPatience);

        removed.clear();
        QVERIFY(fx.unmount(*point));
        QTRY_VERIFY_WITH_TIMEOUT(removed.count() > 0, testsupport::kPatience);
        // A detached loop device stays, emptied: the kernel reports a "change".
        removed.clear();
        QVERIFY(fx.detachLoop(*loop));
        QTRY_VERIFY_WITH_TIMEOUT(removed.count() > 0, testsupport::kPatience);

        monitor.followBlockEvents(false);
        QTest::qWait(200);
        arrived.clear();
        removed.clear();
        unheard();
    }
};

SWEEPBROOK_TEST_MAIN(TestDeviceMonitor)
#include "test_device_monitor.moc"
