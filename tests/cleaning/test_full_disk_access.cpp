#include "cleaning/SystemCleanHelper.h"
#include "platform/Scheduler.h"
#include "SilentBus.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>

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

    SystemCleanHelper::ProbeEnvironment environment()
    {
        SystemCleanHelper::ProbeEnvironment env;
        env.isRoot = [this] { return root.load(); };
        env.polkitAuthorityAnswers = [this] { ++polkitAsked; return polkit.load(); };
        env.pkexecPath = pkexec;
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
        testsupport::SilentBus silent(m_dir.filePath("silent-bus"));
        QVERIFY(silent.isListening());
        const QByteArray addresses[] = {silent.address().toUtf8(),
                                        "unix:path=" + QFile::encodeName(m_dir.filePath("no-bus"))};
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
