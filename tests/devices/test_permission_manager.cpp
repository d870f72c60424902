#include "cleaning/SystemCleanHelper.h"
#include "devices/PermissionManager.h"
#include "localization/Localization.h"
#include "platform/Preferences.h"
#include "platform/Scheduler.h"
#include "TestMain.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <memory>

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
        if (script.isEmpty()) {
            ++unscripted;
            return 0;
        }
        return script.takeFirst();
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
    std::unique_ptr<Preferences> preferences;
    VirtualScheduler scheduler;
    std::shared_ptr<std::atomic<bool>> access = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<SystemCleanHelper> helper;
    ScriptedPresenter presenter;
    std::unique_ptr<PermissionManager> manager;

    explicit Rig(bool hasAccess = false, bool shown = false, bool completed = false)
    {
        preferences = std::make_unique<Preferences>(dir.filePath(QStringLiteral("preferences.json")));
        if (shown)
            preferences->setBool(PermissionManager::hasShownPermissionGuideKey, true);
        if (completed)
            preferences->setBool(PermissionManager::permissionGuideCompletedKey, true);
        *access = hasAccess;
        SystemCleanHelper::ProbeEnvironment env;
        env.isRoot = [flag = access] { return flag->load(); };
        env.pkexecPath = dir.filePath(QStringLiteral("no-pkexec"));
        helper = std::make_unique<SystemCleanHelper>(scheduler, env);
        manager = std::make_unique<PermissionManager>(*preferences, *helper, scheduler, presenter);
    }

    bool pref(const QString &key) const { return preferences->boolean(key); }

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

        // The constructor runs the first check.
        Rig rig(access, shown, completed);
        QCOMPARE(rig.manager->hasFullDiskAccess(), access);
        QCOMPARE(rig.manager->shouldShowPermissionGuide(), offer);
        QCOMPARE(rig.helper->probeCount(), 1);
        QVERIFY(rig.presenter.dialogs.isEmpty());
    }

    // A check arms the offer again after the guide was left without access, but
    // never withdraws an offer itself.
    void statusCheckRearmsButNeverWithdraws()
    {
        Rig rig(false);
        rig.manager->markGuideAsShown();
        QVERIFY(!rig.manager->shouldShowPermissionGuide());
        rig.manager->checkPermissionStatus();
        QVERIFY(rig.manager->shouldShowPermissionGuide());

        // Access appears (after the cache expires); the offer stays until a marking.
        *rig.access = true;
        rig.scheduler.advance(30s);
        QSignalSpy accessChanged(rig.manager.get(), &PermissionManager::hasFullDiskAccessChanged);
        rig.manager->checkPermissionStatus();
        QVERIFY(rig.manager->hasFullDiskAccess());
        QCOMPARE(accessChanged.size(), 1);
        QVERIFY(rig.manager->shouldShowPermissionGuide());
    }

    // One dialog, and the guide is complete whatever its answer (here: closed).
    void guideWithAccessAlreadyPresent()
    {
        Rig rig(true);
        rig.manager->showPermissionGuide();
        QVERIFY(rig.presenter.dialogs.isEmpty());   // posted, not run inline
        rig.scheduler.runDue();

        QCOMPARE(rig.presenter.titles(), QStringList{t("full_disk_access_setup_title")});
        const GuideDialog &dialog = rig.presenter.dialogs.constFirst();
        QCOMPARE(dialog.buttons, QStringList{t("Get Started")});
        QCOMPARE(dialog.style, GuideDialog::Style::informational);
        QVERIFY(rig.pref(PermissionManager::hasShownPermissionGuideKey));
        QVERIFY(rig.pref(PermissionManager::permissionGuideCompletedKey));
        QVERIFY(!rig.manager->shouldShowPermissionGuide());
        QVERIFY(rig.manager->hasFullDiskAccess());
    }

    void setupDialogRoads_data()
    {
        QTest::addColumn<QList<int>>("script");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<bool>("markedShown");

        const QString setup = t("full_disk_access_setup_title");
        const QString instructions = t("setting_up_full_disk_access");
        const QString about = t("about_full_disk_access_title");

        QTest::newRow("skip") << QList<int>{1001} << QStringList{setup} << true;
        QTest::newRow("learn more, continue without") << QList<int>{1002, 1001} << QStringList{setup, about} << true;
        QTest::newRow("learn more, set up, later")
            << QList<int>{1002, 1000, 1001} << QStringList{setup, about, instructions} << true;
        QTest::newRow("set up, later") << QList<int>{1000, 1001} << QStringList{setup, instructions} << true;
        // An answer without a row ends the guide without marking anything.
        QTest::newRow("setup closed") << QList<int>{0} << QStringList{setup} << false;
    }

    void setupDialogRoads()
    {
        QFETCH(QList<int>, script);
        QFETCH(QStringList, titles);
        QFETCH(bool, markedShown);

        Rig rig(false);
        rig.presenter.script = script;
        rig.openGuide();

        QCOMPARE(rig.presenter.titles(), titles);
        QCOMPARE(rig.presenter.unscripted, 0);
        QCOMPARE(rig.pref(PermissionManager::hasShownPermissionGuideKey), markedShown);
        QVERIFY(!rig.pref(PermissionManager::permissionGuideCompletedKey));
        QCOMPARE(rig.manager->shouldShowPermissionGuide(), !markedShown);
        QCOMPARE(rig.presenter.settingsOpened, 0);
        QCOMPARE(rig.scheduler.pendingCount(), 0);   // no re-check on these roads
    }

    // The whole loop: instructions, re-check one second later, not granted, try
    // again, and finally granted.
    void instructionsRecheckLoop()
    {
        Rig rig(false);
        const QString instructions = t("setting_up_full_disk_access");
        const QString recheck = t("permission_setup");
        const QString notDetected = t("Permission Not Detected");
        const QString success = t("Success!");

        rig.presenter.script = {1000, 1000};   // set up now, open settings
        rig.openGuide();
        QCOMPARE(rig.presenter.settingsOpened, 1);
        QCOMPARE(rig.presenter.titles().constLast(), instructions);

        // Nothing before the second is up.
        rig.scheduler.advance(999ms);
        QCOMPARE(rig.presenter.dialogs.size(), 2);

        rig.presenter.script = {1000, 1000, 1000};   // check, try again, open settings
        const int probesBefore = rig.helper->probeCount();
        rig.scheduler.advance(1ms);
        QCOMPARE(rig.presenter.titles().mid(2), (QStringList{recheck, notDetected, instructions}));
        // The re-check probed although the cached answer was still young.
        QCOMPARE(rig.helper->probeCount(), probesBefore + 1);
        QVERIFY(!rig.manager->hasFullDiskAccess());
        QVERIFY(!rig.pref(PermissionManager::hasShownPermissionGuideKey));
        const GuideDialog &warning = rig.presenter.dialogs[3];
        QCOMPARE(warning.style, GuideDialog::Style::warning);
        QCOMPARE(warning.message, t(kNotDetectedKey));
        QCOMPARE(warning.buttons, (QStringList{t("Try Again"), t("Continue Without Permission")}));
        QCOMPARE(rig.presenter.settingsOpened, 2);

        // The user sets things up; the second re-check comes a second after the second opening.
        *rig.access = true;
        rig.presenter.script = {1000, 1000};   // check, start cleaning
        rig.scheduler.advance(999ms);
        QCOMPARE(rig.presenter.dialogs.size(), 5);
        rig.scheduler.advance(1ms);
        QCOMPARE(rig.presenter.titles().mid(5), (QStringList{recheck, success}));
        QCOMPARE(rig.presenter.dialogs.constLast().message, t(kExcellentKey));
        QCOMPARE(rig.presenter.dialogs.constLast().buttons, QStringList{t("Start Cleaning")});

        QVERIFY(rig.manager->hasFullDiskAccess());
        QVERIFY(!rig.manager->shouldShowPermissionGuide());
        QVERIFY(rig.pref(PermissionManager::hasShownPermissionGuideKey));
        QVERIFY(rig.pref(PermissionManager::permissionGuideCompletedKey));
        QCOMPARE(rig.presenter.unscripted, 0);
        QCOMPARE(rig.scheduler.pendingCount(), 0);
    }

    void recheckDialogRoads_data()
    {
        QTest::addColumn<QList<int>>("script");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<bool>("markedShown");

        const QString recheck = t("permission_setup");
        QTest::newRow("skip") << QList<int>{1002} << QStringList{recheck} << true;
        QTest::newRow("need help, continue without")
            << QList<int>{1001, 1001} << QStringList{recheck, t("about_full_disk_access_title")} << true;
        QTest::newRow("check, continue without permission")
            << QList<int>{1000, 1001} << QStringList{recheck, t("Permission Not Detected")} << true;
        QTest::newRow("closed") << QList<int>{0} << QStringList{recheck} << false;
    }

    void recheckDialogRoads()
    {
        QFETCH(QList<int>, script);
        QFETCH(QStringList, titles);
        QFETCH(bool, markedShown);

        Rig rig(false);
        rig.presenter.script = script;
        rig.manager->scheduleRecheckAlert();
        rig.scheduler.advance(1s);

        QCOMPARE(rig.presenter.titles(), titles);
        QCOMPARE(rig.presenter.dialogs.constFirst().buttons,
                 (QStringList{t("check_permission"), t("need_help"), t("skip_for_now")}));
        QCOMPARE(rig.pref(PermissionManager::hasShownPermissionGuideKey), markedShown);
        QVERIFY(!rig.pref(PermissionManager::permissionGuideCompletedKey));
        QVERIFY(!rig.manager->hasFullDiskAccess());
    }

    // The English sentences used as keys must find their table entries; a key
    // that does not match exactly would show the raw sentence.
    void sentenceKeysAreTranslated()
    {
        for (const char *key : {kGreatKey, kExcellentKey, kNotDetectedKey})
            QVERIFY2(t(key) != QString::fromUtf8(key), key);
        Rig rig(true);
        rig.openGuide();
        QCOMPARE(rig.presenter.dialogs.constFirst().message, t(kGreatKey));
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

    // The app's presenter: texts shown as plain text, buttons in order, the
    // pressed one's answer.
    void messageBoxPresenter()
    {
        MessageBoxDialogPresenter presenter;
        GuideDialog dialog;
        dialog.title = QStringLiteral("<b>Title</b>");
        dialog.message = QStringLiteral("Line one\n<i>two</i>");
        dialog.buttons = {QStringLiteral("First"), QStringLiteral("Second"), QStringLiteral("Third")};
        dialog.style = GuideDialog::Style::warning;

        QStringList problems;
        const auto inspectAndPress = [&](const QString &press) {
            QTimer::singleShot(0, [&problems, press] {
                QMessageBox *box = nullptr;
                for (QWidget *widget : QApplication::topLevelWidgets()) {
                    if (auto *candidate = qobject_cast<QMessageBox *>(widget); candidate && candidate->isVisible())
                        box = candidate;
                }
                if (!box) {
                    problems << QStringLiteral("no message box");
                    return;
                }
                if (box->text() != u"<b>Title</b>" || box->textFormat() != Qt::PlainText)
                    problems << QStringLiteral("title not plain");
                const auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
                if (box->informativeText() != u"Line one\n<i>two</i>" || !informative
                    || informative->textFormat() != Qt::PlainText)
                    problems << QStringLiteral("message not plain");
                if (box->icon() != QMessageBox::Warning)
                    problems << QStringLiteral("not a warning");
                if (!box->defaultButton() || box->defaultButton()->text() != u"First")
                    problems << QStringLiteral("first button is not the default");
                if (press.isEmpty()) {
                    box->reject();
                    return;
                }
                for (QAbstractButton *button : box->buttons()) {
                    if (button->text() == press)
                        button->click();
                }
            });
        };

        inspectAndPress(QStringLiteral("Second"));
        QCOMPARE(presenter.runModal(dialog), 1001);
        inspectAndPress(QStringLiteral("Third"));
        QCOMPARE(presenter.runModal(dialog), 1002);
        // Closed without a button: an answer no dialog acts on.
        inspectAndPress(QString());
        QCOMPARE(presenter.runModal(dialog), 0);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u", ")));

        // There is no settings page to open on this desktop.
        QVERIFY(!presenter.openPrivilegedAccessSettings());
    }

    void markingWritesPreferences()
    {
        Rig rig(false);
        QSignalSpy offer(rig.manager.get(), &PermissionManager::shouldShowPermissionGuideChanged);
        rig.manager->markGuideAsShown();
        QCOMPARE(offer.size(), 1);
        QCOMPARE(offer.constFirst().constFirst().toBool(), false);

        // The file holds it, not only the memory.
        Preferences reread(rig.preferences->filePath());
        QCOMPARE(reread.boolValue(PermissionManager::hasShownPermissionGuideKey), std::optional<bool>(true));
        QCOMPARE(reread.boolValue(PermissionManager::permissionGuideCompletedKey), std::nullopt);

        rig.manager->markGuideAsCompleted();
        reread.reload();
        QCOMPARE(reread.boolValue(PermissionManager::permissionGuideCompletedKey), std::optional<bool>(true));
        QVERIFY(rig.manager->hasFullDiskAccess());
    }
};

SWEEPBROOK_TEST_MAIN(TestPermissionManager)
#include "test_permission_manager.moc"
