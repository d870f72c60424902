#pragma once

// The system daemons a desktop runs, started by a test: systemd-udevd, a
// system bus (dbus-daemon) and udisksd. They run in the test's own mount
// namespace, where /run/udev, /dev/disk, /dev/block and /dev/char get a tmpfs
// of their own: udev's database and links, and what udisksd mounts, go when
// the test ends, and tests running alongside never see them. They run in the
// test's PID namespace too (TestGuard.h), so they end with it however it
// ends. What does reach the machine: the owners and modes udev's rules give
// a few device nodes (/dev/kvm, /dev/loop-control), as on any machine with udev.
//
//     SystemDaemons daemons;                     // in initTestCase, before any thread
//     if (const QString why = daemons.startAll(); !why.isEmpty())
//         ...QSKIP(why) in the tests that need them
//
// Each start* answers empty when the daemon runs, else why it does not.

#include "TestGuard.h"

#include "platform/ProcessRunner.h"
#include "platform/Volumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace testsupport {

class SystemDaemons
{
public:
    static inline const QString udevd = QStringLiteral("/lib/systemd/systemd-udevd");
    static inline const QString udisksd = QStringLiteral("/usr/libexec/udisks2/udisksd");

    ~SystemDaemons()
    {
        stop(m_udisksd);
        stop(m_bus);
        stop(m_udevd);
        for (qsizetype i = 0; i < m_hidden.size(); ++i) {
            const QByteArray folder = QFile::encodeName(m_hidden[i]);
            ::umount2(folder.constData(), MNT_DETACH);
            releaseFolder(folder, m_held[i]);
        }
    }

    // Mounts made from now on stay in this process's own namespace. Call it
    // while the test has no other thread: threads started earlier stay outside.
    QString enterPrivateMountNamespace()
    {
        if (m_inNamespace)
            return {};
        if (geteuid() != 0)
            return QStringLiteral("a mount namespace of the test's own needs root");
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return "cannot make a private mount namespace: " + qt_error_string(errno);
        m_inNamespace = true;
        return {};
    }

    // udevd, unless one runs already (then its database is the machine's).
    QString startUdevd()
    {
        if (udevRuns())
            return {};
        if (m_udevd.state() != QProcess::NotRunning)
            return QStringLiteral("the test's udevd is running but did not create /run/udev/control");
        if (const QString why = enterPrivateMountNamespace(); !why.isEmpty())
            return "udevd is not running and cannot be started for the test: " + why;
        if (!QFileInfo(udevd).isExecutable() || findTool(QStringLiteral("udevadm")).isEmpty())
            return QStringLiteral("udevd is not running and systemd-udevd / udevadm are not installed");
        for (const QString &folder : QStringList{"/run/udev", "/dev/disk", "/dev/block", "/dev/char"}) {
            if (const QString why = hide(folder); !why.isEmpty())
                return why;
        }
        m_udevd.setStandardOutputFile(QProcess::nullDevice());
        m_udevd.setStandardErrorFile(QProcess::nullDevice());
        m_udevd.start(udevd, {});
        if (!m_udevd.waitForStarted(10000))
            return "udevd did not start: " + m_udevd.errorString();
        for (int i = 0; i < 100 && !udevRuns(); ++i)
            QThread::msleep(100);
        if (!udevRuns())
            return QStringLiteral("udevd started but did not open its control socket within 10 s");
        return {};
    }

    // Makes sure udev's database knows the file system on the block device
    // `devNode`, as a desktop's does once udevd has seen the device: with a
    // udevd of the test's own when none runs. Empty when it does, else why not.
    QString recordFileSystem(const QString &devNode)
    {
        // A record with no udevd to keep it is stale (a device used before).
        if (udevRuns() && udevRecord(devNode).contains("E:ID_FS_TYPE="))
            return {};
        if (const QString why = startUdevd(); !why.isEmpty())
            return why;
        ProcessRequest trigger;
        trigger.program = findTool(QStringLiteral("udevadm"));
        trigger.arguments = {QStringLiteral("trigger"), QStringLiteral("--action=change"), QStringLiteral("--settle"),
                             "/sys/class/block/" + QFileInfo(devNode).fileName()};
        trigger.timeout = std::chrono::seconds(60);
        const ProcessResult triggered = runProcess(trigger);
        if (!triggered.succeeded())
            return "udevadm trigger failed: " + QString::fromLocal8Bit(triggered.standardError);
        if (!udevRecord(devNode).contains("E:ID_FS_TYPE="))
            return "udev recorded no file system for " + devNode;
        return {};
    }

    // What udev's database records for a device node ("E:ID_FS_TYPE=..." lines and so on).
    static QByteArray udevRecord(const QString &devNode)
    {
        struct stat st = {};
        if (::stat(QFile::encodeName(devNode).constData(), &st) != 0)
            return {};
        QFile record(QStringLiteral("/run/udev/data/b%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
        return record.open(QIODevice::ReadOnly) ? record.readAll() : QByteArray();
    }

    // Waits until udevd has handled every event so far (a new loop device, a new file system).
    static QString settleUdev()
    {
        ProcessRequest request;
        request.program = findTool(QStringLiteral("udevadm"));
        request.arguments = {QStringLiteral("settle"), QStringLiteral("--timeout=30")};
        request.timeout = std::chrono::seconds(40);
        const ProcessResult result = runProcess(request);
        return result.succeeded() ? QString() : "udevadm settle failed: " + QString::fromLocal8Bit(result.standardError);
    }

    // A system bus that lets everyone own and call anything, found through
    // DBUS_SYSTEM_BUS_ADDRESS from now on.
    QString startBus()
    {
        if (!m_address.isEmpty())
            return {};
        if (!m_dir.isValid())
            return QStringLiteral("cannot make a temporary folder for the bus");
        if (findTool(QStringLiteral("dbus-daemon")).isEmpty())
            return QStringLiteral("dbus-daemon is not installed");
        const QString config = m_dir.path() + QStringLiteral("/bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return "cannot write " + config;
        file.write("<busconfig><type>system</type><listen>unix:path="
                   + QFile::encodeName(socketPath(QStringLiteral("bus"))) + "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                     "<allow user=\"*\"/><allow own=\"*\"/><allow send_type=\"method_call\"/>"
                     "<allow send_requested_reply=\"true\"/><allow receive_type=\"method_call\"/>"
                     "<allow receive_type=\"method_return\"/><allow receive_type=\"error\"/>"
                     "<allow receive_type=\"signal\"/></policy></busconfig>\n");
        file.close();
        m_bus.start(QStringLiteral("dbus-daemon"), {"--config-file=" + config, "--print-address", "--nofork"});
        if (!m_bus.waitForStarted(10000))
            return "dbus-daemon did not start: " + m_bus.errorString();
        while (!m_bus.canReadLine() && m_bus.waitForReadyRead(10000)) {
        }
        m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
        if (m_address.isEmpty())
            return QStringLiteral("dbus-daemon printed no address");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
        return {};
    }

    QString busAddress() const { return m_address; }

    // udisksd on the bus; it learns of devices from udev's database.
    QString startUdisksd()
    {
        if (m_udisksd.state() != QProcess::NotRunning)
            return {};
        if (!QFileInfo(udisksd).isExecutable())
            return QStringLiteral("udisksd is not installed");
        if (const QString why = startBus(); !why.isEmpty())
            return why;
        // Its record of what it mounted and the folders it mounts on are its
        // own: another udisksd (a test alongside) that found our mount in a
        // shared record would "clean up" its folder and so detach it here.
        if (const QString why = enterPrivateMountNamespace(); !why.isEmpty())
            return "udisksd needs folders of its own: " + why;
        for (const QString &folder : QStringList{"/run/udisks2", "/media", "/run/media"}) {
            if (const QString why = hide(folder); !why.isEmpty())
                return why;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        m_udisksd.setProcessEnvironment(env);
        m_udisksd.setStandardOutputFile(QProcess::nullDevice());
        m_udisksd.setStandardErrorFile(m_dir.path() + QStringLiteral("/udisksd.log"));
        m_udisksd.start(udisksd, {});
        if (!m_udisksd.waitForStarted(10000))
            return "udisksd did not start: " + m_udisksd.errorString();
        // Up once it owns its name on the bus.
        ProcessRequest owned;
        owned.program = findTool(QStringLiteral("dbus-send"));
        owned.arguments = {"--bus=" + m_address, QStringLiteral("--print-reply"), QStringLiteral("--dest=org.freedesktop.DBus"),
                           QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                           QStringLiteral("string:org.freedesktop.UDisks2")};
        owned.timeout = std::chrono::seconds(10);
        if (owned.program.isEmpty())
            return QStringLiteral("dbus-send is not installed");
        for (int i = 0; i < 300; ++i) {
            if (m_udisksd.state() == QProcess::NotRunning)
                return QStringLiteral("udisksd ended at start (exit %1)").arg(m_udisksd.exitCode());
            if (runProcess(owned).standardOutput.contains("boolean true"))
                return {};
            QThread::msleep(100);
        }
        return QStringLiteral("udisksd did not take its name on the bus within 30 s");
    }

    // All three, in the order a desktop starts them.
    QString startAll()
    {
        for (const QString &why : {startUdevd(), startBus(), startUdisksd()}) {
            if (!why.isEmpty())
                return why;
        }
        return {};
    }

    // udisksctl on the test's bus, never asking for a password.
    ProcessResult udisksctl(QStringList arguments) const
    {
        ProcessRequest request;
        request.program = findTool(QStringLiteral("udisksctl"));
        if (arguments.value(0) != QLatin1String("status"))   // the one command without the option
            arguments << QStringLiteral("--no-user-interaction");
        request.arguments = arguments;
        request.environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        request.timeout = std::chrono::seconds(30);
        return runProcess(request);
    }

private:
    // A tmpfs of the test's own over `folder`, in its namespace only. A
    // folder the machine lacks is made, marked as made for tests, and removed
    // by the last test that held it (by the guard, should the test be killed).
    QString hide(const QString &folder)
    {
        if (m_hidden.contains(folder))
            return {};
        const QByteArray path = QFile::encodeName(folder);
        for (int attempt = 0;; ++attempt) {
            if (!QFileInfo::exists(folder)) {
                if (!QDir().mkpath(folder))
                    return "cannot create " + folder;
                guardRemovesIfMade(path);
            }
            const int held = holdFolder(path);
            if (held >= 0 && ::mount("sweepbrook-test", path.constData(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") == 0) {
                m_held << held;
                break;
            }
            const int error = errno;
            if (held >= 0)
                ::close(held);
            // A test alongside that made it may have removed it meanwhile.
            if (error != ENOENT || attempt == 3)
                return QStringLiteral("cannot mount a tmpfs on %1: %2").arg(folder, qt_error_string(error));
        }
        m_hidden << folder;
        return {};
    }

    static QString findTool(const QString &name)
    {
        for (const char *dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
            if (QFileInfo(QLatin1String(dir) + name).isExecutable())
                return QLatin1String(dir) + name;
        }
        return findExecutable(name);
    }

    static void stop(QProcess &process)
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QTemporaryDir m_dir;
    bool m_inNamespace = false;
    QProcess m_udevd;
    QProcess m_bus;
    QProcess m_udisksd;
    QString m_address;
    QStringList m_hidden;    // folders covered by a private tmpfs while our daemons run
    QList<int> m_held;       // each held (holdFolder) while it is covered
};

} // namespace testsupport
