// The clean-on-insert sheet on its own: which key or click chooses what, that
// one choice runs one action, and that its texts follow the interface language.

#include "localization/Localization.h"
#include "mainwindow/views/CleanPromptView.h"

#include "FakeDeviceService.h"
#include "TestMain.h"

#include <QAbstractButton>
#include <QDir>
#include <QEnterEvent>
#include <QLabel>

using namespace std::chrono_literals;

namespace {

using Step = std::function<void(CleanPromptView &)>;

// One prompt on virtual time with its own language and counters per action.
struct Prompt : testsupport::WindowBasics
{
    int scans = 0;
    int cleans = 0;
    int ignores = 0;
    std::unique_ptr<CleanPromptView> view;

    explicit Prompt(const QString &deviceName = QStringLiteral("STICK"))
    {
        Scheduler::setShared(&clock);
        LanguageManager::setShared(&language);
        language.setLanguage(AppLanguage::fromRawValue(QStringLiteral("en")).value());
        view = std::make_unique<CleanPromptView>(deviceName, [this] { ++scans; }, [this] { ++cleans; },
                                                 [this] { ++ignores; }, language);
        view->show();
        clock.advance(100ms);   // it animates in after a moment
    }
    ~Prompt()
    {
        view.reset();
        LanguageManager::setShared(nullptr);
        Scheduler::setShared(nullptr);
    }

    QAbstractButton *element(const char *name) const { return view->findChild<QAbstractButton *>(name); }
    void hover(const char *name, bool inside)
    {
        QWidget *widget = element(name);
        if (inside) {
            QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
            QCoreApplication::sendEvent(widget, &enter);
        } else {
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(widget, &leave);
        }
    }
    QStringList texts() const
    {
        QStringList all;
        for (const QLabel *label : view->findChildren<QLabel *>())
            all << label->text();
        for (const QAbstractButton *button : view->findChildren<QAbstractButton *>())
            all << button->text() << button->accessibleDescription();
        return all;
    }
};

} // namespace

Q_DECLARE_METATYPE(Step)

class TestCleanPrompt : public QObject
{
    Q_OBJECT

private slots:
    // Each way of choosing runs exactly its action, 0.2 s later, and closes the sheet.
    void choices_data()
    {
        QTest::addColumn<Step>("choose");
        QTest::addColumn<QString>("runs");   // "scan", "clean" or "ignore"
        const auto key = [](Qt::Key pressed, Qt::KeyboardModifiers modifiers = {}) {
            return Step([=](CleanPromptView &view) { QTest::keyClick(&view, pressed, modifiers); });
        };
        const auto click = [](const char *name) {
            return Step([=](CleanPromptView &view) { QTest::mouseClick(view.findChild<QWidget *>(name), Qt::LeftButton); });
        };
        QTest::newRow("Return, pointer over Clean") << key(Qt::Key_Return) << "scan";
        QTest::newRow("Enter on the keypad") << key(Qt::Key_Enter, Qt::KeypadModifier) << "scan";
        QTest::newRow("Return with the focus on Clean") << Step([](CleanPromptView &view) {
            QWidget *clean = view.findChild<QWidget *>("cleanCard");
            clean->setFocus();
            QTest::keyClick(clean, Qt::Key_Return);
        }) << "scan";
        QTest::newRow("Escape") << key(Qt::Key_Escape) << "ignore";
        QTest::newRow("close button") << Step([](CleanPromptView &view) { view.close(); }) << "ignore";
        QTest::newRow("click Scan") << click("scanCard") << "scan";
        QTest::newRow("click Clean") << click("cleanCard") << "clean";
        QTest::newRow("click Ignore") << click("ignoreButton") << "ignore";
    }

    void choices()
    {
        QFETCH(Step, choose);
        QFETCH(QString, runs);
        Prompt prompt;
        QVERIFY(prompt.view->showContent());
        prompt.hover("cleanCard", true);
        QCOMPARE(prompt.view->hoverOption(), CleanPromptView::Option::clean);

        int closed = 0;
        connect(prompt.view.get(), &QDialog::finished, this, [&closed] { ++closed; });
        choose(*prompt.view);
        QVERIFY(!prompt.view->showContent());
        QCOMPARE(prompt.scans + prompt.cleans + prompt.ignores, 0);   // not before the fade-out
        prompt.clock.advance(200ms);
        QCOMPARE((QList<int>{prompt.scans, prompt.cleans, prompt.ignores}),
                 (QList<int>{runs == "scan", runs == "clean", runs == "ignore"}));
        QCOMPARE(closed, 1);
        QVERIFY(!prompt.view->isVisible());
    }

    // A second choice during the fade-out is ignored: one action, one close.
    void firstChoiceLocks()
    {
        Prompt prompt;
        int closed = 0;
        connect(prompt.view.get(), &QDialog::finished, this, [&closed] { ++closed; });
        QTest::mouseClick(prompt.element("cleanCard"), Qt::LeftButton);
        prompt.clock.advance(100ms);
        QTest::keyClick(prompt.view.get(), Qt::Key_Return);
        QTest::mouseClick(prompt.element("scanCard"), Qt::LeftButton);
        QTest::keyClick(prompt.view.get(), Qt::Key_Escape);
        prompt.view->choose(CleanPromptView::Option::ignore);
        prompt.clock.advance(1s);
        QCOMPARE((QList<int>{prompt.scans, prompt.cleans, prompt.ignores}), (QList<int>{0, 1, 0}));
        QCOMPARE(closed, 1);
    }

    void hoverIsOneElementAtATime()
    {
        Prompt prompt;
        prompt.hover("scanCard", true);
        prompt.hover("cleanCard", true);
        prompt.hover("scanCard", false);   // the late leave of the first card
        QCOMPARE(prompt.view->hoverOption(), CleanPromptView::Option::clean);
        prompt.hover("cleanCard", false);
        QVERIFY(!prompt.view->hoverOption());
    }

    void followsTheLanguageWhileOpen()
    {
        Prompt prompt(QStringLiteral("<b>%1$@ STICK</b>"));
        const QString name = prompt.view->deviceName();
        const auto expected = [&] {
            return QStringList{localized(QStringLiteral("clean_prompt_title")),
                               format(localized(QStringLiteral("clean_prompt_message")), name),
                               localized(QStringLiteral("scan_now")), localized(QStringLiteral("scan_device")),
                               localized(QStringLiteral("clean_now")), localized(QStringLiteral("clean_device")),
                               localized(QStringLiteral("ignore"))};
        };
        const QStringList english = expected();
        for (const QString &text : english)
            QVERIFY2(prompt.texts().contains(text), qPrintable(text));
        QVERIFY(english.at(1).contains(name));   // the name is shown as it is
        QTest::qWait(700);   // the appearing animation runs on real time; the grab is for review only
        const QString grabs = QCoreApplication::applicationDirPath() + QStringLiteral("/grabs");
        QDir().mkpath(grabs);
        prompt.view->grab().save(grabs + QStringLiteral("/clean-prompt.png"));

        prompt.language.setLanguage(AppLanguage::fromRawValue(QStringLiteral("zh-Hans")).value());
        const QStringList chinese = expected();
        QVERIFY(chinese.first() != english.first());
        for (const QString &text : chinese)
            QVERIFY2(prompt.texts().contains(text), qPrintable(text));
        for (const QLabel *label : prompt.view->findChildren<QLabel *>())
            QCOMPARE(label->textFormat(), Qt::PlainText);
    }
};

SWEEPBROOK_TEST_MAIN(TestCleanPrompt)
#include "test_clean_prompt.moc"
