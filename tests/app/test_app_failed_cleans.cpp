// The whole app, in real time and under Xvfb when it is there, on real FAT32
// sticks (fusefat on loop devices) whose clean cannot remove everything: a
// read-only stick (the alert with its reason, the junk still listed, no
// record), a stick where one scanned item was replaced by a folder before
// the clean (the completion view counts what went and what did not, and
// why; the record lists what went), and an ordinary account's clean whose
// administrator step ends early or removes nothing: the tool killed or
// stopped half-way, no pkexec to start it, a read-only stick (the window
// says why, and the notice about system folders comes only where it is
// true, through the app's own presenter). Every count shown is checked
// against the disk.

#include "cleaning/SystemCleanHelper.h"
#include "localization/Localization.h"
#include "platform/Scheduler.h"

#include "AppRig.h"
#include "HeldReader.h"
#include "StickApp.h"
#include "TestMain.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QScopeGuard>

namespace {

using testsupport::kPatience;
using testsupport::presentOf;
using AppOnSticks = testsupport::StickApp;
constexpr int patience = kPatience;

// The junk put on each stick, by path below its root, and a file that stays.
const QStringList kJunk{"/.DS_Store", "/._photo.jpg", "/DCIM/Thumbs.db"};

// Stands for pkexec: runs the tool.
const QByteArray kElevation = "#!/bin/sh\nexec \"$@\"\n";

} // namespace

class TestAppFailedCleans : public QObject
{
    Q_OBJECT

private slots:
    void readOnlyStick()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        AppOnSticks rig;
        QVERIFY(rig.start());
        const QString point = rig.insert(QStringLiteral("LOCKED"), true);
        QVERIFY2(!point.isEmpty(), qPrintable(rig.fx.lastError()));
        QVERIFY(rig.scan(point));
        QCOMPARE(rig.listedItems(), kJunk.size());
        QVERIFY(rig.cleanAll());

        // The alert says nothing went, and why.
        QMessageBox *alert = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((alert = rig.app->window().findChild<QMessageBox *>(QStringLiteral("windowAlert")))
                                     && alert->isVisible(),
                                 patience);
        QCOMPARE(alert->text(), localized(QStringLiteral("clean_failed_title")));
        QCOMPARE(alert->informativeText(), format(localized(QStringLiteral("clean_failed_message")), kJunk.size(),
                                                  QStringLiteral("LOCKED"))
                                               + QStringLiteral("\n\n") + localized(QStringLiteral("failure_reason_read_only")));
        QVERIFY(alert->grab().save(testsupport::grabPath(QStringLiteral("read-only-stick-alert.png"))));

        // The junk is still there, and still listed; nothing is recorded.
        QCOMPARE(presentOf(point, kJunk), kJunk);
        QVERIFY(rig.app->window().detailColumn()->currentIdentity().startsWith(QStringLiteral("ScanResultsView_")));
        QCOMPARE(rig.listedItems(), presentOf(point, kJunk).size());
        QCOMPARE(rig.app->contentView().cleanedFileCount(), 0);
        QVERIFY(rig.history().isEmpty());
        alert->findChild<QAbstractButton *>(QStringLiteral("alertOkButton"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.app->contentView().showingAlert(), patience);
    }

    void partialClean()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        AppOnSticks rig;
        QVERIFY(rig.start());
        const QString point = rig.insert(QStringLiteral("PARTLY"), false);
        QVERIFY2(!point.isEmpty(), qPrintable(rig.fx.lastError()));
        QVERIFY(rig.scan(point));
        QCOMPARE(rig.listedItems(), kJunk.size());

        // Between the scan and the clean, the thumbnail database becomes a folder of the user's.
        QVERIFY(QFile::remove(point + "/DCIM/Thumbs.db"));
        testsupport::writeFile(point + "/DCIM/Thumbs.db/precious.txt", "mine");
        QVERIFY(rig.cleanAll());
        DetailColumn *detail = rig.app->window().detailColumn();
        QTRY_VERIFY_WITH_TIMEOUT(detail->currentIdentity().startsWith(QStringLiteral("CompletionView_")), patience);
        QVERIFY(!rig.app->contentView().showingAlert());

        // The counts shown are the disk's.
        const QStringList left = presentOf(point, kJunk);
        QCOMPARE(left, QStringList{"/DCIM/Thumbs.db"});
        QCOMPARE(testsupport::readFile(QFile::encodeName(point + "/DCIM/Thumbs.db/precious.txt")), QByteArray("mine"));
        QVERIFY(QFileInfo::exists(point + "/photo.jpg"));
        const qint64 removed = kJunk.size() - left.size();
        auto *stats = detail->findChild<QLabel *>(QStringLiteral("completionStats"));
        auto *failures = detail->findChild<QLabel *>(QStringLiteral("completionFailures"));
        QVERIFY(stats && failures && failures->isVisible());
        QCOMPARE(stats->text(), format(localized(QStringLiteral("clean_result_stats")), removed,
                                       presentation::byteCountText(6148 + 4096)));
        QCOMPARE(failures->text(), format(localized(QStringLiteral("clean_result_failed")), left.size()) + u'\n'
                                       + localized(QStringLiteral("failure_reason_changed")));
        QVERIFY(rig.app->window().grab().save(testsupport::grabPath(QStringLiteral("partial-clean.png"))));

        // The record holds what went, and only that.
        QTRY_COMPARE_WITH_TIMEOUT(rig.history().size(), 1, patience);
        const QList<CleanHistory> history = rig.history();
        QCOMPARE(history[0].deviceName, QStringLiteral("PARTLY"));
        QCOMPARE(history[0].cleanedFileCount, removed);
        QCOMPARE(history[0].freedSpace, 6148 + 4096);
        QCOMPARE(testsupport::recordedPaths(history[0], point), (QStringList{"/.DS_Store", "/._photo.jpg"}));
    }

    // An ordinary account's clean of a stick whose files are all root's,
    // two system folders among them (walked last): the administrator tool
    // killed right after its 20th answer, or stopped with SIGTERM there (by
    // no one in the app), however fast it answers: what it removed is
    // counted and recorded, the rest stays because the tool stopped, and no
    // notice blames the system folders it did not get to. No pkexec to start
    // it: nothing goes, the alert says why and the notice says the system
    // folders were skipped. A read-only stick: the tool tries every item and
    // the volume keeps them; the notice names the system folders the stick
    // holds, and only those.
    void privilegedStepEndsEarly_data()
    {
        QTest::addColumn<QByteArray>("elevation");
        QTest::addColumn<QByteArray>("signal");   // sent to the tool after its 20th answer
        QTest::newRow("the tool killed half-way") << kElevation << QByteArray("KILL");
        QTest::newRow("the tool stopped with SIGTERM half-way") << kElevation << QByteArray("TERM");
        QTest::newRow("pkexec missing") << QByteArray() << QByteArray();
        QTest::newRow("a read-only stick") << kElevation << QByteArray();
    }

    void privilegedStepEndsEarly()
    {
        QFETCH(QByteArray, elevation);
        QFETCH(QByteArray, signal);
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Fat32); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (::geteuid() != 0)
            QSKIP("the tool runs as root here, for an account that is not");
        const bool stopped = !signal.isEmpty();
        const bool readOnly = !stopped && !elevation.isEmpty();
        QTemporaryDir stubs;
        const QString stub = stubs.filePath(QStringLiteral("elevate.sh"));
        SystemCleanHelper::ProbeEnvironment environment;
        environment.isRoot = [] { return false; };
        environment.effectiveUid = [] { return uid_t(1000); };
        environment.polkitAuthorityAnswers = [] { return false; };
        environment.hasEnvironmentVariable = [](const char *) { return false; };
        // Signalled right after its 20th answer, however fast it answers.
        environment.adminTool = stopped ? testsupport::signalledAfterAnswers(QStringLiteral(SWEEPBROOK_ADMIN_CLEAN),
                                                                             QStringLiteral(SWEEPBROOK_ANSWER_HOOK), 20, signal)
                                        : testsupport::trustedCopyOf(QStringLiteral(SWEEPBROOK_ADMIN_CLEAN));
        environment.pkexecPath = stubs.filePath(QStringLiteral("no-pkexec"));
        if (!elevation.isEmpty())
            environment.elevationCommand = {stub};
        SystemCleanHelper helper(Scheduler::shared(), environment);
        SystemCleanHelper::setShared(&helper);
        const auto restore = qScopeGuard([] { SystemCleanHelper::setShared(nullptr); });

        AppOnSticks rig;
        QVERIFY(rig.start());
        testsupport::JunkTree junk(8, 50, QStringLiteral("~IMG_%1.tmp"));
        const QStringList systemFolders{"/zz/.Spotlight-V100", "/zz/.Trashes"};
        QVERIFY(QDir().mkpath(junk.staging.path() + "/zz/.Spotlight-V100") && QDir().mkpath(junk.staging.path() + "/zz/.Trashes/501"));
        testsupport::writeFile(QFile::encodeName(junk.staging.path() + "/zz/.Spotlight-V100/store.db"), "index");
        testsupport::writeFile(QFile::encodeName(junk.staging.path() + "/zz/.Trashes/501/old.jpg"), "old");
        const QString point = rig.insertWith(QStringLiteral("ROOTS"), junk.staging.path(), readOnly);
        QVERIFY2(!point.isEmpty(), qPrintable(rig.fx.lastError()));
        QVERIFY(elevation.isEmpty() || testsupport::writeFile(QFile::encodeName(stub), elevation, 0700));
        QVERIFY(rig.scan(point));
        QCOMPARE(rig.listedItems(), junk.paths.size() + systemFolders.size());
        QVERIFY(rig.cleanAll());
        ContentView &view = rig.app->contentView();
        QTRY_VERIFY_WITH_TIMEOUT(!view.isBusy(view.selectedDevice()->id), patience);
        const QStringList gone = junk.goneFrom(point);
        const QStringList systemLeft = presentOf(point, systemFolders);
        const qint64 left = junk.paths.size() - gone.size() + systemLeft.size();
        const QString notice = mainTableLocalized(QStringLiteral("System Files Cannot Be Deleted"));

        if (!stopped) {
            QVERIFY(gone.isEmpty() && systemLeft == systemFolders);
            QTRY_VERIFY_WITH_TIMEOUT(view.showingAlert(), patience);
            QCOMPARE(view.alertTitle(), localized(QStringLiteral("clean_failed_title")));
            QCOMPARE(view.alertMessage(),
                     format(localized(QStringLiteral("clean_failed_message")), left, QStringLiteral("ROOTS")) + QStringLiteral("\n\n")
                         + localized(readOnly ? QStringLiteral("failure_reason_read_only") : QStringLiteral("failure_reason_pkexec_missing")));
            QVERIFY(rig.history().isEmpty());
            QCOMPARE(rig.presenter.titles, QStringList{notice});
            QCOMPARE(rig.presenter.messages.value(0),
                     readOnly ? mainTableLocalized(QStringLiteral("system_folders_left_intro")) + u'\n'
                                    + mainTableLocalized(QStringLiteral("system_folder_spotlight")) + u'\n'
                                    + mainTableLocalized(QStringLiteral("system_folder_trashes")) + QStringLiteral("\n\n")
                                    + mainTableLocalized(QStringLiteral("system_folders_left_reason"))
                              : mainTableLocalized(QStringLiteral("Some system files require Full Disk Access permission to be deleted automatically.\n\nTo set up this permission, please go to Settings → Permissions in Sweepbrook or restart the app to see the setup guide.\n\nFor now, these files have been skipped.")));
            return;
        }
        // What went, and why the rest did not; the system folders were not reached.
        QCOMPARE(gone.size(), 20);
        QCOMPARE(systemLeft, systemFolders);
        QVERIFY(rig.presenter.titles.isEmpty());
        DetailColumn *detail = rig.app->window().detailColumn();
        QTRY_VERIFY_WITH_TIMEOUT(detail->currentIdentity().startsWith(QStringLiteral("CompletionView_")), patience);
        QCOMPARE(view.cleanedFileCount(), gone.size());
        auto *failures = detail->findChild<QLabel *>(QStringLiteral("completionFailures"));
        QVERIFY(failures && failures->isVisible());
        QCOMPARE(failures->text(), format(localized(QStringLiteral("clean_result_failed")), left) + u'\n'
                                       + localized(QStringLiteral("failure_reason_tool_stopped")));
        if (signal == "KILL")
            QVERIFY(rig.app->window().grab().save(testsupport::grabPath(QStringLiteral("administrator-tool-killed.png"))));
        QTRY_COMPARE_WITH_TIMEOUT(rig.history().size(), 1, patience);
        QCOMPARE(testsupport::recordedPaths(rig.history()[0], point), gone);
        QCOMPARE(rig.history()[0].freedSpace, junk.bytesOf(gone));
    }
};

SWEEPBROOK_TEST_MAIN(TestAppFailedCleans)
#include "test_app_failed_cleans.moc"
