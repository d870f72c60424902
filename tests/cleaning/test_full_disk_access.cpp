#include "cleaning/SystemCleanHelper.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "SilentBus.h"
#include "StdoutCapture.h"
#include "TestMain.h"
#include "ToolRun.h"

#include <QElapsedTimer>
#include <QDir>
#include <QTemporaryDir>

#include <atomic>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

using testsupport::StdoutCapture;

namespace {

// A probe environment whose answers the test sets.
struct FakeSystem
{
    std::atomic<bool> root{false};
    std::atomic<bool> polkit{false};
    std::atomic<int> polkitAsked{0};
    QString pkexec;
    QString tool;

    SystemCleanHelper::ProbeEnvironment environment()
    {
        SystemCleanHelper::ProbeEnvironment env;
        env.isRoot = [this] { return root.load(); };
        env.polkitAuthorityAnswers = [this] { ++polkitAsked; return polkit.load(); };
        env.pkexecPath = pkexec;
        env.adminTool = tool.isEmpty() ? findExecutable(QStringLiteral("true")) : tool;   // only root can change it
        return env;
    }
};

} // namespace

class TestFullDiskAccess : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString pkexecFile(const QString &name, QFile::Permissions permissions)
    {
        QFile file(m_dir.filePath(name));
        const bool ok = file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n") > 0 && file.setPermissions(permissions);
        return ok ? file.fileName() : QString();
    }

private slots:
    void probeAnswers()
    {
        const QString executable = pkexecFile("pkexec", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString notExecutable = pkexecFile("pkexec-plain", QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(!executable.isEmpty() && !notExecutable.isEmpty());
        const QString missing = m_dir.filePath("no-such-pkexec");
        const QString root = "SystemCleanHelper: Full Disk Access detected - running as root";
        const QString both = "SystemCleanHelper: Full Disk Access detected - pkexec and a polkit authority are available";
        const QString none = "SystemCleanHelper: No Full Disk Access - pkexec or polkit is not available";
        struct Row { bool root; QString pkexec; bool polkit, expected, asksPolkit; QString verdict; };
        const Row rows[] = {
            {true, missing, false, true, false, root},   // root needs neither pkexec nor polkit
            {false, executable, true, true, true, both},
            {false, missing, true, false, false, none},   // without pkexec the bus is not even asked
            {false, notExecutable, true, false, false, none},
            {false, executable, false, false, true, none},
        };
        for (const Row &row : rows) {
            FakeSystem system;
            system.root = row.root;
            system.polkit = row.polkit;
            system.pkexec = row.pkexec;
            VirtualScheduler scheduler;
            SystemCleanHelper helper(scheduler, system.environment());
            StdoutCapture capture;
            const bool answer = helper.checkFullDiskAccess();
            const QStringList lines = capture.lines();   // restores stdout before any failure is printed
            QVERIFY2(answer == row.expected && (system.polkitAsked > 0) == row.asksPolkit && lines.contains(row.verdict),
                     qPrintable(QStringLiteral("row %1 answered %2: %3").arg(&row - rows).arg(answer).arg(lines.join(u'\n'))));
        }
    }

    // Root runs only a tool that root alone can change: the tool and every
    // folder on the way to it, through links too, belong to root and may be
    // written by nobody else. Otherwise there is no access, even as root, and
    // the answer says which file or folder is at fault.
    void untrustedTools()
    {
        if (::geteuid() != 0)
            QSKIP("making files of other accounts needs root");
        // A folder only root may change.
        QTemporaryDir home(testsupport::trustedFolder() + QStringLiteral("/tools-XXXXXX"));
        QVERIFY(home.isValid() && QFile::setPermissions(home.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                        | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        const QByteArray base = QFile::encodeName(home.path());
        const QByteArray real = QFile::encodeName(findExecutable(QStringLiteral("true")));
        const auto copy = [&](const QByteArray &to) { return QFile::copy(QFile::decodeName(real), QFile::decodeName(to)); };
        QVERIFY(copy(base + "/trusted") && ::mkdir(base + "/open", 0777) == 0 && ::chmod(base + "/open", 0777) == 0
                && copy(base + "/open/tool") && copy(base + "/users") && ::chown(base + "/users", 65534, 65534) == 0
                && copy(base + "/group-writable") && ::chmod(base + "/group-writable", 0775) == 0
                && ::symlink(base + "/open/tool", base + "/link-to-open") == 0
                && ::symlink("trusted", base + "/link-to-trusted") == 0 && ::mkdir(base + "/folder", 0755) == 0);
        struct Row { QByteArray tool; QByteArray atFault; const char *why; };
        const Row rows[] = {
            {base + "/users", base + "/users", "does not belong to root"},
            {base + "/group-writable", base + "/group-writable", "can be changed by users other than root"},
            {base + "/open/tool", base + "/open", "can be changed by users other than root"},
            {base + "/link-to-open", base + "/open", "can be changed by users other than root"},
            {"/tmp/no-such-tool", "/tmp", "other than root"},   // the machine's, not the test's own below it
            {base + "/missing", base + "/missing", "is missing"},
            {base + "/folder", base + "/folder", "is not a program file"},
            {base + "/link-to-trusted", {}, nullptr},
            {base + "/trusted", {}, nullptr},
        };
        for (const Row &row : rows) {
            FakeSystem system;
            system.root = true;
            system.tool = QFile::decodeName(row.tool);
            VirtualScheduler scheduler;
            SystemCleanHelper helper(scheduler, system.environment());
            StdoutCapture capture;
            const bool answer = helper.checkFullDiskAccess();
            const QStringList lines = capture.lines();
            const QString problem = helper.privilegedAccessProblem().value_or(QString());
            const bool expected = row.why == nullptr;
            QVERIFY2(answer == expected && problem.isEmpty() == expected
                         && (expected || (problem.contains(QFile::decodeName(row.atFault) + u' ') && problem.contains(row.why))),
                     qPrintable(row.tool + ": " + problem + '\n' + lines.join(u'\n')));
        }
    }

    // The answer is kept for 30 seconds of the scheduler's clock, not one moment
    // longer; clearing the cache probes afresh.
    void cacheLastsThirtySeconds()
    {
        FakeSystem system;
        system.root = true;
        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, system.environment());
        QVERIFY(helper.checkFullDiskAccess());

        // The system changes; the cache does not notice within its lifetime.
        system.root = false;
        scheduler.advance(29s);
        StdoutCapture cachedLog;
        const bool cached = helper.checkFullDiskAccess();
        QCOMPARE(cachedLog.lines(), QStringList{QStringLiteral("SystemCleanHelper: Using cached Full Disk Access status: true")});
        QVERIFY(cached);
        QCOMPARE(helper.probeCount(), 1);

        // A cached answer does not renew the timestamp: 30 s after the probe it probes again.
        scheduler.advance(1s);
        QVERIFY(!helper.checkFullDiskAccess());
        QCOMPARE(helper.probeCount(), 2);

        // The fresh "false" is cached the same way, until the cache is cleared.
        system.root = true;
        scheduler.advance(29s);
        QVERIFY(!helper.checkFullDiskAccess());
        QCOMPARE(helper.probeCount(), 2);
        StdoutCapture clearLog;
        helper.clearFullDiskAccessCache();
        QCOMPARE(clearLog.lines(), QStringList{QStringLiteral("SystemCleanHelper: Full Disk Access cache cleared")});
        QVERIFY(helper.checkFullDiskAccess());
        QCOMPARE(helper.probeCount(), 3);
    }

    // The real polkit question gives up within its limit when there is no
    // system bus, or one that accepts and never answers.
    void defaultPolkitProbeWithoutBus()
    {
        testsupport::SilentBus silent;
        QVERIFY(silent.isListening());
        const QByteArray addresses[] = {silent.address().toUtf8(),
                                        "unix:path=" + QFile::encodeName(testsupport::socketPath("no-bus"))};
        for (const QByteArray &address : addresses) {
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
            SystemCleanHelper::ProbeEnvironment env;
            env.isRoot = [] { return false; };
            env.pkexecPath = pkexecFile("pkexec", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            auto scheduler = std::make_shared<VirtualScheduler>();
            auto helper = std::make_shared<SystemCleanHelper>(*scheduler, env);
            auto answer = std::make_shared<bool>(true);
            QElapsedTimer clock;
            clock.start();
            QVERIFY2(testsupport::finishesWithin([=] { *answer = helper->checkFullDiskAccess(); }, 15s),
                     address.constData());
            QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(!*answer);
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestFullDiskAccess)
#include "test_full_disk_access.moc"
