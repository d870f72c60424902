// Every window in each of the fourteen interface choices, laid out for real:
// the main window in each of its states with its banner, eject badge, alerts
// and clean-on-insert prompt, the settings sheet with a kind's popover and an
// update on offer, the history with a record and its confirmation, the About
// sheet and window, the first-run guide's pages and the guide's dialogs. In
// none is a text cut: a label gets the room its text needs, a button its
// whole label. Grabs of each land in build/tests/app/grabs/languages/<code>
// (languages@2x/<code> from the run at QT_SCALE_FACTOR=2).
// Arabic lays the windows out right to left and back on a change of language,
// and its file list and header read names, paths and sizes in their own order.

#include "app/AboutSheet.h"
#include "app/AppInfoManager.h"
#include "app/OnboardingFlow.h"
#include "app/OnboardingView.h"
#include "app/SweepbrookApp.h"
#include "history/HistoryStore.h"
#include "history/views/CleanHistoryDetailView.h"
#include "history/views/CleanHistoryView.h"
#include "history/views/HistorySheet.h"
#include "localization/Bidi.h"
#include "localization/Localization.h"
#include "mainwindow/views/CleanPromptView.h"
#include "mainwindow/views/MainWindow.h"
#include "mainwindow/views/SidebarView.h"
#include "toolkit/FileTypeInfoPopover.h"
#include "settings/SettingsStore.h"
#include "settings/views/SettingsView.h"
#include "settings/views/UpdateCheckView.h"
#include "settings/views/WhatsNewView.h"

#include "AppRig.h"
#include "FakeDeviceService.h"
#include "FakeMachine.h"
#include "LocalHttpServer.h"
#include "TestMain.h"
#include "TextFit.h"

#include <QAction>
#include <QListView>
#include <QRegularExpression>
#include <QScrollArea>
#include <QMessageBox>
#include <QPointer>
#include <QTreeView>
#include <QVariantAnimation>

using namespace std::chrono_literals;

namespace {

LocalUSBDevice stick(const QString &name, bool accessible = true)
{
    LocalUSBDevice device = testsupport::makeDevice(name, accessible);
    device.fileSystem = QStringLiteral("FAT32");
    device.vendorName = QStringLiteral("SanDisk");
    device.model = QStringLiteral("Cruzer Blade");
    device.serialNumber = QStringLiteral("4C530001");
    device.capacity = 32'000'000'000;
    device.available = 8'000'000'000;
    return device;
}

FileItem junk(const QString &path, qint64 size)
{
    return FileItem::fromPath(path, size);
}

ScanResult found(const QString &root)
{
    ScanResult result;
    result[FileType::dsStore] = {junk(root + QStringLiteral("/.DS_Store"), 6148),
                                 junk(root + QStringLiteral("/Photos/2024/.DS_Store"), 6148)};
    result[FileType::temporaryFiles] = {junk(root + QStringLiteral("/._IMG_0001.JPG"), 4096)};
    result[FileType::thumbsDb] = {junk(root + QStringLiteral("/DCIM/Thumbs.db"), 120'000)};
    result[FileType::custom] = {junk(root + QStringLiteral("/backup/report.bak"), 2'500'000)};
    return result;
}

QList<CleanHistory> history()
{
    CleanHistory record;
    record.id = QUuid::fromString(QStringLiteral("00000000-0000-4000-8000-000000000001"));
    record.deviceName = QStringLiteral("SWEEPSTICK");
    record.deviceID = QStringLiteral("/media/SWEEPSTICK|sdb1");
    record.timestamp = QDateTime(QDate(2024, 11, 28), QTime(16, 45));
    record.fileTypes = {QStringLiteral("dsStore"), QStringLiteral("thumbsDb"), QStringLiteral("trash"),
                        QStringLiteral("spotlight"), QStringLiteral("temporaryFiles"), QStringLiteral("custom")};
    record.cleanedFiles = {{QStringLiteral(".DS_Store"), QStringLiteral("/media/SWEEPSTICK/.DS_Store"), 6148,
                            QStringLiteral("dsStore")},
                           {QStringLiteral("Thumbs.db"), QStringLiteral("/media/SWEEPSTICK/DCIM/Thumbs.db"), 120'000,
                            QStringLiteral("thumbsDb")}};
    record.cleanedFileCount = int(record.cleanedFiles.size());
    record.freedSpace = 126'148;
    return {record};
}

// Each name, in the shown label whose text holds it, reads as written: the
// runs the label paints show it from left to right as it is written.
void readsAsWritten(const QWidget *window, const QStringList &names)
{
    for (const QString &name : names) {
        QLabel *holder = nullptr;
        for (QLabel *label : window->findChildren<QLabel *>()) {
            if (label->isVisible() && label->text().contains(name)) {
                holder = label;
                break;
            }
        }
        QVERIFY2(holder, qPrintable(name));
        const testsupport::Reading reading = testsupport::readingOf(holder, name);
        QVERIFY2(reading.asWritten && reading.reorderedReadsOtherwise,
                 qPrintable(QStringLiteral("%1 in \"%2\" reads%3 as written%4, painted as: %5")
                                .arg(name, holder->text(), reading.asWritten ? QString() : QStringLiteral(" not"),
                                     reading.reorderedReadsOtherwise ? QString() : QStringLiteral(" (and the same reordered)"),
                                     reading.lines.join(QStringLiteral(" | ")))));
    }
}

// The widget draws `name` whole in each of the `runs` runs of text that hold
// it: no clip cuts into their lines, and their underscores show.
void drawnWhole(QWidget *widget, const QString &name, int runs)
{
    const testsupport::NameDrawn drawn = testsupport::nameDrawn(widget, name);
    QVERIFY2(drawn.runs == runs && drawn.lineCut < 0.01 && drawn.underscoreShown == 1,
             qPrintable(QStringLiteral("%1: %2 runs, lines cut by %3 px, %4 of the underscores shown")
                            .arg(name).arg(drawn.runs).arg(drawn.lineCut).arg(drawn.underscoreShown)));
}

// A presenter that keeps every guide dialog and answers with the next
// scripted button (1000 for the first), so one walk shows them all.
class ScriptedPresenter final : public DialogPresenter
{
public:
    QList<GuideDialog> shown;
    QList<int> answers;
    int runModal(const GuideDialog &dialog) override
    {
        shown << dialog;
        return answers.isEmpty() ? 0 : answers.takeFirst();
    }
    bool openPrivilegedAccessSettings() override { return false; }
};

// The whole app over fake devices on virtual time, in one language at a time.
struct Rig : testsupport::WindowRig
{
    std::shared_ptr<std::atomic<bool>> granted = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<SystemCleanHelper> helper;
    ScriptedPresenter presenter;
    std::unique_ptr<PermissionManager> permissions;
    std::unique_ptr<MainWindow> window;
    HistorySheet *historySheet = nullptr;
    QString code;          // the language's code, for the grabs' folder
    QStringList cut;       // every text found cut, with its window and state
    int widest = 0;        // the main window's width in the language

    Rig()
    {
        Scheduler::setShared(&clock);
        LanguageManager::setShared(&language);
        SystemCleanHelper::ProbeEnvironment env;
        env.isRoot = [flag = granted] { return flag->load(); };
        env.pkexecPath = dir.filePath(QStringLiteral("no-pkexec"));
        env.adminTool = findExecutable(QStringLiteral("true"));
        helper = std::make_unique<SystemCleanHelper>(clock, env);
        helper->setDialogPresenter(&presenter);
        SystemCleanHelper::setShared(helper.get());
        permissions = std::make_unique<PermissionManager>(prefs, *helper, clock, presenter);
        PermissionManager::setShared(permissions.get());
        [this] { QVERIFY(clock.settle()); }();

        SettingsStore settings(prefs);
        settings.setPromptCleanOnInsert(true);
        settings.saveCustomExtensions({QStringLiteral("bak"), QStringLiteral("old")});
        settings.saveExcludedPatterns({QStringLiteral("*.docx"), QStringLiteral("keep-me.txt")});
        HistoryStore(prefs).save(history());

        window = std::make_unique<MainWindow>(view, devices, language);
        bidi::followLanguage(language, window.get());
        historySheet = new HistorySheet(view, window.get());
        new AboutSheet(view, window.get());
        window->setSettingsSheetMaker([this](QWidget *parent) { return new SettingsView(view, language, parent); });
        window->show();
        clock.runDue();
    }
    ~Rig()
    {
        window.reset();
        QGuiApplication::setLayoutDirection(Qt::LeftToRight);
        PermissionManager::setShared(nullptr);
        SystemCleanHelper::setShared(nullptr);
        LanguageManager::setShared(nullptr);
        Scheduler::setShared(nullptr);
    }

    void settle()
    {
        [this] { QVERIFY(clock.settle()); }();   // background jobs (the access probe) answer
        QCoreApplication::processEvents();        // and item views lay out their rows
        // Animations run on real time: take them to their end at once.
        for (QWidget *top : QApplication::topLevelWidgets()) {
            for (QVariantAnimation *animation : top->findChildren<QVariantAnimation *>()) {
                if (animation->state() == QAbstractAnimation::Running && animation->loopCount() == 1)
                    animation->setCurrentTime(animation->totalDuration());
            }
        }
        QCoreApplication::sendPostedEvents();
    }

    // Checks one window (and any sheet or alert over it) and keeps a grab.
    // One that is not there, or that goes while it is waited for, fails the
    // check; the walk it belongs to stops at its end.
    void check(QWidget *shown, const QString &what)
    {
        QVERIFY2(shown, qPrintable(QStringLiteral("%1 %2: not shown").arg(code, what)));
        const QPointer<QWidget> top = shown->window();
        settle();
        // A window just shown on an X server has its size once the server's
        // answers are in (a loaded machine sends them late).
        const bool exposed = QTest::qWaitFor(
            [&] { return !top || (top->windowHandle() && top->windowHandle()->isExposed()); }, testsupport::kPatience);
        QVERIFY2(top, qPrintable(QStringLiteral("%1 %2: closed before it was shown").arg(code, what)));
        QVERIFY2(exposed, qPrintable(QStringLiteral("%1 %2: never shown").arg(code, what)));
        if (QLayout *layout = top->layout())
            layout->activate();
        for (const QString &problem : testsupport::cutTexts(top))
            cut << QStringLiteral("%1 %2: %3").arg(code, what, problem);
        if (top == window.get())
            widest = std::max(widest, top->width());
        // An alert gives its message a reading width, not the width of its short heading.
        if (const auto *body = top->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")); body && body->isVisible()) {
            const int oneLine = body->fontMetrics().horizontalAdvance(body->text().section(u'\n', 0, 0));
            if (body->width() < std::min(oneLine, 300))
                cut << QStringLiteral("%1 %2: alert message %3 wide").arg(code, what).arg(body->width());
        }
        // At a device pixel ratio of 2 (the run at QT_SCALE_FACTOR=2): grabs/languages@2x.
        const QString scale = qApp->devicePixelRatio() > 1 ? QStringLiteral("@%1x").arg(qApp->devicePixelRatio()) : QString();
        const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/grabs/languages") + scale + u'/' + code;
        QDir().mkpath(folder);
        top->grab().save(folder + u'/' + what + QStringLiteral(".png"));
    }

    // Waits until `shown`'s window holds the focus (an X server under load
    // tells of it late, and of a window that closed before it did later
    // still: the app then loses the focus); false when it does not come.
    bool holdsFocus(QWidget *shown, bool activate = false)
    {
        if (activate)
            shown->activateWindow();
        const bool held = QTest::qWaitFor(
            [&] { return QGuiApplication::focusWindow() == shown->window()->windowHandle(); }, testsupport::kPatience);
        if (!held)
            qWarning() << code << shown << "never held the focus; it is at" << QGuiApplication::focusWindow();
        return held;
    }

    // A kind's popover over the settings sheet, once it shows; nullptr when
    // it does not. It closes when the app loses the focus, as a desktop's
    // popovers do: the sheet holds the focus first.
    FileTypeInfoPopover *kindPopover(SettingsView *settings, FileType type)
    {
        if (!holdsFocus(settings, true))
            return nullptr;
        settings->showInfo(type);
        settle();
        const auto shown = [settings] { return settings->infoPopover() && settings->infoPopover()->isVisible(); };
        if (QTest::qWaitFor(shown, testsupport::kPatience))
            return settings->infoPopover();
        qWarning() << code << "the popover closed; the focus is at" << QGuiApplication::focusWindow();
        return nullptr;
    }

    template <typename T> T *visible() const
    {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            QList<T *> found = top->findChildren<T *>();
            if (auto *self = qobject_cast<T *>(top))
                found.prepend(self);
            for (T *candidate : std::as_const(found)) {
                if (candidate->isVisible())
                    return candidate;
            }
        }
        return nullptr;
    }

    void plug(const QList<LocalUSBDevice> &list)
    {
        devices.setList(list);
        clock.advance(500ms);
        settle();
    }
    // A stick comes and is ready: its clean-on-insert prompt (if any) ignored.
    void insert(const LocalUSBDevice &device)
    {
        plug({device});
        clock.advance(300ms);
        if (CleanPromptView *prompt = visible<CleanPromptView>())
            prompt->choose(CleanPromptView::Option::ignore);
        clock.advance(5s);
        settle();
    }
    // A stick comes and is scanned, with `found` junk.
    void insertScanned(const LocalUSBDevice &device)
    {
        insert(device);
        view.scanDevice(device);
        settle();
        devices.scans.last().completion(found(device.path));
        settle();
    }
    void closeAlert()
    {
        if (QMessageBox *box = visible<QMessageBox>())
            box->buttons().first()->click();
        clock.advance(200ms);
        settle();
    }
};

} // namespace

class TestInterfaceLanguages : public QObject
{
    Q_OBJECT

    testsupport::LocalHttpServer updates;

private slots:
    void initTestCase()
    {
        // The settings sheet's update check asks this server: an update is on offer.
        updates.body = testsupport::json(
            "{'version': '9.9.0', 'whatsNew': 'Faster scans.', 'downloadURL': 'https://sweepbrook.example/download'}");
        qputenv("SWEEPBROOK_UPDATE_SERVER", updates.base().toUtf8());
        qputenv("no_proxy", "127.0.0.1,localhost");
        // The "system" choice follows a desktop in English.
        SystemLanguage::setLocaleNameOverride(QStringLiteral("en_US.UTF-8"));
    }

    void cleanupTestCase() { SystemLanguage::setLocaleNameOverride(std::nullopt); }

    // Each choice, each window, each state: no text cut.
    void everyWindowFitsItsTexts()
    {
        Rig rig;
        for (const AppLanguage language : AppLanguage::allCases()) {
            rig.code = language.rawValue();
            rig.widest = 0;
            rig.language.setLanguage(language);
            rig.settle();
            for (const auto walk : {&TestInterfaceLanguages::walkTheMainWindow, &TestInterfaceLanguages::walkTheSheets,
                                    &TestInterfaceLanguages::walkTheGuide}) {
                (this->*walk)(rig);
                if (QTest::currentTestFailed())
                    return;
            }
            // Long words widen the window a little (to 850 in Spanish and Russian), never far.
            QVERIFY2(rig.widest <= 900, qPrintable(QStringLiteral("%1: %2 wide").arg(rig.code).arg(rig.widest)));
        }
        for (const QString &problem : std::as_const(rig.cut))
            qWarning().noquote() << "cut:" << problem;
        QVERIFY2(rig.cut.isEmpty(), qPrintable(QStringLiteral("%1 texts cut (listed above)").arg(rig.cut.size())));
    }

    // Arabic: the file list, the header and the sidebar read names, paths and
    // sizes in their own order inside right-to-left text, as painted.
    void arabicReadsNamesInTheirOwnOrder()
    {
        Rig rig;
        rig.language.setLanguage(AppLanguage::arabic);
        // A name that ends in a mark: laid out as Arabic text it would read "!SWEEP STICK".
        const LocalUSBDevice sweep = stick(QStringLiteral("SWEEP STICK!"));
        rig.insertScanned(sweep);
        QCOMPARE(rig.window->layoutDirection(), Qt::RightToLeft);

        const QStringList files = testsupport::drawnLines(rig.window->findChild<QTreeView *>()->viewport());
        for (const QString &line : {QStringLiteral(".DS_Store"), sweep.path + QStringLiteral("/.DS_Store"), QStringLiteral("6 KB"),
                                    sweep.path + QStringLiteral("/Photos/2024/.DS_Store"), QStringLiteral("._IMG_0001.JPG"),
                                    sweep.path + QStringLiteral("/._IMG_0001.JPG"), QStringLiteral("2.5 MB")})
            QVERIFY2(files.contains(line), qPrintable(line + u'\n' + files.join(u'\n')));
        // The kind's name keeps ".DS_Store" whole inside the Arabic words around it.
        QVERIFY2(files.filter(QStringLiteral(").DS_Store(")).size() == 1, qPrintable(files.join(u'\n')));
        // Names, paths and the kind's title keep their underscores: no row
        // clips its text to a line one font height tall.
        QWidget *fileRows = rig.window->findChild<QTreeView *>()->viewport();
        drawnWhole(fileRows, QStringLiteral("DS_Store"), 5);
        drawnWhole(fileRows, QStringLiteral("_IMG_0001"), 2);

        QWidget *header = rig.window->findChild<QWidget *>(QStringLiteral("deviceHeader"));
        const QString headerText = testsupport::drawnLines(header).join(u'\n');
        for (const char *part : {"SWEEP STICK!", "(4C530001)", "Cruzer Blade", "32 GB", "24 GB / 32 GB"})
            QVERIFY2(headerText.contains(QLatin1String(part)), qPrintable(part + (u'\n' + headerText)));
        rig.view.setShowHistory(true);
        rig.settle();
        // The history's rows: the kind's name keeps ".DS_Store" whole there too.
        const QStringList records = testsupport::drawnLines(rig.historySheet->sheet()->recordList()->viewport());
        QVERIFY2(records.contains(QStringLiteral("SWEEPSTICK")) && records.filter(QStringLiteral(").DS_Store(")).size() == 1,
                 qPrintable(records.join(u'\n')));
        // The record's file list keeps them too.
        rig.view.setSelectedHistoryItem(rig.view.cleanHistory().first());
        rig.settle();
        drawnWhole(rig.historySheet->sheet()->detail()->fileList()->viewport(), QStringLiteral("DS_Store"), 2);
        rig.view.setShowHistory(false);
        rig.settle();
        const QString sidebar = testsupport::drawnLines(rig.window->sidebar()).join(u'\n');
        QVERIFY2(sidebar.contains(QLatin1String("8 GB")) && sidebar.contains(QLatin1String("SWEEP STICK!")),
                 qPrintable(sidebar));
        // The custom kind's line lists its extensions with their dots in front.
        QVERIFY2(files.filter(QStringLiteral(".bak, .old")).size() == 1, qPrintable(files.join(u'\n')));

        // A kind's popover sets each pattern beside its symbol, at the row's right.
        rig.view.setShowSettings(true);
        rig.settle();
        auto *settings = qobject_cast<SettingsView *>(rig.window->settingsSheet());
        QVERIFY(settings);
        FileTypeInfoPopover *popover = rig.kindPopover(settings, FileType::appleDouble);
        QVERIFY2(popover, "the kind's popover did not show");
        QWidget *patterns = popover->findChild<QScrollArea *>(QStringLiteral("patternList"))->widget();
        const int symbols = patterns->findChild<ui::SymbolLabel *>()->x();   // one column of them
        for (QLabel *pattern : patterns->findChildren<QLabel *>(QStringLiteral("patternRow"))) {
            qreal end = 0;
            for (const testsupport::textfit::Run &run : testsupport::drawnRuns(pattern))
                end = std::max(end, pattern->x() + run.at.x() + run.width);
            QVERIFY2(end <= symbols && end >= symbols - 2 * ui::defaultSpacing,
                     qPrintable(QStringLiteral("%1 ends at %2, its symbol starts at %3")
                                    .arg(pattern->text()).arg(end).arg(symbols)));
        }
        settings->showInfo(std::nullopt);
    }

    // Arabic: names, patterns and dates inside translated sentences, written
    // in the table or filled in, read as written in the runs their labels paint.
    void arabicSentencesKeepNamesInOrder()
    {
        Rig rig;
        rig.language.setLanguage(AppLanguage::arabic);
        rig.settle();
        {
            OnboardingFlow flow(*rig.permissions, *rig.helper, rig.clock, rig.prefs);
            std::unique_ptr<QWidget> guide(makeOnboardingWindow(&flow, rig.center));
            flow.setParent(nullptr);
            guide->show();
            flow.nextStep();
            rig.settle();
            readsAsWritten(guide.get(), {QStringLiteral(".DS_Store"), QStringLiteral(".Spotlight-V100"),
                                         QStringLiteral(".fseventsd"), QStringLiteral(".Trashes"),
                                         QStringLiteral("$RECYCLE.BIN")});
        }

        rig.view.setShowSettings(true);
        rig.settle();
        auto *settings = qobject_cast<SettingsView *>(rig.window->settingsSheet());
        QVERIFY(settings);
        readsAsWritten(settings, {QStringLiteral("report*"), QStringLiteral("*.docx")});
        // The date of the last check, as the desktop writes it ("7 Dec 2026 12:30:02").
        QLabel *checked = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((checked = settings->findChild<QLabel *>(QStringLiteral("lastChecked"))) && checked->isVisible(),
                                 testsupport::kPatience);   // the sheet's own check, answered by the local server
        const QRegularExpression marks(QStringLiteral("[\\x{200E}\\x{200F}\\x{2066}-\\x{2069}]"));
        const QStringList around = localized(QStringLiteral("last_checked")).remove(marks).split(QStringLiteral("%@"));
        QCOMPARE(around.size(), 2);
        const QString text = checked->text().remove(marks);
        const QString date = text.mid(around[0].size(), text.size() - around[0].size() - around[1].size());
        QVERIFY2(date.contains(u' '), qPrintable(date));
        readsAsWritten(settings, {date});
        // The patterns of a kind, each a label of its own.
        FileTypeInfoPopover *popover = rig.kindPopover(settings, FileType::appleDouble);
        QVERIFY2(popover, "the kind's popover did not show");
        readsAsWritten(popover, {QStringLiteral("._*"), QStringLiteral("*/__MACOSX/*")});
        settings->showInfo(std::nullopt);
    }

    // Arabic mirrors the app from the first window on, and a change of
    // language turns it back; "system" on an Arabic desktop is Arabic too.
    void arabicTurnsTheAppRightToLeftAndBack()
    {
        testsupport::FakeMachine machine;
        machine.writeMountInfo();
        testsupport::AppRig rig;
        rig.language.setLanguage(AppLanguage::arabic);
        const auto restore = qScopeGuard([] {
            SystemLanguage::setLocaleNameOverride(QStringLiteral("en_US.UTF-8"));
            QGuiApplication::setLayoutDirection(Qt::LeftToRight);
        });
        const std::unique_ptr<SweepbrookApp> app = rig.launchApp(machine);
        MainWindow &window = app->window();
        const auto sidebarX = [&window] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            return window.sidebar()->mapTo(&window, QPoint()).x();
        };
        QCOMPARE(QGuiApplication::layoutDirection(), Qt::RightToLeft);
        QCOMPARE(window.layoutDirection(), Qt::RightToLeft);
        // The sidebar stands at the window's leading edge: the right.
        QVERIFY(sidebarX() > window.width() / 2);

        rig.language.setLanguage(AppLanguage::french);
        QCOMPARE(window.layoutDirection(), Qt::LeftToRight);
        QCOMPARE(sidebarX(), 0);

        SystemLanguage::setLocaleNameOverride(QStringLiteral("ar_EG.UTF-8"));
        rig.language.setLanguage(AppLanguage::system);
        QCOMPARE(window.layoutDirection(), Qt::RightToLeft);
        rig.language.setLanguage(AppLanguage::english);
        QCOMPARE(window.layoutDirection(), Qt::LeftToRight);
        // A right-to-left desktop language without a table reads English, left to right.
        SystemLanguage::setLocaleNameOverride(QStringLiteral("he_IL.UTF-8"));
        rig.language.setLanguage(AppLanguage::system);
        QCOMPARE(window.layoutDirection(), Qt::LeftToRight);
    }

private:
    void walkTheMainWindow(Rig &rig)
    {
        MainWindow *window = rig.window.get();
        // The language changed over a scanned stick: every text of the window
        // has just been looked up again in place.
        if (rig.view.selectedDevice())
            rig.check(window, QStringLiteral("language-changed"));
        rig.plug({});
        rig.check(window, QStringLiteral("no-device"));

        // A stick comes: the banner, then the clean-on-insert prompt over the window.
        const LocalUSBDevice sweep = stick(QStringLiteral("SWEEPSTICK"));
        rig.plug({sweep});
        rig.check(window, QStringLiteral("inserted"));
        rig.clock.advance(300ms);
        CleanPromptView *prompt = rig.visible<CleanPromptView>();
        QVERIFY2(prompt, qPrintable(rig.code));
        rig.check(prompt, QStringLiteral("prompt"));
        prompt->choose(CleanPromptView::Option::ignore);
        rig.clock.advance(5s);
        rig.settle();
        rig.check(window, QStringLiteral("device-ready"));

        // Scanning, then the results.
        rig.view.scanDevice(sweep);
        rig.settle();
        rig.devices.scans.last().progress(0.4);
        rig.clock.advance(100ms);
        rig.check(window, QStringLiteral("scanning"));
        rig.devices.scans.last().completion(found(sweep.path));
        rig.settle();
        rig.check(window, QStringLiteral("results"));

        // Cleaned, then an eject under way and one that fails.
        rig.devices.cleanAtOnce = true;
        rig.view.cleanButtonTapped();
        rig.clock.advance(100ms);
        rig.check(window, QStringLiteral("cleaned"));
        rig.view.ejectSelectedDevice();
        rig.settle();
        rig.check(window, QStringLiteral("ejecting"));
        rig.devices.ejects.last().completion(false, {BlockingProcess{4242, QStringLiteral("gvfsd-trash"), {}}}, {});
        rig.clock.advance(1100ms);
        rig.check(rig.visible<QMessageBox>(), QStringLiteral("eject-alert"));
        rig.closeAlert();

        // The longest alert: an eject after a grant that programs refuse.
        rig.view.ejectAfterAuthorizationFailure(sweep);
        rig.settle();
        rig.devices.ejects.last().completion(
            false, {BlockingProcess{1, QStringLiteral("nautilus"), {}}, BlockingProcess{2, QStringLiteral("tracker-miner-fs"), {}}}, {});
        rig.clock.advance(100ms);
        rig.check(rig.visible<QMessageBox>(), QStringLiteral("reauthorize-alert"));
        rig.closeAlert();

        // A stick the app may not read yet, and the authorization under way.
        const LocalUSBDevice locked = stick(QStringLiteral("LOCKED"), false);
        rig.insert(locked);
        rig.check(window, QStringLiteral("inaccessible"));
        rig.view.authorizeButtonAction(locked);
        rig.settle();
        rig.check(window, QStringLiteral("authorizing"));
        // No folder chosen: the alert says so, and the stick is ejected.
        rig.picker.pending(std::nullopt);
        rig.clock.advance(100ms);
        QMessageBox *notGranted = rig.visible<QMessageBox>();
        QVERIFY2(notGranted, qPrintable(rig.code));
        rig.check(notGranted, QStringLiteral("access-not-granted"));
        rig.closeAlert();
        rig.clock.advance(2500ms);
        QCOMPARE(rig.devices.ejects.last().device.id, locked.id);
        rig.devices.ejects.last().completion(true, {}, {});
        rig.clock.advance(1100ms);
        rig.check(window, QStringLiteral("reconnect-banner"));
        rig.plug({});
        rig.clock.advance(6s);

        // The next language finds a scanned stick.
        rig.insertScanned(sweep);
    }

    void walkTheSheets(Rig &rig)
    {
        MainWindow *window = rig.window.get();
        rig.view.setShowSettings(true);
        rig.settle();
        auto *settings = qobject_cast<SettingsView *>(window->settingsSheet());
        QVERIFY2(settings, qPrintable(rig.code));
        // Its update check asks the local server and offers the update (the
        // sheet checks by itself only the first time; later, "Check Now").
        const auto offered = [settings] {
            auto *block = settings->updateCheckBlock()->findChild<QWidget *>(QStringLiteral("updateBlock"));
            return block && block->isVisible();
        };
        rig.settle();
        if (!offered())
            settings->updateCheckBlock()->findChild<QAbstractButton *>(QStringLiteral("checkNowButton"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(offered(), testsupport::kPatience);
        rig.check(settings, QStringLiteral("settings"));
        // "Clear All" of the patterns, scrolled to them: the sheet stays where it was.
        auto *clear = settings->findChild<QAbstractButton *>(QStringLiteral("clearPatternsButton"));
        settings->findChild<QScrollArea *>(QStringLiteral("settingsScrollArea"))->ensureWidgetVisible(clear);
        const QStringList patterns = rig.view.excludedFilePatterns();
        QTest::mouseClick(clear, Qt::LeftButton);
        rig.check(settings, QStringLiteral("settings-cleared"));
        rig.view.setExcludedFilePatterns(patterns);
        auto *card = settings->updateCheckBlock()->findChild<UpdateCheckView *>();
        QVERIFY2(card, qPrintable(rig.code));
        card->findChild<QAbstractButton *>(QStringLiteral("whatsNewButton"))->click();
        QVERIFY2(card->whatsNewSheet(), qPrintable(rig.code));
        rig.check(card->whatsNewSheet(), QStringLiteral("whats-new"));
        // Closed once it holds the focus, so no word of its focus comes after the popover opens.
        QVERIFY2(rig.holdsFocus(card->whatsNewSheet()), qPrintable(rig.code));
        card->whatsNewSheet()->reject();
        rig.check(rig.kindPopover(settings, FileType::appleDouble), QStringLiteral("kind-popover"));
        settings->showInfo(std::nullopt);
        rig.view.setShowSettings(false);
        rig.settle();

        rig.view.setShowHistory(true);
        rig.settle();
        CleanHistoryView *historyView = rig.historySheet->sheet();
        QVERIFY2(historyView, qPrintable(rig.code));
        rig.check(historyView, QStringLiteral("history"));
        rig.view.setSelectedHistoryItem(rig.view.cleanHistory().first());
        rig.settle();
        rig.check(historyView, QStringLiteral("history-record"));
        // At its smallest the sheet still shows every kind of the record: the
        // row's caption takes more lines and the chips more rows.
        historyView->resize(historyView->minimumSize());
        rig.settle();
        historyView->grab().save(QCoreApplication::applicationDirPath() + QStringLiteral("/grabs/languages/") + rig.code
                                 + QStringLiteral("/history-smallest.png"));
        QWidget *chips = historyView->findChild<QWidget *>(QStringLiteral("kindChips"));
        QVERIFY2(chips, qPrintable(rig.code));
        for (const QString &problem : testsupport::cutTexts(chips))
            rig.cut << QStringLiteral("%1 history-smallest: %2").arg(rig.code, problem);
        for (const QLabel *chip : chips->findChildren<QLabel *>()) {
            if (chip->width() < chip->fontMetrics().horizontalAdvance(chip->text()))
                rig.cut << QStringLiteral("%1 history-smallest: chip \"%2\" %3 wide").arg(rig.code, chip->text()).arg(chip->width());
        }
        QWidget *rows = historyView->recordList()->viewport();
        const int caption = ui::font(ui::TextStyle::caption).pixelSize();
        for (const testsupport::textfit::Run &run : testsupport::drawnRuns(rows)) {
            if (run.font.pixelSize() == caption
                && (run.text.contains(u'…') || run.at.x() < -1 || run.at.x() + run.width > rows->width() + 1))
                rig.cut << QStringLiteral("%1 history-smallest: caption \"%2\" at %3 to %4 in %5")
                               .arg(rig.code, run.text).arg(run.at.x()).arg(run.at.x() + run.width).arg(rows->width());
        }
        historyView->resize(historyView->sizeHint());
        historyView->requestDelete(rig.view.cleanHistory().first());
        rig.settle();
        QVERIFY2(historyView->confirmation(), qPrintable(rig.code));
        rig.check(historyView->confirmation(), QStringLiteral("history-confirm"));
        historyView->confirmation()->reject();
        rig.view.setShowHistory(false);
        rig.settle();

        rig.view.setShowAbout(true);
        rig.settle();
        rig.check(window->findChild<QDialog *>(QStringLiteral("aboutSheet")), QStringLiteral("about-sheet"));
        rig.view.setShowAbout(false);
        rig.settle();
        AppInfoManager about;
        about.showInfoWindow(window);
        QVERIFY2(about.infoWindow(), qPrintable(rig.code));
        rig.check(about.infoWindow(), QStringLiteral("about-window"));
        about.infoWindow()->close();
    }

    void walkTheGuide(Rig &rig)
    {
        OnboardingFlow flow(*rig.permissions, *rig.helper, rig.clock, rig.prefs);
        std::unique_ptr<QWidget> guide(makeOnboardingWindow(&flow, rig.center));
        flow.setParent(nullptr);
        guide->show();
        for (const QString &page : {QStringLiteral("guide-welcome"), QStringLiteral("guide-access"),
                                   QStringLiteral("guide-complete")}) {
            rig.check(guide.get(), page);
            flow.nextStep();
        }
        guide.reset();

        // The guide's dialogs, each as the app shows them: the offer, what it
        // is, the set-up steps, the re-check and its two answers, then the
        // notices of the administrator step.
        rig.presenter.shown.clear();
        rig.granted->store(false);
        rig.helper->clearFullDiskAccessCache();
        rig.permissions->checkPermissionStatus();
        rig.settle();
        rig.presenter.answers = {1002, 1000, 1000, 1000, 1001};
        rig.permissions->showPermissionGuide();
        rig.clock.advance(1100ms);
        rig.settle();
        rig.granted->store(true);
        rig.presenter.answers = {1000};
        rig.permissions->recheckPermission();
        rig.settle();
        rig.helper->showSystemFoldersLeftAlert(SystemCleanHelper::systemFolderNames(), {});
        rig.helper->showSystemFilesSkippedAlert({});
        rig.helper->showToolRefusedAlert(
            format(localized(QStringLiteral("administrator_tool_not_roots")),
                   bidi::leftToRight(QStringLiteral("/usr/local/libexec/sweepbrook/sweepbrook-admin-clean"))), {});
        QStringList titles;
        for (const GuideDialog &dialog : std::as_const(rig.presenter.shown))
            titles << dialog.title;
        for (const char *key : {"full_disk_access_setup_title", "about_full_disk_access_title", "setting_up_full_disk_access",
                                "permission_setup", "Permission Not Detected", "Success!", "administrator_tool_refused_title"})
            QVERIFY2(titles.contains(localized(QLatin1String(key))), qPrintable(rig.code + u' ' + key));
        int n = 0;
        for (const GuideDialog &dialog : std::as_const(rig.presenter.shown)) {
            std::unique_ptr<QMessageBox> box = MessageBoxDialogPresenter::makeBox(dialog);
            box->show();
            rig.check(box.get(), QStringLiteral("guide-dialog-%1").arg(++n));
        }
    }
};

SWEEPBROOK_TEST_MAIN(TestInterfaceLanguages)
#include "test_interface_languages.moc"
