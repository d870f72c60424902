// Quitting the real app, in a process of its own (app_probe), while it cleans
// thousands of files on a real FAT32 stick (fusefat on a loop device): the
// window stays and says it is finishing, the clean stops at the next item
// boundary, what it removed is recorded, and the process exits. Also with
// the stick's daemon stopped (SIGSTOP): the clean is given up within the
// time limit, what is known removed is recorded, and the process ends
// without waiting for the thread that the stopped daemon holds. And with
// the settings' folder refusing the record: the app asks before it ends.

#include "history/HistoryStore.h"
#include "localization/Localization.h"
#include "platform/Preferences.h"

#include "ConfigFolder.h"
#include "HeldReader.h"
#include "StickApp.h"
#include "TestMain.h"
#include "ToolRun.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>

#include <csignal>

using namespace std::chrono_literals;

namespace {

using testsupport::ConfigFolder;
using testsupport::JunkTree;

constexpr int kLimitMs = 2000;   // the volume time limit the probe's app runs with
// The limit while dot_clean is held on purpose: longer than the test waits.
constexpr int kHeldLimitMs = 120000;

// The probe's app on one stick, and what it says.
struct Probe
{
    QProcess process;
    QStringList said;

    void start(const QStringList &args)
    {
        process.setStandardOutputFile(QProcess::nullDevice());   // the app's diagnostics
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] {
            said += QString::fromUtf8(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
        });
        process.start(QStringLiteral(SWEEPBROOK_APP_PROBE), args);
    }
    // The first line it said that starts with `prefix`; empty when none came in time.
    QString waitFor(const QString &prefix, int ms)
    {
        QString found;
        (void)QTest::qWaitFor([&] {
            for (const QString &line : std::as_const(said)) {
                if (line.startsWith(prefix))
                    found = line;
            }
            return !found.isEmpty() || process.state() == QProcess::NotRunning;
        }, ms);
        return found;
    }
    // Has its main thread ended (the process gone, or only threads held in
    // the kernel left behind its exit)?
    bool mainThreadEnded() const
    {
        if (process.state() == QProcess::NotRunning)
            return true;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray text = stat.readAll();
        return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
    }
    ~Probe()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
};

struct QuitRig
{
    MountFixture fx;
    QTemporaryDir dir;
    JunkTree junk;
    QString point;
    pid_t daemon = 0;
    Probe probe;

    explicit QuitRig(const QString &pattern) : junk(40, 60, pattern) {}

    // `stopAfter`: the probe stops the stick's daemon inside its removal of
    // that many files. `dotClean`: the dot_clean it runs (our own by
    // default), `limitMs` the app's volume time limit.
    QString start(const QString &name, int stopAfter = 0, const QString &dotClean = {}, int limitMs = kLimitMs)
    {
        point = fx.mountRoot() + u'/' + name;
        if (!fx.mountNewFat32With(junk.staging.path(), point, 64, name))
            return fx.lastError();
        daemon = MountFixture::fuseDaemon(point);
        const QString mountInfo = dir.filePath(QStringLiteral("mountinfo"));
        if (daemon <= 0 || !MountFixture::writeMountInfoOf(point, mountInfo))
            return QStringLiteral("no daemon, or no mount table");
        QStringList args{mountInfo, preferencesPath(),
                         dotClean.isEmpty() ? testsupport::trustedCopyOf(QStringLiteral(SWEEPBROOK_DOT_CLEAN)) : dotClean,
                         QString::number(limitMs), point};
        if (stopAfter > 0)
            args << QString::number(daemon) << QString::number(stopAfter);
        probe.start(args);
        if (probe.waitFor(QStringLiteral("cleaning"), 60000).isEmpty())
            return QStringLiteral("the probe did not start its clean: ") + probe.said.join(QStringLiteral(" / "));
        return {};
    }
    // start() with dot_clean held right after its 300th answer, so the
    // clean is under way whatever the machine's speed: the held tool
    // (`held`), continued when the rig ends.
    QString startHeld(const QString &name)
    {
        const QString dotClean = testsupport::signalledAfterAnswers(QStringLiteral(SWEEPBROOK_DOT_CLEAN),
                                                                    QStringLiteral(SWEEPBROOK_ANSWER_HOOK), 300, "STOP");
        if (const QString why = start(name, 0, dotClean, kHeldLimitMs); !why.isEmpty())
            return why;
        if (!QTest::qWaitFor([&] { return (held = testsupport::stoppedChild(pid_t(probe.process.processId()))) > 0; },
                             testsupport::kPatience))
            return QStringLiteral("dot_clean was not held after its 300th answer");
        return {};
    }
    pid_t held = 0;
    ~QuitRig()
    {
        if (held > 0)
            ::kill(held, SIGCONT);
    }

    QString preferencesFile;   // empty: one in dir
    QString preferencesPath() const
    {
        return preferencesFile.isEmpty() ? dir.filePath(QStringLiteral("preferences.json")) : preferencesFile;
    }

    // Closes the window (its close button, or the Quit command's Ctrl+Q); the line it said about finishing.
    QString close(const QByteArray &how = "close")
    {
        probe.process.write(how + "\n");
        return probe.waitFor(QStringLiteral("finishing: "), 2 * testsupport::kPatience);   // it may wait for a sheet
    }

    QList<CleanHistory> history() const
    {
        Preferences preferences(preferencesPath());
        return HistoryStore(preferences).load();
    }
};

// Whether `signal` waits for `pid` (held, it takes none in).
bool signalPending(pid_t pid, int signal)
{
    const QByteArray status = testsupport::readFile("/proc/" + QByteArray::number(pid) + "/status");
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith("SigPnd:") || line.startsWith("ShdPnd:")) {
            if (line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ULL << (signal - 1)))
                return true;
        }
    }
    return false;
}

QString finishingLine()
{
    return QStringLiteral("finishing: ") + localized(QStringLiteral("finishing_title")) + QStringLiteral(" | ")
           + localized(QStringLiteral("finishing_message"));
}

} // namespace

Q_DECLARE_METATYPE(ConfigFolder::State)

class TestAppQuit : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
    }

    // Closed 300 files into a clean of 2,440, by the window's close button or
    // by the Quit command (Ctrl+Q, in the window or in a sheet over it), which
    // takes the same way: the record is exactly what the disk lost, and the
    // process exits by itself. dot_clean holds still right after its 300th
    // answer until the window has closed, so the clean cannot run to its end
    // first (a close that followed the window's "10 %" came, on a loaded
    // machine, ever later), and stops at its next item once it goes on.
    void quitDuringClean_data()
    {
        QTest::addColumn<QByteArray>("how");
        QTest::newRow("close button") << QByteArray("close");
        QTest::newRow("Ctrl+Q") << QByteArray("quit");
        QTest::newRow("Ctrl+Q in the settings sheet") << QByteArray("quit settings");
        QTest::newRow("Ctrl+Q in the history sheet") << QByteArray("quit history");
    }

    void quitDuringClean()
    {
        QFETCH(QByteArray, how);
        QuitRig rig(QStringLiteral("._IMG_%1.JPG"));
        if (const QString why = rig.startHeld(QStringLiteral("QUIT")); !why.isEmpty())
            QFAIL(qPrintable(why));
        const pid_t tool = rig.held;
        QCOMPARE(rig.close(how), finishingLine());
        // The window asked it to stop (SIGTERM, pending while it is held).
        QVERIFY(QTest::qWaitFor([&] { return signalPending(tool, SIGTERM); }, testsupport::kPatience));
        ::kill(tool, SIGCONT);
        QVERIFY2(rig.probe.process.waitForFinished(30000), qPrintable(rig.probe.said.join(u'\n')));
        QCOMPARE(rig.probe.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(rig.probe.process.exitCode(), 0);

        const QStringList gone = rig.junk.goneFrom(rig.point);
        QCOMPARE(gone.size(), 300);
        const QList<CleanHistory> history = rig.history();
        QCOMPARE(history.size(), 1);
        QCOMPARE(history[0].cleanedFileCount, gone.size());
        QCOMPARE(testsupport::recordedPaths(history[0], rig.point), gone);
        QCOMPARE(history[0].freedSpace, rig.junk.bytesOf(gone));
        qInfo("%lld of %lld removed when the window closed; recorded %lld", qint64(gone.size()),
              qint64(rig.junk.paths.size()), qint64(history[0].cleanedFileCount));
    }

    // Quit during a clean while the settings' folder takes no file (a tmpfs
    // of the test's own, read-only or full; root ignores mode bits): the
    // clean stops, and before the app ends it asks, naming the history, its
    // file and the folder's state. Tried again while the folder still
    // refuses, it asks again; then, the folder freed, the record is written
    // and the app ends, or the user quits without it.
    void quitWithTheRecordUnsaved_data()
    {
        QTest::addColumn<ConfigFolder::State>("state");
        QTest::addColumn<bool>("freed");
        QTest::newRow("read-only, freed and tried again") << ConfigFolder::State::readOnly << true;
        QTest::newRow("full, quit anyway") << ConfigFolder::State::full << false;
    }

    void quitWithTheRecordUnsaved()
    {
        QFETCH(ConfigFolder::State, state);
        QFETCH(bool, freed);
        QuitRig rig(QStringLiteral("._IMG_%1.JPG"));
        const ConfigFolder folder(rig.dir.filePath(QStringLiteral("config")), "8m");   // room for a record of 2,440 files
        if (!folder.mounted)
            QSKIP("a folder that refuses root's writes needs a tmpfs of the test's own");
        rig.preferencesFile = folder.file();
        if (const QString why = rig.startHeld(QStringLiteral("UNSAVED")); !why.isEmpty())
            QFAIL(qPrintable(why));
        const pid_t tool = rig.held;
        QVERIFY(folder.set(state));
        QCOMPARE(rig.close("quit"), finishingLine());
        QVERIFY(QTest::qWaitFor([&] { return signalPending(tool, SIGTERM); }, testsupport::kPatience));
        ::kill(tool, SIGCONT);

        const QString question = QStringLiteral("asked: ") + localized(QStringLiteral("history_write_failed_title"))
                                 + QStringLiteral(" | ")
                                 + QString(format(localized(QStringLiteral("history_unsaved_at_quit_message")), folder.file())
                                           + QStringLiteral("\n\n") + folder.told(state) + QStringLiteral("\n\n")
                                           + localized(QStringLiteral("unsaved_at_quit_advice")))
                                       .replace(u'\n', QStringLiteral("\\n"));
        QCOMPARE(rig.probe.waitFor(QStringLiteral("asked: "), 30000), question);
        rig.probe.said.clear();
        rig.probe.process.write("answer 1\n");   // Try Again, the folder as it was
        QCOMPARE(rig.probe.waitFor(QStringLiteral("asked: "), 10000), question);
        QVERIFY(rig.probe.process.state() == QProcess::Running);
        QVERIFY(!freed || folder.set(ConfigFolder::State::writable));
        rig.probe.process.write(freed ? "answer 1\n" : "answer 2\n");
        QVERIFY2(rig.probe.process.waitForFinished(30000), qPrintable(rig.probe.said.join(u'\n')));
        QCOMPARE(rig.probe.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(rig.probe.process.exitCode(), 0);

        const QStringList gone = rig.junk.goneFrom(rig.point);
        QVERIFY(!gone.isEmpty());
        const QList<CleanHistory> history = rig.history();
        if (!freed) {
            QVERIFY(history.isEmpty());   // lost, as the user was told
            return;
        }
        QCOMPARE(history.size(), 1);
        QCOMPARE(testsupport::recordedPaths(history[0], rig.point), gone);
    }

    // The same with the daemon stopped under a clean of files removed one
    // by one (stopped inside the clean's 300th removal, so the clean cannot
    // have ended before): within the time limit the process has ended (only
    // the thread the daemon holds in the kernel outlives its exit); once the
    // daemon goes on, it is gone with status 0. The record holds nothing that
    // is not gone; at most the one item the daemon held goes unrecorded.
    void quitWithStoppedDaemon()
    {
        QuitRig rig(QStringLiteral("~IMG_%1.tmp"));
        testsupport::ContinueOnExit resume;
        const QString why = rig.start(QStringLiteral("QUITHUNG"), 300);
        resume.daemon = rig.daemon;
        if (!why.isEmpty())
            QFAIL(qPrintable(why));
        QVERIFY2(!rig.probe.waitFor(QStringLiteral("daemon stopped"), 60000).isEmpty(),
                 qPrintable(rig.probe.said.join(u'\n')));

        QElapsedTimer clock;
        clock.start();
        QVERIFY2(rig.close() == finishingLine(), qPrintable(rig.probe.said.join(u'\n')));
        QVERIFY2(QTest::qWaitFor([&] { return rig.probe.mainThreadEnded(); }, kLimitMs + 5000),
                 qPrintable(rig.probe.said.join(u'\n')));
        qInfo("the probe's main thread ended %lld ms after the close", clock.elapsed());
        // It left through the exit that waits for no thread held in the stick.
        QVERIFY(rig.probe.said.contains(QStringLiteral("event loop ended")));
        QVERIFY(!rig.probe.said.contains(QStringLiteral("leaving")));
        ::kill(rig.daemon, SIGCONT);
        // Ended already when nothing of it waited inside the daemon.
        QVERIFY(rig.probe.process.state() == QProcess::NotRunning || rig.probe.process.waitForFinished(20000));
        QCOMPARE(rig.probe.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(rig.probe.process.exitCode(), 0);

        // Its removals ended with it (a thread ends only once the daemon answered it).
        const QStringList gone = rig.junk.goneFrom(rig.point);
        const QList<CleanHistory> history = rig.history();
        QCOMPARE(history.size(), 1);
        const QStringList recorded = testsupport::recordedPaths(history[0], rig.point);
        const QSet<QString> goneSet(gone.cbegin(), gone.cend());
        for (const QString &path : recorded)
            QVERIFY2(goneSet.contains(path), qPrintable(path + QStringLiteral(" is recorded but still there")));
        QVERIFY2(gone.size() - recorded.size() <= 1,
                 qPrintable(QStringLiteral("%1 gone, %2 recorded").arg(gone.size()).arg(recorded.size())));
        QCOMPARE(history[0].freedSpace, rig.junk.bytesOf(recorded));
        QVERIFY(gone.size() < rig.junk.paths.size());
        qInfo("%lld of %lld gone; recorded %lld", qint64(gone.size()), qint64(rig.junk.paths.size()),
              qint64(recorded.size()));
    }
};

SWEEPBROOK_TEST_MAIN(TestAppQuit)
#include "test_app_quit.moc"
