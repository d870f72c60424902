// The whole app on real FAT32 sticks (fusefat on loop devices), in real time
// under Xvfb, where a clean meets the user or the stick doing something
// unexpected: "Clean All" double-clicked (one clean, one record), the stick's
// FUSE daemon killed half-way through a clean (what the tools answered
// removed is recorded, and the window says how many went and stayed), the
// stick unmounted lazily half-way (the clean ends through what it holds, and
// the window, which lists the stick no more, says how it ended), and the
// daemon stopped (SIGSTOP) during a scan and during a clean (the window says
// the device stopped answering within the time limit, and records nothing
// that is not gone, nor leaves out what dot_clean answered though it was
// read only after the give-up). Every count shown and recorded is checked
// against the disk.

#include "localization/ByteCountFormat.h"
#include "localization/Localization.h"

#include "HeldReader.h"
#include "StickApp.h"
#include "TestMain.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QSet>

#include <csignal>

using namespace std::chrono_literals;

namespace {

using testsupport::ContinueOnExit;
using testsupport::JunkTree;
using testsupport::kPatience;
using testsupport::StickApp;

// A shortened limit, so a stopped daemon is given up on within the test.
constexpr auto kVolumeTimeout = 2000ms;
// The limit while dot_clean is held on purpose: longer than the test waits.
constexpr auto kHeldVolumeTimeout = 120s;

// Our dot_clean, held still (SIGSTOP) right after its `answers`-th answer: a
// clean cannot end before the test has done what it does half-way.
QString heldAfter(int answers)
{
    return testsupport::signalledAfterAnswers(QStringLiteral(SWEEPBROOK_DOT_CLEAN), QStringLiteral(SWEEPBROOK_ANSWER_HOOK),
                                              answers, "STOP");
}

// A stick with that junk, in the app, scanned: its results are listed.
struct ScannedStick
{
    StickApp rig;
    JunkTree junk;
    QString point;
    QString deviceID;
    pid_t daemon = 0;

    ScannedStick(int folders, int perFolder) : junk(folders, perFolder) {}

    // Empty when the stick is in the app and scanned; else why not.
    QString setUp(const QString &name, std::chrono::milliseconds volumeTimeout = kVolumeTimeout,
                  const QString &dotClean = {})
    {
        if (!rig.start(volumeTimeout, dotClean))
            return QStringLiteral("the app did not start");
        point = rig.insertWith(name, junk.staging.path());
        if (point.isEmpty())
            return rig.fx.lastError();
        daemon = MountFixture::fuseDaemon(point);
        if (daemon <= 0)
            return QStringLiteral("no FUSE daemon serves ") + point;
        if (!rig.scan(point))
            return QStringLiteral("the scan did not end");
        if (rig.listedItems() != junk.paths.size())
            return QStringLiteral("%1 items listed, %2 on the stick").arg(rig.listedItems()).arg(junk.paths.size());
        deviceID = rig.app->contentView().selectedDevice()->id;
        return {};
    }

    ContentView &view() const { return rig.app->contentView(); }

    // Waits until the clean has done at least `share` of its items.
    bool cleanReaches(double share) const
    {
        return QTest::qWaitFor([&] { return view().cleanProgress() >= share || !view().isBusy(deviceID); }, kPatience);
    }

    // Waits until dot_clean (heldAfter) holds still, and the window has taken
    // in its answers; its pid, 0 when it did not come to that.
    pid_t heldTool() const
    {
        pid_t tool = 0;
        return QTest::qWaitFor([&] { return (tool = testsupport::stoppedChild()) > 0; }, kPatience) && cleanReaches(0.1)
                   ? tool
                   : 0;
    }

    QMessageBox *alert() const
    {
        auto *box = rig.app->window().findChild<QMessageBox *>(QStringLiteral("windowAlert"));
        return box && box->isVisible() ? box : nullptr;
    }
};

QString L(const char *key)
{
    return localized(QString::fromLatin1(key));
}

} // namespace

class TestAppWork : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
    }

    // A double click on "Clean All", and a third click 0.6 s later: one
    // clean, one record, and the counts are the disk's.
    void doubleClickCleanAll()
    {
        ScannedStick stick(20, 30);
        if (const QString why = stick.setUp(QStringLiteral("DOUBLE")); !why.isEmpty())
            QFAIL(qPrintable(why));
        const QPointer<QAbstractButton> button = stick.rig.cleanAllButton();
        QVERIFY(button && button->isEnabled());
        // As the window system hands a double click over: press, release,
        // then a double-click press and its release.
        QTest::mousePress(button, Qt::LeftButton);
        QTest::mouseRelease(button, Qt::LeftButton);
        if (button)
            QTest::mouseDClick(button, Qt::LeftButton);
        if (button)
            QTest::mouseRelease(button, Qt::LeftButton);
        QTest::qWait(600);
        if (button && button->isVisible())
            QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(stick.rig.identity().startsWith(QStringLiteral("CompletionView_")), kPatience);
        QTRY_VERIFY_WITH_TIMEOUT(!stick.view().isBusy(stick.deviceID), kPatience);

        const QStringList gone = stick.junk.goneFrom(stick.point);
        QCOMPARE(gone, stick.junk.paths);
        QCOMPARE(stick.view().cleanedFileCount(), gone.size());
        QTRY_COMPARE_WITH_TIMEOUT(stick.rig.history().size(), 1, kPatience);
        QCOMPARE(stick.rig.history()[0].cleanedFileCount, gone.size());
        QCOMPARE(testsupport::recordedPaths(stick.rig.history()[0], stick.point), gone);
        QCOMPARE(stick.rig.history()[0].freedSpace, stick.junk.bytesOf(gone));
        QTest::qWait(500);   // a second clean's record would come late
        QCOMPARE(stick.rig.history().size(), 1);
    }

    // fusefat killed half-way through a clean (dot_clean held after its
    // 300th answer meanwhile): what dot_clean answered removed before it is
    // recorded, and the record is what the disk lost.
    void daemonKilledMidClean()
    {
        ScannedStick stick(40, 60);
        if (const QString why = stick.setUp(QStringLiteral("KILLED"), kHeldVolumeTimeout, heldAfter(300)); !why.isEmpty())
            QFAIL(qPrintable(why));
        QVERIFY(stick.rig.cleanAll());
        ContinueOnExit tool{stick.heldTool()};
        QVERIFY(tool.daemon > 0);
        QVERIFY(stick.view().isBusy(stick.deviceID));
        // The window shows the clean and its share done; nothing starts another.
        QVERIFY(stick.rig.identity().startsWith(QStringLiteral("CleaningView_")));
        const auto *bar = stick.rig.app->window().findChild<QProgressBar *>(QStringLiteral("cleanProgress"));
        QVERIFY(bar && bar->isVisible() && bar->maximum() == 1000 && bar->value() >= 50);
        const auto *scan = stick.rig.app->window().findChild<QAbstractButton *>(QStringLiteral("scanButton"));
        QVERIFY(scan && !scan->isEnabled());
        QVERIFY(MountFixture::killDaemon(stick.daemon));
        ::kill(tool.daemon, SIGCONT);
        QTRY_VERIFY_WITH_TIMEOUT(!stick.view().isBusy(stick.deviceID), kPatience);
        QTRY_COMPARE_WITH_TIMEOUT(stick.rig.history().size(), 1, kPatience);
        const CleanHistory record = stick.rig.history()[0];
        // Not only that a device went: how many files went before, and how many stayed.
        QTRY_VERIFY_WITH_TIMEOUT(stick.alert(), kPatience);
        QCOMPARE(stick.view().alertTitle(), L("device_gone_during_clean_title"));
        QCOMPARE(stick.view().alertMessage(), format(L("clean_device_gone_message"), QStringLiteral("KILLED"),
                                                     record.cleanedFileCount,
                                                     qint64(stick.junk.paths.size()) - record.cleanedFileCount));

        // The stick again, through a new daemon: the record lists what it lost.
        const QString loop = stick.rig.loops.value(stick.point);
        QVERIFY(stick.rig.fx.unmount(stick.point));
        QVERIFY2(stick.rig.fx.mountFat(loop, stick.point), qPrintable(stick.rig.fx.lastError()));
        // No removal was under way when the daemon died: what went is what dot_clean answered.
        const QStringList gone = stick.junk.goneFrom(stick.point);
        QCOMPARE(gone.size(), 300);
        const QStringList recorded = testsupport::recordedPaths(record, stick.point);
        QCOMPARE(record.cleanedFileCount, gone.size());
        QCOMPARE(recorded.size(), record.cleanedFileCount);
        QCOMPARE(record.freedSpace, stick.junk.bytesOf(recorded));
        for (const QString &path : recorded)
            QVERIFY2(gone.contains(path), qPrintable(path));
        qInfo("%lld of %lld removed before the daemon died; the window and the record say %lld",
              qint64(gone.size()), qint64(stick.junk.paths.size()), qint64(record.cleanedFileCount));
    }

    // The stick unmounted lazily half-way through a clean: the clean goes on
    // through the volume it holds to its end, and the window, which dropped
    // the stick meanwhile, says how it ended; the record is what the stick
    // lost. (dot_clean holds still after its 300th answer until the stick is
    // gone, and the stick's daemon waits while the window drops the stick, so
    // the clean cannot end before: a change of the test's mount table is
    // seen only at the next look, the kernel's at once.)
    void lazyUnmountMidClean()
    {
        ScannedStick stick(40, 60);
        if (const QString why = stick.setUp(QStringLiteral("LAZY"), kHeldVolumeTimeout, heldAfter(300)); !why.isEmpty())
            QFAIL(qPrintable(why));
        QVERIFY(stick.rig.cleanAll());
        ContinueOnExit tool{stick.heldTool()};
        QVERIFY(tool.daemon > 0);
        ContinueOnExit resume{stick.daemon};
        QVERIFY(MountFixture::stopProcess(stick.daemon));
        QVERIFY(MountFixture::unmountLazily(stick.point));
        QVERIFY(MountFixture::writeMountInfoOf({}, stick.rig.mountInfo));
        QTRY_VERIFY_WITH_TIMEOUT(!stick.view().selectedDevice(), kPatience);
        QVERIFY(stick.view().isBusy(stick.deviceID));
        ::kill(stick.daemon, SIGCONT);
        ::kill(tool.daemon, SIGCONT);
        QTRY_VERIFY_WITH_TIMEOUT(!stick.view().isBusy(stick.deviceID), kPatience);
        QTRY_COMPARE_WITH_TIMEOUT(stick.rig.history().size(), 1, kPatience);
        const CleanHistory record = stick.rig.history()[0];
        QTRY_VERIFY_WITH_TIMEOUT(stick.alert(), kPatience);
        QCOMPARE(stick.view().alertTitle(), L("cleaning_completed_title"));
        QCOMPARE(stick.view().alertMessage(), format(L("clean_complete_message"), QStringLiteral("LAZY")) + u'\n'
                                                  + format(L("clean_summary"), record.cleanedFileCount,
                                                           displayedByteCount(record.freedSpace)));

        // The stick again, once its daemon has let go: it lost what the record lists.
        const QString loop = stick.rig.loops.value(stick.point);
        MountFixture::waitUntilReleased(loop);
        QVERIFY2(stick.rig.fx.mountFat(loop, stick.point), qPrintable(stick.rig.fx.lastError()));
        QCOMPARE(testsupport::recordedPaths(record, stick.point), stick.junk.goneFrom(stick.point));
        QCOMPARE(record.cleanedFileCount, stick.junk.paths.size());
        QCOMPARE(record.freedSpace, stick.junk.bytesOf(stick.junk.paths));
    }

    // The daemon stopped before a scan: within the limit the window says the
    // device stopped answering, and lists nothing.
    void stoppedDaemonDuringScan()
    {
        StickApp rig;
        QVERIFY(rig.start(kVolumeTimeout));
        const QString point = rig.insert(QStringLiteral("STOPPED"), false);
        QVERIFY2(!point.isEmpty(), qPrintable(rig.fx.lastError()));
        ContentView &view = rig.app->contentView();
        QTRY_VERIFY_WITH_TIMEOUT(view.selectedDevice(), kPatience);
        view.markDeviceReady();
        ContinueOnExit resume{MountFixture::fuseDaemon(point)};
        QVERIFY(MountFixture::stopProcess(resume.daemon));

        QElapsedTimer clock;
        clock.start();
        view.scanDevice(*view.selectedDevice());
        QTRY_VERIFY_WITH_TIMEOUT(view.showingAlert(), kPatience);
        const qint64 waited = clock.elapsed();
        QVERIFY2(waited >= kVolumeTimeout.count() && waited < kVolumeTimeout.count() + 3000,
                 qPrintable(QString::number(waited)));
        QCOMPARE(view.alertTitle(), L("device_not_answering_title"));
        QCOMPARE(view.alertMessage(), format(L("scan_not_answering_message"), QStringLiteral("STOPPED")));
        QVERIFY(!view.isScanning() && view.scanResults().isEmpty() && !view.isBusy(view.selectedDevice()->id));
    }

    // The daemon stopped half-way through a clean while the thread that reads
    // dot_clean's answers is held, as a machine under load can hold it (so
    // the clean cannot have ended before the stop): within the limit the
    // window counts what went, the answers read only after the give-up
    // included, and says the device stopped answering; the record holds what
    // is gone (once the daemon goes on, at most the one item dot_clean was
    // removing when it stopped goes too, unrecorded).
    void stoppedDaemonDuringClean()
    {
        ScannedStick stick(40, 60);
        // dot_clean waits at its start until the reader is held (the time
        // limit runs meanwhile: a longer one leaves the test time to hold
        // it), and again after its 50th answer until the daemon is stopped.
        const QString tool = testsupport::stoppedAtStart(heldAfter(50));
        constexpr auto limit = 5000ms;
        if (const QString why = stick.setUp(QStringLiteral("HUNG"), limit, tool); !why.isEmpty())
            QFAIL(qPrintable(why));
        ContinueOnExit resume;
        QVERIFY(stick.rig.cleanAll());
        pid_t child = 0;
        QVERIFY(QTest::qWaitFor([&] { return (child = testsupport::stoppedChild()) > 0; }, kPatience));
        testsupport::HeldReader reader(child);
        QVERIFY(reader.isHeld());
        ::kill(child, SIGCONT);
        QVERIFY(QTest::qWaitFor([&] { return reader.unread() >= 500 && testsupport::isStopped(child); }, kPatience));
        QVERIFY(stick.view().isBusy(stick.deviceID));
        resume.daemon = stick.daemon;
        QVERIFY(MountFixture::stopProcess(stick.daemon));
        ::kill(child, SIGCONT);   // its next removal waits for the daemon
        QElapsedTimer clock;
        clock.start();
        QVERIFY(QTest::qWaitFor([&] { return stick.rig.app->deviceManager().leavesWorkBehind(); }, kPatience));
        reader.release();

        QTRY_VERIFY_WITH_TIMEOUT(stick.alert(), kPatience);
        const qint64 waited = clock.elapsed();
        QVERIFY2(waited < limit.count() + 3000, qPrintable(QString::number(waited)));
        const qint64 shown = stick.view().cleanedFileCount();
        QTRY_COMPARE_WITH_TIMEOUT(stick.rig.history().size(), 1, kPatience);
        const CleanHistory record = stick.rig.history()[0];

        // Once the daemon goes on, the removal it held ends, and so does dot_clean.
        ::kill(stick.daemon, SIGCONT);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(child)), kPatience);
        const QStringList gone = stick.junk.goneFrom(stick.point);
        const QStringList recorded = testsupport::recordedPaths(record, stick.point);
        const QSet<QString> goneSet(gone.cbegin(), gone.cend());
        for (const QString &path : recorded)
            QVERIFY2(goneSet.contains(path), qPrintable(path + QStringLiteral(" is recorded but still there")));
        QVERIFY2(gone.size() - recorded.size() <= 1, qPrintable(QStringLiteral("%1 gone, %2 recorded")
                                                                     .arg(gone.size())
                                                                     .arg(recorded.size())));
        QVERIFY(gone.size() < stick.junk.paths.size());   // nothing went on after it was given up
        QCOMPARE(record.cleanedFileCount, shown);
        QCOMPARE(stick.view().failedFileCount(), stick.junk.paths.size() - shown);
        QVERIFY(stick.rig.identity().startsWith(QStringLiteral("CompletionView_")));
        QCOMPARE(stick.alert()->informativeText(),
                 format(L("clean_not_answering_message"), QStringLiteral("HUNG"), shown, stick.junk.paths.size() - shown));
        qInfo("%lld of %lld gone; the window and the record say %lld", qint64(gone.size()),
              qint64(stick.junk.paths.size()), shown);
    }
};

SWEEPBROOK_TEST_MAIN(TestAppWork)
#include "test_app_work.moc"
