#include "cleaning/SystemCleanHelper.h"
#include "platform/Scheduler.h"
#include "StdoutCapture.h"
#include "TestMain.h"

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
        env.polkitAuthorityAnswers = [this] {
            ++polkitAsked;
            return polkit.load();
        };
        env.pkexecPath = pkexec;
        return env;
    }
};

QString makeFile(const QTemporaryDir &dir, const QString &name, QFile::Permissions permissions)
{
    QFile file(dir.filePath(name));
    const bool ok = file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n") > 0 && file.setPermissions(permissions);
    return ok ? file.fileName() : QString();
}

} // namespace

class TestFullDiskAccess : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_executable;
    QString m_notExecutable;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_executable = makeFile(m_dir, QStringLiteral("pkexec"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_notExecutable = makeFile(m_dir, QStringLiteral("pkexec-plain"), QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(!m_executable.isEmpty() && !m_notExecutable.isEmpty());
    }

    void probeAnswers_data()
    {
        QTest::addColumn<bool>("root");
        QTest::addColumn<QString>("pkexec");
        QTest::addColumn<bool>("polkit");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<bool>("asksPolkit");
        QTest::addColumn<QString>("verdictLine");

        const QString root = QStringLiteral("SystemCleanHelper: Full Disk Access detected - running as root");
        const QString both = QStringLiteral("SystemCleanHelper: Full Disk Access detected - pkexec and a polkit authority are available");
        const QString none = QStringLiteral("SystemCleanHelper: No Full Disk Access - pkexec or polkit is not available");
        const QString missing = m_dir.filePath(QStringLiteral("no-such-pkexec"));

        // Root needs neither pkexec nor polkit.
        QTest::newRow("root") << true << missing << false << true << false << root;
        QTest::newRow("pkexec and polkit") << false << m_executable << true << true << true << both;
        // Without pkexec the bus is not even asked.
        QTest::newRow("pkexec missing") << false << missing << true << false << false << none;
        QTest::newRow("pkexec not executable") << false << m_notExecutable << true << false << false << none;
        QTest::newRow("polkit silent") << false << m_executable << false << false << true << none;
    }

    void probeAnswers()
    {
        QFETCH(bool, root);
        QFETCH(QString, pkexec);
        QFETCH(bool, polkit);
        QFETCH(bool, expected);
        QFETCH(bool, asksPolkit);
        QFETCH(QString, verdictLine);

        FakeSystem system;
        system.root = root;
        system.polkit = polkit;
        system.pkexec = pkexec;
        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, system.environment());

        StdoutCapture capture;
        const bool answer = helper.checkFullDiskAccess();
        const QStringList lines = capture.lines();   // restores stdout before any failure is printed
        QCOMPARE(answer, expected);
        QCOMPARE(system.polkitAsked.load() > 0, asksPolkit);
        QVERIFY2(lines.contains(verdictLine), qPrintable(lines.join(u'\n')));
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

    // The real polkit question must give up, not hang, when there is no system
    // bus (a hang fails the run at the test's time limit).
    void defaultPolkitProbeWithoutBus()
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QFile::encodeName(m_dir.filePath(QStringLiteral("no-bus"))));
        SystemCleanHelper::ProbeEnvironment env;
        env.isRoot = [] { return false; };
        env.pkexecPath = m_executable;
        VirtualScheduler scheduler;
        SystemCleanHelper helper(scheduler, env);
        QVERIFY(!helper.checkFullDiskAccess());
    }
};

SWEEPBROOK_TEST_MAIN(TestFullDiskAccess)
#include "test_full_disk_access.moc"
