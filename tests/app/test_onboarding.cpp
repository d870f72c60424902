// The first-run guide on virtual time over a privileged-deletion state the
// test decides: its steps, buttons and indicator, the fade from step to step,
// the watch after the set-up button (granted at a tick, never granted, the
// window closed or gone while it runs), the re-check's spinner, a language
// change, completion, and the launch that opens the guide until it is
// finished, every control Tab reaches on its pages showing its focus. Grabs of
// every page in English and Chinese land in the build folder.

#include "app/AppInfoManager.h"
#include "app/OnboardingFlow.h"
#include "app/OnboardingView.h"
#include "app/SweepbrookApp.h"
#include "localization/Localization.h"
#include "toolkit/Motion.h"
#include "toolkit/Toolkit.h"

#include "AppRig.h"
#include "FakeMachine.h"
#include "KeyboardChecks.h"
#include "StdoutCapture.h"
#include "TestMain.h"

#include <QAction>
#include <QPushButton>
#include <QSignalSpy>
#include <QWindow>

using namespace std::chrono_literals;
using testsupport::AppRig;

namespace {

const QString timeoutLine = QStringLiteral("OnboardingView: Permission check timeout after 15 attempts");

struct GuideRig : AppRig
{
    std::unique_ptr<OnboardingFlow> flow;
    std::unique_ptr<OnboardingView> view;

    explicit GuideRig(bool hasAccess = false, bool viaPkexec = false) : AppRig(hasAccess, viaPkexec)
    {
        flow = std::make_unique<OnboardingFlow>(*permissions, *helper, clock, prefs);
        view = std::make_unique<OnboardingView>(*flow, center);
        view->show();
    }

    QAbstractButton *button(const char *name) const { return view->findChild<QAbstractButton *>(name); }
    bool has(const char *name) const { return view->findChild<QWidget *>(name) != nullptr; }
    void press(const char *name)
    {
        QAbstractButton *target = button(name);
        QVERIFY2(target && target->isEnabled(), name);
        target->click();
        clock.runDue();
        settle();
    }
    bool mainEnabled() const { return button("onboardingMainButton")->isEnabled(); }

    // The step indicator in short: each circle's mark and colour.
    QString indicator() const
    {
        QStringList items;
        for (int i = 0; i < 3; ++i) {
            const QWidget *circle = view->findChild<QWidget *>(QStringLiteral("stepCircle%1").arg(i));
            const QColor fill = circle->property("fill").value<QColor>();
            const QString colour = fill == ui::color(ui::NamedColor::green)  ? QStringLiteral("green")
                                   : fill == ui::color(ui::NamedColor::blue) ? QStringLiteral("blue")
                                                                             : QStringLiteral("faded");
            const bool checked = !circle->property("symbol").toString().isEmpty();
            items << (checked ? QStringLiteral("✓") : circle->property("text").toString()) + colour;
        }
        return items.join(u' ');
    }
};

} // namespace

class TestOnboarding : public QObject
{
    Q_OBJECT

private slots:
    void stepsButtonsAndIndicator()
    {
        GuideRig rig;
        QCOMPARE(rig.indicator(), QStringLiteral("1blue 2faded 3faded"));
        QVERIFY(!rig.has("onboardingBackButton"));
        QCOMPARE(rig.button("onboardingMainButton")->text(), localized(QStringLiteral("continue")));
        QVERIFY(rig.mainEnabled());
        // A main action: in the accent, its focus shown on it, Enter presses it.
        const QPointer<ui::PaintedButton> next = qobject_cast<ui::PaintedButton *>(rig.button("onboardingMainButton"));
        QVERIFY(next && next->fill() == ui::prominentColors(QApplication::palette()).fill);
        const QColor accent = next->fill();
        QVERIFY(testsupport::showsFocus(next));

        // Forward from welcome looks afresh (the cached answer is dropped).
        const int before = rig.probes();
        QVERIFY(testsupport::pressedByKeys(next, {Qt::Key_Return}));
        rig.clock.runDue();
        rig.settle();
        QCOMPARE(rig.flow->currentStep(), OnboardingFlow::Step::permissions);
        QCOMPARE(rig.probes(), before + 1);
        QCOMPARE(rig.indicator(), QStringLiteral("✓green 2blue 3faded"));
        QVERIFY(rig.has("onboardingBackButton") && rig.has("permissionRefreshButton"));
        QVERIFY(!rig.has("permissionVerifiedButton"));
        // The page's own action is a main action too.
        QAbstractButton *grant = rig.button("permissionGrantButton");
        QCOMPARE(grant->grab().toImage().pixelColor(12, grant->height() / 2), accent);
        QVERIFY(testsupport::showsFocus(grant));

        // The set-up button opens the desktop's guide and disables what depends on the check.
        rig.press("permissionGrantButton");
        QCOMPARE(rig.presenter.titles, QStringList{localized(QStringLiteral("full_disk_access_setup_title"))});
        QVERIFY(!rig.mainEnabled());
        QVERIFY(!rig.button("permissionGrantButton")->isEnabled());
        QVERIFY(!rig.has("permissionRefreshButton") && rig.has("permissionCardSpinner"));

        // Back stays usable; welcome's button is never held; forward again waits for the watch.
        rig.press("onboardingBackButton");
        QCOMPARE(rig.flow->currentStep(), OnboardingFlow::Step::welcome);
        QVERIFY(rig.mainEnabled());
        rig.press("onboardingMainButton");
        QVERIFY(!rig.mainEnabled());
        rig.advance(33s);
        QVERIFY(rig.mainEnabled());

        // On without the grant: the closing page says what is skipped.
        rig.press("onboardingMainButton");
        QCOMPARE(rig.indicator(), QStringLiteral("✓green ✓green 3blue"));
        QCOMPARE(rig.button("onboardingMainButton")->text(), localized(QStringLiteral("get_started")));
        QVERIFY(testsupport::shownTexts(rig.view.get())
                    .contains(localized(QStringLiteral("sweepbrook_ready_manual_deletion"))));
        rig.press("onboardingBackButton");
        QCOMPARE(rig.flow->currentStep(), OnboardingFlow::Step::permissions);
        rig.press("onboardingMainButton");

        // Finishing (Enter on "Get Started") stores both flags and asks the host to close.
        QSignalSpy finished(rig.flow.get(), &OnboardingFlow::finished);
        testsupport::StdoutCapture out;
        QVERIFY(testsupport::pressedByKeys(rig.button("onboardingMainButton"), {Qt::Key_Enter}));
        QCOMPARE(finished.count(), 1);
        QVERIFY(out.lines().contains(QStringLiteral("🎆 Onboarding完成")));
        const Preferences stored(rig.prefs.filePath());
        QVERIFY(stored.boolean(OnboardingFlow::hasCompletedOnboardingKey));
        QVERIFY(stored.boolean(OnboardingFlow::justCompletedOnboardingKey));
    }

    // With the fade drawn: the new step is there at once and its buttons take
    // clicks through the fading picture; back cuts the fade short, and the
    // guide ends as it was drawn before, with no picture left over it.
    void stepChangeFades()
    {
        const testsupport::RunningTransitions drawn;
        GuideRig rig;
        const QImage welcome = rig.view->grab().toImage();
        rig.press("onboardingMainButton");
        QCOMPARE(rig.flow->currentStep(), OnboardingFlow::Step::permissions);
        QCOMPARE(rig.indicator(), QStringLiteral("✓green 2blue 3faded"));
        QVERIFY(rig.view->findChild<QWidget *>(QStringLiteral("crossfadeCover")));

        QWidget *back = rig.button("onboardingBackButton");
        QTest::mouseClick(rig.view->windowHandle(), Qt::LeftButton, {}, back->mapTo(rig.view.get(), back->rect().center()));
        rig.clock.runDue();
        QCOMPARE(rig.flow->currentStep(), OnboardingFlow::Step::welcome);
        ui::motion::finishAll();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!rig.view->findChild<QWidget *>(QStringLiteral("crossfadeCover")));
        QCOMPARE(rig.indicator(), QStringLiteral("1blue 2faded 3faded"));
        QVERIFY(!rig.has("onboardingBackButton"));
        QCOMPARE(rig.view->grab().toImage(), welcome);

        // A redraw in place during the fade (a language change) stays under the picture.
        rig.press("onboardingMainButton");
        rig.language.setLanguage(AppLanguage::chinese);
        QWidget *top = nullptr;
        for (QObject *child : rig.view->children())
            top = child->isWidgetType() ? static_cast<QWidget *>(child) : top;
        QCOMPARE(top->objectName(), QStringLiteral("crossfadeCover"));
    }

    void watchAfterSetUp_data()
    {
        QTest::addColumn<int>("grantedBeforeTick");   // 0: never
        QTest::newRow("granted before the third look") << 3;
        QTest::newRow("granted before the last look") << 15;
        QTest::newRow("never granted") << 0;
    }
    void watchAfterSetUp()
    {
        QFETCH(int, grantedBeforeTick);
        GuideRig rig;
        rig.press("onboardingMainButton");
        testsupport::StdoutCapture out;
        rig.press("permissionGrantButton");
        const int base = rig.probes();
        const int lastTick = grantedBeforeTick ? grantedBeforeTick : OnboardingFlow::maxAttempts;

        // The first look comes 5 s after the press, then one every 2 s.
        rig.advance(4999ms);
        QCOMPARE(rig.probes(), base);
        for (int tick = 1; tick <= OnboardingFlow::maxAttempts + 2; ++tick) {
            if (tick == grantedBeforeTick)
                rig.granted->store(true);
            rig.advance(tick == 1 ? 1ms : 2000ms);
            QCOMPARE(rig.probes() - base, std::min(tick, lastTick));
            QCOMPARE(rig.flow->isCheckingPermission(), tick < lastTick);
        }
        QCOMPARE(out.lines().count(timeoutLine), grantedBeforeTick ? 0 : 1);
        // The page shows what the last look found, and continuing is possible again.
        QCOMPARE(rig.has("permissionVerifiedButton"), grantedBeforeTick != 0);
        QVERIFY(rig.mainEnabled());
    }

    void watchOutlivesTheWindow()
    {
        AppRig rig;
        auto *flow = new OnboardingFlow(*rig.permissions, *rig.helper, rig.clock, rig.prefs);
        std::unique_ptr<QWidget> window(makeOnboardingWindow(flow, rig.center));
        window->show();
        const auto press = [&](const char *name) {
            auto *target = window->findChild<QAbstractButton *>(name);
            QVERIFY2(target && target->isEnabled(), name);
            target->click();
            rig.clock.runDue();
            rig.settle();
        };
        press("onboardingMainButton");
        testsupport::StdoutCapture out;
        press("permissionGrantButton");
        const int base = rig.probes();

        // Closed: only hidden, the watch goes on.
        rig.advance(7s);
        window->close();
        QVERIFY(!window->isVisible());
        rig.advance(6s);
        QCOMPARE(rig.probes() - base, 5);
        QVERIFY(flow->isCheckingPermission());

        // Gone, guide and all: the watch runs to its end and touches nothing freed.
        window.reset();
        rig.advance(30s);
        QCOMPARE(rig.probes() - base, OnboardingFlow::maxAttempts);
        QCOMPARE(out.lines().count(timeoutLine), 1);
    }

    // The pages say what the check found, and no more: the app runs as root,
    // or pkexec and a polkit authority answer.
    void recheckHoldsItsSpinnerOneSecond_data()
    {
        QTest::addColumn<bool>("asRoot");
        QTest::newRow("as root") << true;
        QTest::newRow("through pkexec") << false;
    }

    void recheckHoldsItsSpinnerOneSecond()
    {
        QFETCH(bool, asRoot);
        const QString root = asRoot ? QStringLiteral("_root") : QString();
        GuideRig rig(true, !asRoot);
        rig.press("onboardingMainButton");
        QVERIFY(rig.has("permissionVerifiedButton") && !rig.has("permissionGrantButton"));
        const QStringList shown = testsupport::shownTexts(rig.view.get());
        for (const QString key : {"permission_verified", "permission_granted", "sweepbrook_can_clean_all_types"})
            QVERIFY2(shown.contains(localized(key + root)), qPrintable(key + root));
        const int before = rig.probes();
        rig.press("permissionVerifiedButton");
        QCOMPARE(rig.probes(), before + 1);
        QVERIFY(!rig.mainEnabled() && rig.has("permissionCardSpinner"));
        rig.advance(999ms);
        QVERIFY(!rig.mainEnabled());
        rig.advance(1ms);
        QVERIFY(rig.mainEnabled() && rig.has("permissionRefreshButton"));

        // The closing page reads the state when drawn.
        rig.press("onboardingMainButton");
        QVERIFY(testsupport::shownTexts(rig.view.get()).contains(localized(QStringLiteral("sweepbrook_ready_all_types") + root)));
    }

    void languageChangeRedrawsInPlace()
    {
        GuideRig rig;
        rig.press("onboardingMainButton");
        rig.press("permissionGrantButton");
        rig.language.setLanguage(AppLanguage::chinese);
        QCOMPARE(rig.flow->currentStep(), OnboardingFlow::Step::permissions);
        QVERIFY(!rig.mainEnabled());
        QCOMPARE(rig.button("onboardingMainButton")->text(), QStringLiteral("继续"));
        QVERIFY(testsupport::shownTexts(rig.view.get()).contains(QStringLiteral("管理员删除不可用")));
    }

    void launchOpensTheGuideUntilFinished()
    {
        testsupport::FakeMachine machine;
        machine.writeMountInfo();
        AppRig rig;
        // The window title follows the desktop's language, the pages the app's.
        SystemLanguage::setLocaleNameOverride(QStringLiteral("zh_CN.UTF-8"));
        const auto restoreLocale = qScopeGuard([] { SystemLanguage::setLocaleNameOverride(std::nullopt); });
        const auto launch = [&] { return rig.launchApp(machine); };

        auto app = launch();
        // The About command toggles its window.
        app->aboutAction()->trigger();
        QVERIFY(app->delegate().aboutWindows().infoWindow()->isVisible());
        app->aboutAction()->trigger();
        QVERIFY(!app->delegate().aboutWindows().infoWindow());

        rig.advance(499ms);
        QVERIFY(!app->delegate().onboardingWindow());
        rig.advance(1ms);
        QWidget *window = app->delegate().onboardingWindow();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("欢迎使用 Sweepbrook"));
        QVERIFY(!(window->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

        for (int step = 0; step < 3; ++step) {
            auto *next = window->findChild<QAbstractButton *>(QStringLiteral("onboardingMainButton"));
            // Every control Tab reaches on the page shows its focus, and the page itself is none of them.
            QVERIFY(testsupport::tabStops(window).contains(next));
            QCOMPARE(testsupport::stopsShowingNoFocus(window), QStringList());
            QCOMPARE(next->text(), step < 2 ? QStringLiteral("Continue") : QStringLiteral("Get Started"));
            next->click();
            rig.clock.runDue();
            rig.settle();
        }
        QVERIFY(!window->isVisible());
        QVERIFY(rig.prefs.boolean(OnboardingFlow::hasCompletedOnboardingKey));
        app.reset();

        app = launch();
        rig.advance(2s);
        QVERIFY(!app->delegate().onboardingWindow());
    }

    void grabsInBothLanguages()
    {
        QHash<QString, QStringList> english;
        for (const AppLanguage language : {AppLanguage(AppLanguage::english), AppLanguage(AppLanguage::chinese)}) {
            GuideRig rig;
            rig.language.setLanguage(language);
            const QString code = language.rawValue();
            for (const QString &page : {QStringLiteral("welcome"), QStringLiteral("permissions"),
                                        QStringLiteral("complete")}) {
                QVERIFY(rig.view->grab().save(testsupport::grabPath(QStringLiteral("onboarding-%1-%2.png").arg(page, code))));
                const QStringList texts = testsupport::shownTexts(rig.view.get());
                if (language == AppLanguage::english) {
                    english[page] = texts;
                } else {
                    // Every text is translated: none reads as its English.
                    QCOMPARE(texts.size(), english[page].size());
                    for (qsizetype i = 0; i < texts.size(); ++i)
                        QVERIFY2(texts[i] != english[page][i], qPrintable(texts[i]));
                }
                if (page != QLatin1String("complete"))
                    rig.press("onboardingMainButton");
            }
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestOnboarding)
#include "test_onboarding.moc"
