// The main window over fake devices on virtual time: the toolbar items and the
// eject badge, the single alert, the banner's symbol, the clean-on-insert
// sheet's dismissal and the menu's commands.

#include "app/SweepbrookApp.h"
#include "history/views/CleanHistoryView.h"
#include "history/views/HistorySheet.h"
#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "mainwindow/views/CleanPromptView.h"
#include "mainwindow/views/DeviceBanner.h"
#include "mainwindow/views/FileDialogFolderPicker.h"
#include "mainwindow/views/MainWindow.h"
#include "mainwindow/views/SidebarView.h"
#include "toolkit/Toolkit.h"
#include "settings/SettingsStore.h"
#include "toolkit/Presentation.h"
#include "settings/views/SettingsView.h"

#include "FakeDeviceService.h"
#include "StdoutCapture.h"
#include "KeyboardChecks.h"
#include "TestMain.h"
#include "TextFit.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QSplitter>
#include <QToolBar>
#include <QToolButton>

using namespace std::chrono_literals;

namespace {

using testsupport::makeDevice;

// One shown window on virtual time.
struct Rig : testsupport::WindowRig
{
    std::unique_ptr<MainWindow> window;

    explicit Rig(bool promptOnInsert = false)
    {
        Scheduler::setShared(&clock);
        LanguageManager::setShared(&language);
        SettingsStore(prefs).setPromptCleanOnInsert(promptOnInsert);
        picker.cancelAtOnce = true;
        window = std::make_unique<MainWindow>(view, devices, language);
        window->show();   // appearing starts the device poll
        clock.runDue();
    }
    ~Rig()
    {
        window.reset();
        LanguageManager::setShared(nullptr);
        Scheduler::setShared(nullptr);
    }

    // A device comes or goes and the window's half-second poll sees it.
    void plug(const QList<LocalUSBDevice> &list)
    {
        devices.setList(list);
        clock.advance(500ms);
    }
    QStringList toolbarItems() const
    {
        QStringList names;
        for (const QAction *action : window->findChild<QToolBar *>()->actions()) {
            if (action->isVisible())
                names << action->objectName();
        }
        return names;
    }
    QWidget *widget(const char *name) const { return window->findChild<QWidget *>(name); }
    template <typename T> T *visible() const
    {
        const QList<T *> all = window->findChildren<T *>();
        const auto it = std::find_if(all.cbegin(), all.cend(), [](const T *w) { return w->isVisible(); });
        return it == all.cend() ? nullptr : *it;
    }
    QMessageBox *alert() const { return visible<QMessageBox>(); }
    CleanPromptView *prompt() const { return visible<CleanPromptView>(); }
    // Eject the selected device and let it fail: the window raises its alert.
    void failEject()
    {
        view.ejectSelectedDevice();
        devices.ejects.last().completion(false, {});
        clock.advance(1s);
    }
};

// How far the drawing in an image reaches, in device pixels: the larger side
// of the box around the pixels that differ from its corner (its background).
int inkExtent(const QImage &image)
{
    const QRgb background = image.pixel(0, 0);
    int left = image.width(), right = -1, top = image.height(), bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (std::abs(qGray(pixel) - qGray(background)) + std::abs(qAlpha(pixel) - qAlpha(background)) > 40) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    return right < 0 ? 0 : std::max(right - left, bottom - top) + 1;
}

using Close = std::function<void(Rig &, CleanPromptView &)>;

} // namespace

Q_DECLARE_METATYPE(Close)

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void toolbarAndEjectBadge()
    {
        Rig rig;
        QCOMPARE(rig.toolbarItems(),
                 (QStringList{"settingsToolbarButton", "historyToolbarButton", "refreshToolbarButton"}));
        QCOMPARE(rig.window->findChild<QAction *>("settingsToolbarButton")->toolTip(), localized("settings_help"));

        const LocalUSBDevice stick = makeDevice(QStringLiteral("PHOTOS"));
        rig.plug({stick});
        QCOMPARE(rig.toolbarItems(), (QStringList{"settingsToolbarButton", "historyToolbarButton",
                                                  "ejectToolbarButton", "refreshToolbarButton"}));

        auto *eject = qobject_cast<QAbstractButton *>(rig.widget("ejectToolbarButton"));
        QTest::mouseClick(eject, Qt::LeftButton);
        QVERIFY(rig.view.isEjecting());
        QVERIFY(!eject->isEnabled());
        QTest::mouseClick(eject, Qt::LeftButton);   // no second eject while one runs
        QVERIFY(!rig.widget("ejectingBadge")->isHidden());
        const QString badge = rig.widget("ejectingBadge")->findChild<QLabel *>()->text();
        QVERIFY2(badge.contains(QStringLiteral("PHOTOS")) && !badge.contains(QStringLiteral("%@")), qPrintable(badge));

        rig.devices.ejects.last().completion(true, {});
        rig.plug({});
        rig.clock.advance(1s);
        QVERIFY(!rig.view.isEjecting());
        QCOMPARE(rig.toolbarItems().size(), 3);

        rig.window->findChild<QAction *>("refreshToolbarButton")->trigger();
        rig.window->findChild<QAction *>("settingsToolbarButton")->trigger();
        QVERIFY(rig.view.showSettings());

        // The toolbar's texts follow the interface language.
        rig.language.setLanguage(AppLanguage::fromRawValue(QStringLiteral("zh-Hans")).value());
        QCOMPARE(rig.window->findChild<QAction *>("historyToolbarButton")->toolTip(), localized("history_help"));
        QVERIFY(localized("history_help") != StringTables::shared().lookup(QStringLiteral("en"), "history_help"));
    }

    // OK dismisses through the window's logic once; closing by the state only ends the alert.
    void alert()
    {
        Rig rig;
        rig.plug({makeDevice(QStringLiteral("<b>STICK</b>"))});
        rig.failEject();
        QMessageBox *box = rig.alert();
        QVERIFY(box);
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        // The title is the heading (an attached dialog may have no title bar).
        QCOMPARE(box->windowTitle(), localized("error"));
        QCOMPARE(box->text(), localized("error"));
        QCOMPARE(box->informativeText(), localized("device_eject_error"));
        const auto *body = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
        QVERIFY(body && body->textFormat() == Qt::PlainText);
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->buttons().first()->text(), localized("ok"));

        // The window's refresh after OK: the views are rebuilt 0.1 s later.
        const bool toggle = rig.view.refreshToggle();
        box->buttons().first()->click();
        QVERIFY(!rig.view.showingAlert());
        QCOMPARE(rig.view.activeAlert(), ContentView::ActiveAlert::none);
        rig.clock.advance(100ms);
        QCOMPARE(rig.view.refreshToggle(), !toggle);
        QVERIFY(!rig.alert());

        // Escape presses its only button.
        rig.failEject();
        QTest::keyClick(rig.alert(), Qt::Key_Escape);
        QVERIFY(!rig.view.showingAlert());
        rig.clock.advance(100ms);
        QCOMPARE(rig.view.refreshToggle(), toggle);

        // Closed by the window's state: no refresh.
        rig.failEject();
        QVERIFY(rig.alert());
        rig.view.dismissAlert();
        QVERIFY(!rig.alert());
        rig.clock.advance(1s);
        QCOMPARE(rig.view.refreshToggle(), toggle);

        // Raised with no content: empty title, the standard button, no action.
        rig.view.setShowingAlert(true);
        QVERIFY(rig.alert());
        QVERIFY(rig.alert()->windowTitle().isEmpty());
        QVERIFY(rig.alert()->button(QMessageBox::Close));
        rig.alert()->button(QMessageBox::Close)->click();
        QVERIFY(!rig.view.showingAlert());
    }

    // The symbol follows the kind of event, not words of one language.
    void bannerSymbol()
    {
        Rig rig;
        DeviceBanner *banner = rig.window->banner();
        QVERIFY(banner->testAttribute(Qt::WA_TransparentForMouseEvents));
        QVERIFY(!banner->isShowing());

        rig.plug({makeDevice(QStringLiteral("A"))});
        QVERIFY(banner->isShowing());
        QCOMPARE(banner->symbol(), QStringLiteral("externaldrive.badge.plus"));
        QCOMPARE(banner->message(), rig.view.deviceNotificationMessage());
        QVERIFY(!banner->message().contains(QStringLiteral("插入")));
        QCOMPARE(banner->geometry(), rig.window->centralWidget()->rect());

        rig.plug({});
        QCOMPARE(banner->symbol(), QStringLiteral("externaldrive.badge.minus"));
        rig.clock.advance(3s);
        QVERIFY(!banner->isShowing());
    }

    // However the sheet closes, the window's dismissal handler runs once.
    void cleanPromptDismissal_data()
    {
        QTest::addColumn<Close>("close");
        QTest::newRow("Escape") << Close([](Rig &, CleanPromptView &sheet) { QTest::keyClick(&sheet, Qt::Key_Escape); });
        QTest::newRow("Clean, then Scan") << Close([](Rig &, CleanPromptView &sheet) {
            QTest::mouseClick(sheet.findChild<QWidget *>("cleanCard"), Qt::LeftButton);
            QTest::keyClick(&sheet, Qt::Key_Return);
        });
        QTest::newRow("closed by the state") << Close([](Rig &rig, CleanPromptView &) {
            rig.view.setShowCleanDialog(false);
        });
    }

    void cleanPromptDismissal()
    {
        QFETCH(Close, close);
        Rig rig(true);
        rig.plug({makeDevice(QStringLiteral("NEW"))});
        rig.clock.advance(5s);   // the prompt opens once the device is ready
        CleanPromptView *sheet = rig.prompt();
        QVERIFY(sheet);
        QCOMPARE(sheet->deviceName(), QStringLiteral("NEW"));
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);

        testsupport::StdoutCapture out;
        close(rig, *sheet);
        rig.clock.advance(1s);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(out.lines().count(QStringLiteral("清理提示对话框关闭，重置状态")), 1);
        QVERIFY(!rig.view.showCleanDialog());
        QVERIFY(!rig.view.newDeviceForCleaning());
        QVERIFY(!rig.prompt());
    }

    // The folder dialog answers once: the chosen folder, or nothing when cancelled.
    void folderPicker()
    {
        QWidget window;
        window.show();
        FileDialogFolderPicker picker(&window);
        const QString folder = QDir::tempPath();
        for (const bool accept : {true, false}) {
            QList<std::optional<QString>> answers;
            picker.chooseFolder(QStringLiteral("Pick <b>it</b>"), folder,
                                [&answers](const std::optional<QString> &chosen) { answers << chosen; });
            auto *dialog = window.findChild<QFileDialog *>();
            QVERIFY(dialog);
            QCOMPARE(dialog->windowModality(), Qt::WindowModal);
            QCOMPARE(dialog->fileMode(), QFileDialog::Directory);
            QVERIFY(dialog->testOption(QFileDialog::ShowDirsOnly));
            QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir(folder).canonicalPath());
            if (accept) {
                dialog->selectFile(folder);
                static_cast<QDialog *>(dialog)->accept();   // as the Open button does
            } else {
                dialog->reject();
            }
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY(!window.findChild<QFileDialog *>());
            QCOMPARE(answers.size(), 1);
            QCOMPARE(answers.first().has_value(), accept);
            if (accept)
                QCOMPARE(QDir(*answers.first()).canonicalPath(), QDir(folder).canonicalPath());
        }
    }

    // Symbols are drawn at the screen's device pixel ratio, at their logical
    // size and filling it: a symbol's pixmap, a toolbar button's icon and a
    // symbol label. ctest runs this again at QT_SCALE_FACTOR=2, where they
    // were drawn at half their size.
    void symbolsAtTheScreensRatio()
    {
        const qreal ratio = qApp->devicePixelRatio();
        if (qEnvironmentVariableIntValue("QT_SCALE_FACTOR") == 2)
            QCOMPARE(ratio, 2.0);
        const QPixmap gear = ui::symbolPixmap(QStringLiteral("gear"), Qt::black, 24, ratio);
        QCOMPARE(gear.devicePixelRatio(), ratio);
        QCOMPARE(gear.deviceIndependentSize(), QSizeF(24, 24));
        QVERIFY2(inkExtent(gear.toImage()) >= 0.75 * 24 * ratio, qPrintable(QString::number(inkExtent(gear.toImage()))));

        Rig rig;
        auto *settings = qobject_cast<QToolButton *>(rig.widget("settingsToolbarButton"));
        QVERIFY(settings);
        const QPixmap button = settings->grab();
        QCOMPARE(button.devicePixelRatio(), ratio);
        QCOMPARE(button.size(), settings->size() * ratio);
        QVERIFY2(inkExtent(button.toImage()) >= 0.75 * settings->iconSize().width() * ratio,
                 qPrintable(QString::number(inkExtent(button.toImage()))));

        const QList<ui::SymbolLabel *> labels = rig.window->findChildren<ui::SymbolLabel *>();
        const auto shown = std::find_if(labels.cbegin(), labels.cend(), [](const QLabel *l) { return l->isVisible(); });
        QVERIFY(shown != labels.cend());
        const QPixmap symbol = (*shown)->pixmap();
        QCOMPARE(symbol.devicePixelRatio(), ratio);
        QVERIFY(inkExtent(symbol.toImage()) >= 0.75 * symbol.width());
    }

    // Over a scanned stick Tab reaches every control of the window (a kind's
    // box in the results is ticked with Space on its row), each shows that it
    // has the focus (the red eject button too, and the results list scrolled
    // away from the row the keys were on), and the keys press what they
    // reach: Space and Enter a toolbar button, Enter a device's row.
    void everyControlByTab()
    {
        Rig rig;
        const LocalUSBDevice stick = makeDevice(QStringLiteral("PHOTOS"));
        rig.plug({stick});
        rig.view.markDeviceReady();
        rig.view.scanDevice(stick);
        QList<FileItem> doubles;   // rows enough for the list to scroll
        for (int i = 0; i < 100; ++i)
            doubles << FileItem::fromPath(stick.path + QStringLiteral("/._IMG_%1.JPG").arg(i), 4096);
        rig.devices.scans.last().completion(
            {{FileType::dsStore, {FileItem::fromPath(stick.path + QStringLiteral("/.DS_Store"), 6148)}},
             {FileType::appleDouble, doubles}});
        rig.clock.runDue();
        QMap<QString, QWidget *> reached;
        for (QWidget *stop : testsupport::tabStops(rig.window.get()))
            reached.insert(stop->objectName(), stop);
        QCOMPARE(reached.keys(), (QStringList{"cleanAllButton", "deviceRow", "ejectToolbarButton", "historyToolbarButton",
                                              "refreshDeviceStateButton", "refreshToolbarButton", "resultsList",
                                              "scanButton", "settingsToolbarButton", "sidebarFooter"}));
        for (QWidget *control : std::as_const(reached))
            QVERIFY2(testsupport::showsFocus(control), qPrintable(control->objectName()));
        auto *list = qobject_cast<QAbstractItemView *>(reached.value("resultsList"));
        list->scrollToBottom();
        QVERIFY(!list->viewport()->rect().intersects(list->visualRect(list->currentIndex())));
        QVERIFY(testsupport::showsFocus(list));

        QVERIFY(testsupport::pressedByKeys(qobject_cast<QAbstractButton *>(reached.value("historyToolbarButton"))));
        QVERIFY(rig.view.showHistory());   // pressed three times: open, closed, open
        rig.view.setShowHistory(false);
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
            rig.view.selectDevice(makeDevice(QStringLiteral("OTHER")));
            QTest::keyClick(rig.window->findChild<QWidget *>(QStringLiteral("deviceRow")), key);
            QCOMPARE(rig.view.selectedDevice()->id, stick.id);
        }
    }

    // The focus goes on with the work, never to the sidebar's footer: from
    // the scan to the results' clean-all, from the clean to scanning again.
    void focusGoesOnWithTheWork()
    {
        Rig rig;
        const LocalUSBDevice stick = makeDevice(QStringLiteral("PHOTOS"));
        rig.plug({stick});
        rig.view.markDeviceReady();
        QVERIFY(testsupport::activated(rig.window.get()));
        QWidget *scan = rig.widget("scanButton");
        scan->setFocus(Qt::TabFocusReason);
        QTest::keyClick(scan, Qt::Key_Space);
        rig.devices.scans.last().completion(
            {{FileType::dsStore, {FileItem::fromPath(stick.path + QStringLiteral("/.DS_Store"), 6148)}}});
        rig.clock.runDue();
        QCOMPARE(QApplication::focusWidget(), rig.widget("cleanAllButton"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(rig.devices.cleans.size(), 1);
        rig.devices.cleans.last().completion(rig.devices.cleans.last().files, {});
        rig.clock.runDue();
        QCOMPARE(QApplication::focusWidget(), rig.widget("rescanButton"));
    }

    // A clean frees space on an ext4 stick and the list reads the new figure:
    // the header shows the sidebar's figure, and the sidebar at its least
    // width keeps it, showing the figure whole whatever digits it has.
    // (test_app_smoke drives a real clean.)
    void storageAfterAClean_data()
    {
        QTest::addColumn<qint64>("capacity");
        QTest::addColumn<qint64>("before");
        QTest::addColumn<qint64>("after");
        QTest::newRow("a tenth of a MB") << 60'000'000LL << 12'000'000LL << 12'500'000LL;
        QTest::newRow("hundreds of GB and hundredths") << 500'000'000'000LL << 1'500'000'000LL << 123'450'000'000LL;
        QTest::newRow("thousands of GB") << 4'000'000'000'000LL << 1'500'000'000LL << 1'234'560'000'000LL;
    }
    void storageAfterAClean()
    {
        QFETCH(qint64, capacity);
        QFETCH(qint64, before);
        QFETCH(qint64, after);
        Rig rig;
        LocalUSBDevice stick = makeDevice(QStringLiteral("EXT"));
        stick.capacity = capacity;
        stick.available = before;
        const auto publish = [&rig, &stick] {
            rig.plug({stick});
            rig.window->devicesChanged();   // as the app does when the manager publishes a list
            for (int i = 0; i < 5; ++i)
                QCoreApplication::processEvents();   // old rows go, the splitter lays out again
        };
        publish();
        // At its least width, where a wider row would widen it.
        rig.window->findChild<QSplitter *>()->setSizes({0, 10'000});
        const int sidebarWidth = rig.window->sidebar()->width();
        stick.available = after;
        publish();
        QVERIFY(testsupport::drawnLines(rig.window->sidebar()).join(u'\n').contains(presentation::byteCountText(after)));
        QCOMPARE(rig.window->findChild<QLabel *>(QStringLiteral("storageText"))->text(), presentation::storageText(stick));
        QCOMPARE(rig.window->sidebar()->width(), sidebarWidth);
        QCOMPARE(testsupport::cutTexts(rig.window->sidebar()), QStringList());
    }

    // Ctrl+S posts the scan command; Ctrl+Q, typed into the window or into
    // one of its sheets, closes the window as its close button does: the
    // sheet goes (the settings stored), and while a scan runs the window
    // stays, says it is finishing and stops the work, and closes once the
    // work has ended.
    void menuShortcuts_data()
    {
        QTest::addColumn<QString>("typedInto");
        QTest::newRow("the window") << QString();
        QTest::newRow("the settings sheet") << QStringLiteral("settings");
        QTest::newRow("the history sheet") << QStringLiteral("history");
    }

    void menuShortcuts()
    {
        QFETCH(QString, typedInto);
        Rig rig;
        rig.window->setSettingsSheetMaker(
            [&rig](QWidget *parent) { return new SettingsView(rig.view, rig.language, parent); });
        auto *history = new HistorySheet(rig.view, rig.window.get());
        const SweepbrookApp::MenuActions menus = SweepbrookApp::buildMenus(*rig.window, rig.center);
        QVERIFY(menus.about && menus.scan && menus.quit);
        QCOMPARE(menus.quit->text(), localized("quit_app"));
        int scans = 0;
        QObject context;
        rig.center.addObserver(ContentView::triggerDeviceScan, &context, [&](const auto &) { ++scans; });
        rig.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        QTest::keyClick(rig.window.get(), Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(scans, 1);

        const LocalUSBDevice stick = makeDevice(QStringLiteral("PHOTOS"));
        rig.plug({stick});
        rig.view.markDeviceReady();
        rig.view.scanDevice(stick);
        QCOMPARE(rig.devices.scans.size(), 1);
        QWidget *target = rig.window.get();
        if (typedInto == QLatin1String("settings")) {
            rig.view.setShowSettings(true);
            target = rig.window->settingsSheet();
            rig.view.setExcludedFilePatterns({QStringLiteral("keep*")});
        } else if (typedInto == QLatin1String("history")) {
            rig.view.setShowHistory(true);
            target = history->sheet();
        }
        QVERIFY(target && target->isVisible());
        target->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(target));
        QTest::keyClick(target, Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(rig.window->isVisible());
        QVERIFY(rig.view.isQuitting());
        QCOMPARE(rig.devices.stopRequests, 1);
        QVERIFY(!rig.view.showSettings() && !rig.view.showHistory() && !QApplication::activeModalWidget());
        QCOMPARE(SettingsStore(rig.prefs).loadExcludedPatterns(),
                 typedInto == QLatin1String("settings") ? QStringList{"keep*"} : QStringList{});
        rig.devices.scans.last().completion({});
        rig.clock.runDue();
        QVERIFY(!rig.window->isVisible());
    }
};

SWEEPBROOK_TEST_MAIN(TestMainWindow)
#include "test_main_window.moc"


