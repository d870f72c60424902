#include "cleaning/SystemCleanHelper.h"
#include "devices/PermissionManager.h"
#include "localization/Localization.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"
#include "TestMain.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Records every dialog and answers from a script; an exhausted script answers
// like a box closed without a button.
class ScriptedPresenter final : public DialogPresenter
{
public:
    QList<GuideDialog> dialogs;
    QList<int> script;
    int settingsOpened = 0;
    int unscripted = 0;

    int runModal(const GuideDialog &dialog) override
    {
        dialogs.append(dialog);
        unscripted += script.isEmpty() ? 1 : 0;
        return script.isEmpty() ? 0 : script.takeFirst();
    }
    bool openPrivilegedAccessSettings() override
    {
        ++settingsOpened;
        return false;
    }

    QStringList titles() const
    {
        QStringList result;
        for (const GuideDialog &dialog : dialogs)
            result.append(dialog.title);
        return result;
    }
};

QString t(const char *key)
{
    return localized(QString::fromUtf8(key));
}

const char *const kGreatKey =
    "Great! Sweepbrook already has Full Disk Access permission and is ready to clean system files automatically.\n\n"
    "You can start using all cleaning features immediately.";
const char *const kExcellentKey =
    "Excellent! Sweepbrook now has Full Disk Access permission.\n\nYou can now clean all types of system files "
    "automatically. The app is ready to provide the best cleaning experience.";
const char *const kNotDetectedKey =
    "Sweepbrook still doesn't have Full Disk Access permission.\n\nPlease make sure you:\n"
    "\u2022 Turned ON the switch for Sweepbrook\n\u2022 Entered your admin password when prompted\n"
    "\u2022 Sweepbrook appears in the Full Disk Access list\n\nWould you like to try again?";

// One manager on a private preferences file, virtual time and a probe whose
// answer the test sets.
struct Rig
{
    QTemporaryDir dir;
    Preferences preferences{dir.filePath("preferences.json")};
    VirtualScheduler scheduler;
    std::shared_ptr<std::atomic<bool>> access;
    std::shared_ptr<std::atomic<bool>> hold = std::make_shared<std::atomic<bool>>(false);   // the probe waits while set
    std::shared_ptr<std::atomic<QThread *>> probedOn = std::make_shared<std::atomic<QThread *>>(nullptr);
    std::unique_ptr<SystemCleanHelper> helper;
    ScriptedPresenter presenter;
    std::unique_ptr<PermissionManager> manager;

    // `tool`: the administrator tool (default: one only root can change).
    explicit Rig(bool hasAccess = false, bool shown = false, bool completed = false, const QString &tool = {})
        : access(std::make_shared<std::atomic<bool>>(hasAccess))
    {
        if (shown)
            preferences.setBool(PermissionManager::hasShownPermissionGuideKey, true);
        if (completed)
            preferences.setBool(PermissionManager::permissionGuideCompletedKey, true);
        SystemCleanHelper::ProbeEnvironment env;
        env.isRoot = [flag = access, hold = hold, probedOn = probedOn] {
            probedOn->store(QThread::currentThread());
            while (hold->load())
                std::this_thread::sleep_for(1ms);
            return flag->load();
        };
        env.pkexecPath = dir.filePath("no-pkexec");
        env.adminTool = tool.isEmpty() ? findExecutable(QStringLiteral("true")) : tool;
        helper = std::make_unique<SystemCleanHelper>(scheduler, env);
        manager = std::make_unique<PermissionManager>(preferences, *helper, scheduler, presenter);
        settle();   // the first check's answer
    }

    // Lets the background probes answer; fails the calling test when they do not.
    void settle()
    {
        [&] { QVERIFY(scheduler.settle()); }();
    }

    // As stored in the preferences file, read afresh.
    bool pref(const QString &key) const { return Preferences(preferences.filePath()).boolean(key); }

    // Opens the guide and runs everything due now.
    void openGuide()
    {
        manager->showPermissionGuide();
        scheduler.runDue();
    }
};

} // namespace

class TestPermissionManager : public QObject
{
    Q_OBJECT

private slots:
    void statusCheck_data()
    {
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("completed");
        QTest::addColumn<bool>("access");
        QTest::addColumn<bool>("offer");

        QTest::newRow("first launch without access") << false << false << false << true;
        // Even with access: the guide has never been seen.
        QTest::newRow("first launch with access") << false << false << true << true;
        QTest::newRow("shown, not completed, no access") << true << false << false << true;
        QTest::newRow("shown, access present") << true << false << true << false;
        QTest::newRow("completed, access lost since") << true << true << false << false;
        // Completion without "shown" cannot happen through the guide; "shown" decides.
        QTest::newRow("completed flag alone") << false << true << true << true;
    }

    void statusCheck()
    {
        QFETCH(bool, shown);
        QFETCH(bool, completed);
        QFETCH(bool, access);
        QFETCH(bool, offer);
        Rig rig(access, shown, completed);
        QCOMPARE(rig.manager->hasFullDiskAccess(), access);
        QCOMPARE(rig.manager->shouldShowPermissionGuide(), offer);
        QVERIFY(rig.presenter.dialogs.isEmpty());
    }

    // A check arms the offer again after the guide was left without access, but
    // never withdraws an offer itself.
    void statusCheckRearmsButNeverWithdraws()
    {
        Rig rig(false);
        QSignalSpy offer(rig.manager.get(), &PermissionManager::shouldShowPermissionGuideChanged);
        rig.manager->markGuideAsShown();
        QCOMPARE(offer.size(), 1);
        QCOMPARE(offer.constFirst().constFirst().toBool(), false);
        QVERIFY(rig.pref(PermissionManager::hasShownPermissionGuideKey));
        rig.manager->checkPermissionStatus();
        rig.settle();
        QVERIFY(rig.manager->shouldShowPermissionGuide());

        // Access appears (after the cache expires); the offer stays until a marking.
        *rig.access = true;
        rig.scheduler.advance(30s);
        QSignalSpy accessChanged(rig.manager.get(), &PermissionManager::hasFullDiskAccessChanged);
        rig.manager->checkPermissionStatus();
        QVERIFY(!rig.manager->hasFullDiskAccess());   // published when the probe answers
        rig.settle();
        QVERIFY(rig.manager->hasFullDiskAccess());
        QCOMPARE(accessChanged.size(), 1);
        QVERIFY(rig.manager->shouldShowPermissionGuide());
    }

    // The probe runs off the main thread: one that takes long holds up
    // nothing here, and its answer is published when it comes.
    void probeRunsInTheBackground()
    {
        Rig rig(false);
        QVERIFY(rig.probedOn->load() && rig.probedOn->load() != QThread::currentThread());
        *rig.access = true;
        rig.scheduler.advance(30s);   // past the cached answer
        *rig.hold = true;
        std::thread release([hold = rig.hold] {   // a probe run here would otherwise never end
            std::this_thread::sleep_for(3s);
            *hold = false;
        });
        QElapsedTimer clock;
        clock.start();
        rig.manager->checkPermissionStatus();
        const qint64 took = clock.elapsed();
        const bool published = rig.manager->hasFullDiskAccess();
        release.join();
        QVERIFY2(took < 1000, qPrintable(QString::number(took)));
        QVERIFY(!published);
        rig.settle();
        QVERIFY(rig.manager->hasFullDiskAccess());
        QVERIFY(rig.probedOn->load() != QThread::currentThread());
    }

    // One dialog, and the guide is complete whatever its answer (here: closed).
    // Its message is an English sentence used as a key: it must find its table
    // entry, as must the other sentence keys, or the raw sentence would show.
    void guideWithAccessAlreadyPresent()
    {
        for (const char *key : {kGreatKey, kExcellentKey, kNotDetectedKey})
            QVERIFY2(t(key) != QString::fromUtf8(key), key);
        Rig rig(true);
        rig.manager->showPermissionGuide();
        QVERIFY(rig.presenter.dialogs.isEmpty());   // posted, not run inline
        rig.scheduler.runDue();

        QCOMPARE(rig.presenter.titles(), QStringList{t("full_disk_access_setup_title")});
        const GuideDialog &dialog = rig.presenter.dialogs.constFirst();
        QCOMPARE(dialog.message, t(kGreatKey));
        QCOMPARE(dialog.buttons, QStringList{t("Get Started")});
        QVERIFY(rig.pref(PermissionManager::hasShownPermissionGuideKey));
        QVERIFY(rig.pref(PermissionManager::permissionGuideCompletedKey));
        QVERIFY(!rig.manager->shouldShowPermissionGuide());
    }

    // Every road out of the setup dialog (entered by the guide) and out of the
    // re-check dialog (entered one second after scheduleRecheckAlert) without access.
    void dialogRoads_data()
    {
        QTest::addColumn<bool>("recheck");
        QTest::addColumn<QList<int>>("script");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<bool>("markedShown");

        const QString setup = t("full_disk_access_setup_title");
        const QString instructions = t("setting_up_full_disk_access");
        const QString about = t("about_full_disk_access_title");
        const QString again = t("permission_setup");

        QTest::newRow("skip") << false << QList<int>{1001} << QStringList{setup} << true;
        QTest::newRow("learn more, continue without") << false << QList<int>{1002, 1001} << QStringList{setup, about} << true;
        QTest::newRow("learn more, set up, later")
            << false << QList<int>{1002, 1000, 1001} << QStringList{setup, about, instructions} << true;
        QTest::newRow("set up, later") << false << QList<int>{1000, 1001} << QStringList{setup, instructions} << true;
        // An answer without a row ends the guide without marking anything.
        QTest::newRow("setup closed") << false << QList<int>{0} << QStringList{setup} << false;
        QTest::newRow("recheck: skip") << true << QList<int>{1002} << QStringList{again} << true;
        QTest::newRow("recheck: need help, continue without")
            << true << QList<int>{1001, 1001} << QStringList{again, about} << true;
        QTest::newRow("recheck: check, continue without permission")
            << true << QList<int>{1000, 1001} << QStringList{again, t("Permission Not Detected")} << true;
        QTest::newRow("recheck: closed") << true << QList<int>{0} << QStringList{again} << false;
    }

    void dialogRoads()
    {
        QFETCH(bool, recheck);
        QFETCH(QList<int>, script);
        QFETCH(QStringList, titles);
        QFETCH(bool, markedShown);

        Rig rig(false);
        rig.presenter.script = script;
        if (recheck) {
            rig.manager->scheduleRecheckAlert();
            rig.scheduler.advance(1s);
            rig.settle();
            QCOMPARE(rig.presenter.dialogs.constFirst().buttons,
                     (QStringList{t("check_permission"), t("need_help"), t("skip_for_now")}));
        } else {
            rig.openGuide();
        }

        QCOMPARE(rig.presenter.titles(), titles);
        QCOMPARE(rig.pref(PermissionManager::hasShownPermissionGuideKey), markedShown);
        QVERIFY(!rig.pref(PermissionManager::permissionGuideCompletedKey));
        QCOMPARE(rig.manager->shouldShowPermissionGuide(), !markedShown);
        QCOMPARE(rig.presenter.settingsOpened, 0);
        QCOMPARE(rig.scheduler.pendingCount(), 0);   // no re-check on these roads
    }

    // An administrator tool that others than root could change: no access even
    // as root, and the re-check's answer says why first.
    void untrustedToolSaysWhy()
    {
        QTemporaryDir folder;   // under /tmp, which everyone may write
        const QString tool = folder.filePath(QStringLiteral("sweepbrook-admin-clean"));
        QVERIFY(QFile::copy(findExecutable(QStringLiteral("true")), tool));
        Rig rig(true, false, false, tool);
        QVERIFY(!rig.manager->hasFullDiskAccess());
        const QString problem = rig.manager->privilegedAccessProblem();
        QVERIFY2(problem.contains(tool) && problem.contains(QStringLiteral("/tmp")), qPrintable(problem));

        rig.presenter.script = {1000, 1001};   // check, continue without
        rig.manager->scheduleRecheckAlert();
        rig.scheduler.advance(1s);
        rig.settle();
        QCOMPARE(rig.presenter.titles().constLast(), t("Permission Not Detected"));
        QCOMPARE(rig.presenter.dialogs.constLast().message, problem + QStringLiteral("\n\n") + t(kNotDetectedKey));
    }

    // The whole loop: instructions, re-check one second later, not granted, try
    // again, and finally granted.
    void instructionsRecheckLoop()
    {
        Rig rig(false);
        const QString instructions = t("setting_up_full_disk_access");
        const QString recheck = t("permission_setup");

        rig.presenter.script = {1000, 1000};   // set up now, open settings
        rig.openGuide();
        QCOMPARE(rig.presenter.settingsOpened, 1);
        QCOMPARE(rig.presenter.titles().constLast(), instructions);
        rig.scheduler.advance(999ms);   // nothing before the second is up
        QCOMPARE(rig.presenter.dialogs.size(), 2);

        rig.presenter.script = {1000, 1000, 1000};   // check, try again, open settings
        const int probesBefore = rig.helper->probeCount();
        rig.scheduler.advance(1ms);
        rig.settle();
        QCOMPARE(rig.presenter.titles().mid(2), (QStringList{recheck, t("Permission Not Detected"), instructions}));
        // The re-check probed although the cached answer was still young.
        QCOMPARE(rig.helper->probeCount(), probesBefore + 1);
        QVERIFY(!rig.pref(PermissionManager::hasShownPermissionGuideKey));
        const GuideDialog &warning = rig.presenter.dialogs[3];
        QCOMPARE(warning.style, GuideDialog::Style::warning);
        QCOMPARE(warning.message, t(kNotDetectedKey));
        QCOMPARE(rig.presenter.settingsOpened, 2);

        // The user sets things up; the second re-check comes a second after the second opening.
        *rig.access = true;
        rig.presenter.script = {1000, 1000};   // check, start cleaning
        rig.scheduler.advance(999ms);
        QCOMPARE(rig.presenter.dialogs.size(), 5);
        rig.scheduler.advance(1ms);
        rig.settle();
        QCOMPARE(rig.presenter.titles().mid(5), (QStringList{recheck, t("Success!")}));
        QCOMPARE(rig.presenter.dialogs.constLast().message, t(kExcellentKey));

        QVERIFY(rig.manager->hasFullDiskAccess());
        QVERIFY(!rig.manager->shouldShowPermissionGuide());
        QVERIFY(rig.pref(PermissionManager::hasShownPermissionGuideKey));
        QVERIFY(rig.pref(PermissionManager::permissionGuideCompletedKey));
        QCOMPARE(rig.presenter.unscripted, 0);
        QCOMPARE(rig.scheduler.pendingCount(), 0);
    }

    // A re-check that falls due after the manager is gone is dropped.
    void pendingRecheckDiesWithTheManager()
    {
        Rig rig(false);
        rig.manager->scheduleRecheckAlert();
        rig.manager.reset();
        rig.scheduler.advance(2s);
        QVERIFY(rig.presenter.dialogs.isEmpty());
    }

    // The app's presenter: texts shown as plain text, the first button the
    // default, the pressed one's answer.
    void messageBoxPresenter()
    {
        MessageBoxDialogPresenter presenter;
        GuideDialog dialog;
        dialog.title = "<b>Title</b>";
        dialog.message = "Line one\n<i>two</i>";
        dialog.buttons = {"First", "Second", "Third"};
        dialog.style = GuideDialog::Style::warning;

        QStringList seen;   // per box: title|message|text format|icon|default button
        const auto pressLater = [&](const QString &press) {
            QTimer::singleShot(0, [&seen, press] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                if (!box) {
                    seen << QStringLiteral("no message box");
                    return;
                }
                const auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
                const bool plain = box->textFormat() == Qt::PlainText && informative
                                   && informative->textFormat() == Qt::PlainText;
                seen << QStringList{box->text(), box->informativeText(), plain ? "plain" : "rich",
                                    box->icon() == QMessageBox::Warning ? "warning" : "other",
                                    box->defaultButton() ? box->defaultButton()->text() : QString()}
                            .join(u'|');
                if (press.isEmpty())
                    box->reject();
                for (QAbstractButton *button : box->buttons()) {
                    if (button->text() == press)
                        button->click();
                }
            });
        };

        pressLater("Third");
        QCOMPARE(presenter.runModal(dialog), 1002);
        pressLater(QString());   // closed without a button: an answer no dialog acts on
        QCOMPARE(presenter.runModal(dialog), 0);
        QCOMPARE(seen, QStringList(2, QStringLiteral("<b>Title</b>|Line one\n<i>two</i>|plain|warning|First")));
        QVERIFY(!presenter.openPrivilegedAccessSettings());   // no settings page on this desktop
    }
};

SWEEPBROOK_TEST_MAIN(TestPermissionManager)
#include "test_permission_manager.moc"
