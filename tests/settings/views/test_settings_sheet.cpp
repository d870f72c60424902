// The settings sheet over the main window, offscreen on virtual time: what is
// stored however it closes (read back through a new start of the store), the
// switches written at once, the editors through their widgets and their
// transitions, what the keyboard meets, the file-kind popover, a language
// change, the update card while it checks (against a local server) and a
// second opening.

#include "localization/LanguageManager.h"
#include "localization/LanguageSelector.h"
#include "localization/Localization.h"
#include "toolkit/FileTypeInfoPopover.h"
#include "mainwindow/views/MainWindow.h"
#include "toolkit/Motion.h"
#include "settings/views/CustomExtensionEditor.h"
#include "settings/views/ExcludedFilesView.h"
#include "settings/views/FileTypeSettingRow.h"
#include "settings/views/RemovableListView.h"
#include "settings/SettingsStore.h"
#include "settings/views/SettingsView.h"
#include "settings/views/UpdateCheckView.h"
#include "settings/UpdateManager.h"
#include "settings/views/ToggleSwitch.h"

#include "FakeDeviceService.h"
#include "KeyboardChecks.h"
#include "LocalHttpServer.h"
#include "StdoutCapture.h"
#include "TestMain.h"
#include "TextFit.h"

#include <QAction>
#include <QWindow>
#include <QComboBox>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>

using namespace std::chrono_literals;

namespace {

// The main window shown on virtual time, with the app's settings sheet.
struct Rig : testsupport::WindowRig
{
    std::unique_ptr<MainWindow> window;

    Rig()
    {
        Scheduler::setShared(&clock);
        LanguageManager::setShared(&language);
        window = std::make_unique<MainWindow>(view, devices, language);
        window->setSettingsSheetMaker([this](QWidget *parent) { return new SettingsView(view, language, parent); });
        window->show();
        clock.runDue();
    }
    ~Rig()
    {
        window.reset();
        LanguageManager::setShared(nullptr);
        Scheduler::setShared(nullptr);
    }

    SettingsView *sheet() const { return qobject_cast<SettingsView *>(window->settingsSheet()); }
    SettingsView *open()
    {
        window->findChild<QAction *>(QStringLiteral("settingsToolbarButton"))->trigger();
        return sheet();
    }
    // What a new start of the app would read.
    QString storedPath() const { return dir.filePath(QStringLiteral("prefs.json")); }
};

void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Runs the layout passes the event loop would run next.
void layOut()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::sendPostedEvents();
}

void type(QLineEdit *field, const QString &text)
{
    field->clear();
    QTest::keyClicks(field, text);
}

// Pixels dark enough to be text: the rows' fills and symbols are lighter.
int inkOf(QWidget *widget)
{
    const QImage image = widget->grab().toImage();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            ink += qGray(image.pixel(x, y)) < 100 ? 1 : 0;
    }
    return ink;
}

QStringList visibleLabelTexts(QWidget *root, const char *name)
{
    QStringList texts;
    for (const QLabel *label : root->findChildren<QLabel *>(QLatin1String(name))) {
        if (label->isVisibleTo(root))
            texts << label->text();
    }
    return texts;
}

enum class Close { done, enterOnDone, escape, windowClose, quit };

} // namespace

Q_DECLARE_METATYPE(Close)

class SettingsSheetTest : public QObject
{
    Q_OBJECT

    // Every sheet's update check asks this server, never the network.
    testsupport::LocalHttpServer updates;

private slots:
    void initTestCase()
    {
        qputenv("SWEEPBROOK_UPDATE_SERVER", updates.base().toUtf8());
        qputenv("no_proxy", "127.0.0.1,localhost");
    }
    void init()
    {
        updates.mode = testsupport::LocalHttpServer::Mode::reply;
        updates.body = testsupport::json("{'version':'0.0.1'}");
    }

    // However the sheet closes, the window's dismissal runs once and stores the
    // suffixes, the kinds and the patterns; a new start reads them back.
    void storedOnEveryClose_data()
    {
        QTest::addColumn<Close>("close");
        QTest::newRow("Done") << Close::done;
        QTest::newRow("Enter on Done") << Close::enterOnDone;
        QTest::newRow("Escape") << Close::escape;
        QTest::newRow("the window's close") << Close::windowClose;
        QTest::newRow("quitting with the sheet up") << Close::quit;
    }

    void storedOnEveryClose()
    {
        QFETCH(Close, close);
        Rig rig;
        SettingsView *sheet = rig.open();
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(sheet->size(), QSize(450, 600));
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);

        CustomExtensionEditor *custom = sheet->customEditor();
        custom->placeholder()->click();
        rig.clock.advance(100ms);
        type(custom->field(), QStringLiteral("tar.gz"));
        custom->addButton()->click();
        sheet->fileTypeRow(FileType::trash)->toggle()->click();
        ExcludedFilesView *excluded = sheet->excludedFilesView();
        type(excluded->field(), QStringLiteral(" keep* "));
        excluded->addButton()->click();

        testsupport::StdoutCapture capture;
        switch (close) {
        case Close::done: sheet->findChild<QAbstractButton *>(QStringLiteral("doneButton"))->click(); break;
        case Close::enterOnDone: {
            auto *done = sheet->findChild<QAbstractButton *>(QStringLiteral("doneButton"));
            QVERIFY(testsupport::showsFocus(done));
            QVERIFY(testsupport::pressedByKeys(done, {Qt::Key_Enter}));
            break;
        }
        case Close::escape: QTest::keyClick(sheet, Qt::Key_Escape); break;
        case Close::windowClose: sheet->close(); break;
        case Close::quit: rig.window.reset(); break;
        }
        settle();
        const QStringList lines = capture.lines();
        QCOMPARE(lines.filter(QStringLiteral("已保存已选择的文件类型")).size(), 1);
        QVERIFY(!rig.view.showSettings());
        QVERIFY(!rig.window || !rig.sheet());

        Preferences preferences(rig.storedPath());
        SettingsStore store(preferences);
        FileTypeSet selected = store.loadSelectedFileTypes();
        QVERIFY(!selected.contains(FileType::trash) && selected.contains(FileType::custom));
        QCOMPARE(store.readCustomExtensions(selected), std::optional(QStringList{"gz"}));
        QCOMPARE(store.loadExcludedPatterns(), QStringList{"keep*"});
    }

    // The switches are stored the moment they change, whatever happens to the sheet.
    void switchesStoredAtOnce()
    {
        Rig rig;
        SettingsView *sheet = rig.open();
        const auto stored = [&rig](const QString &key) { return Preferences(rig.storedPath()).boolValue(key); };
        auto *prompt = sheet->findChild<SwitchRow *>(QStringLiteral("promptOnInsertRow"));
        auto *eject = sheet->findChild<SwitchRow *>(QStringLiteral("autoEjectRow"));
        prompt->toggle()->click();
        QCOMPARE(stored(SettingsStore::promptCleanOnInsertKey), std::optional(true));
        QVERIFY(prompt->toggle()->isOn() && rig.view.promptCleanOnInsert());
        eject->toggle()->click();
        eject->toggle()->click();
        QCOMPARE(stored(SettingsStore::autoEjectAfterCleanKey), std::optional(false));
        QVERIFY(!eject->toggle()->isOn());
    }

    // The editors through their widgets: Return adds nothing, refused text stays,
    // the custom kind follows its suffixes, one chip versus every equal row goes.
    void editorsThroughWidgets()
    {
        Rig rig;
        rig.view.setCustomExtensions({"gz", "bak", "gz"});
        rig.view.setExcludedFilePatterns({"a*", "b", "a*"});
        SettingsView *sheet = rig.open();
        CustomExtensionEditor *custom = sheet->customEditor();
        custom->placeholder()->click();
        rig.clock.advance(100ms);

        type(custom->field(), QStringLiteral("old"));
        QTest::keyClick(custom->field(), Qt::Key_Return);
        QVERIFY(sheet->isVisible());
        QCOMPARE(rig.view.customExtensions(), (QStringList{"gz", "bak", "gz"}));
        type(custom->field(), QStringLiteral("..."));
        QVERIFY(custom->addButton()->isEnabled());
        custom->addButton()->click();
        QCOMPARE(custom->field()->text(), QStringLiteral("..."));
        type(custom->field(), QStringLiteral("  "));
        QVERIFY(!custom->addButton()->isEnabled());

        // Chips: the first equal one goes; the last one takes the kind with it.
        RemovableListView *chips = custom->chips();
        QCOMPARE(chips->shownText(0), QStringLiteral(".gz"));
        QCOMPARE(testsupport::drawnLines(chips->viewport()), QStringList{".gz.bak.gz"});   // whole, not ".b…"
        const auto removeChip = [chips](int row) {
            QTest::mouseClick(chips->viewport(), Qt::LeftButton, {}, chips->removeButtonRect(row).center());
        };
        removeChip(0);
        QCOMPARE(rig.view.customExtensions(), (QStringList{"bak", "gz"}));
        rig.view.setSelectedFileTypes({FileType::custom});
        removeChip(0);
        removeChip(0);
        QVERIFY(rig.view.customExtensions().isEmpty() && rig.view.selectedFileTypes().isEmpty());
        QVERIFY(!custom->row()->toggle()->isEnabled() && custom->row()->infoButton()->isEnabled());
        QVERIFY(custom->emptyHint()->isVisibleTo(sheet) && !chips->isVisibleTo(sheet));
        type(custom->field(), QStringLiteral("log"));
        QVERIFY(testsupport::showsFocus(custom->addButton()));
        QVERIFY(testsupport::pressedByKeys(custom->addButton(), {Qt::Key_Return}));
        QVERIFY(rig.view.selectedFileTypes().contains(FileType::custom) && custom->row()->toggle()->isEnabled());
        QVERIFY(custom->field()->text().isEmpty());

        // Patterns: every equal row goes; an add empties and focuses the field.
        ExcludedFilesView *excluded = sheet->excludedFilesView();
        RemovableListView *list = excluded->list();
        sheet->findChild<QScrollArea *>(QStringLiteral("settingsScrollArea"))->ensureWidgetVisible(list);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->removeButtonRect(0).center());
        QCOMPARE(rig.view.excludedFilePatterns(), QStringList{"b"});
        type(excluded->field(), QStringLiteral("b"));
        excluded->addButton()->click();
        QCOMPARE(excluded->field()->text(), QStringLiteral("b"));
        type(excluded->field(), QStringLiteral("*.tmp"));
        QTest::keyClick(excluded->field(), Qt::Key_Return);
        QCOMPARE(rig.view.excludedFilePatterns(), QStringList{"b"});
        QVERIFY(testsupport::showsFocus(excluded->addButton()));
        QVERIFY(testsupport::pressedByKeys(excluded->addButton(), {Qt::Key_Return}));
        QCOMPARE(rig.view.excludedFilePatterns(), (QStringList{"b", "*.tmp"}));
        QVERIFY(excluded->field()->text().isEmpty() && sheet->focusWidget() == excluded->field());
        // By keyboard: the list shows the entry the keys are on, and Delete
        // (or Backspace, Return, Enter or Space) removes it; the next one
        // takes its place.
        QVERIFY(testsupport::showsFocus(list));
        for (const char *more : {"k1", "k2", "k3", "k4"}) {
            type(excluded->field(), QString::fromLatin1(more));
            excluded->addButton()->click();
        }
        list->setCurrentIndex(list->model()->index(0, 0));
        QStringList left{"b", "*.tmp", "k1", "k2", "k3", "k4"};
        for (const Qt::Key key : {Qt::Key_Delete, Qt::Key_Backspace, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
            QTest::keyClick(list, key);
            left.removeFirst();
            QCOMPARE(rig.view.excludedFilePatterns(), left);
            QCOMPARE(list->currentIndex().data().toString(), left.first());
        }
        excluded->findChild<QAbstractButton *>(QStringLiteral("clearPatternsButton"))->click();
        QVERIFY(rig.view.excludedFilePatterns().isEmpty());
        QVERIFY(excluded->findChild<QWidget *>(QStringLiteral("noExcludedPatternsNotice"))->isVisibleTo(sheet));
    }

    // Tab reaches every control of the sheet (the scroll area is none of
    // them) and each shows its focus: with the custom field's placeholder,
    // then the field; the line of chips too when scrolled away from the chip
    // the keys were on. The plain buttons' rings keep off their labels.
    void everyControlByTab()
    {
        Rig rig;
        QStringList suffixes;   // more chips than their line shows
        for (int i = 0; i < 30; ++i)
            suffixes << QStringLiteral("s%1").arg(i);
        rig.view.setCustomExtensions(suffixes);
        rig.view.setExcludedFilePatterns({"keep*"});
        SettingsView *sheet = rig.open();
        CustomExtensionEditor *custom = sheet->customEditor();
        RemovableListView *chips = custom->chips();
        for (QWidget *entry : {static_cast<QWidget *>(custom->placeholder()), static_cast<QWidget *>(custom->field())}) {
            if (entry == custom->field()) {
                custom->placeholder()->click();
                rig.clock.advance(100ms);
            }
            layOut();
            const QList<QWidget *> stops = testsupport::tabStops(sheet);
            QVERIFY(stops.contains(entry) && stops.contains(chips));
            QCOMPARE(testsupport::stopsShowingNoFocus(sheet), QStringList());
        }
        chips->horizontalScrollBar()->setValue(chips->horizontalScrollBar()->maximum());
        QVERIFY(testsupport::showsFocus(chips));
        QVERIFY(chips->viewport()->rect().contains(chips->visualRect(chips->currentIndex())));

        QVERIFY(testsupport::ringClearOfLabel(sheet->findChild<QWidget *>(QStringLiteral("clearPatternsButton"))));
        for (FileType type : FileTypes::allCases()) {
            QVERIFY2(testsupport::ringClearOfLabel(sheet->fileTypeRow(type)->infoButton()),
                     qPrintable(FileTypes::rawValue(type)));
        }
    }

    // What users type is drawn as typed: markup stays text.
    void typedTextIsPlain()
    {
        Rig rig;
        SettingsView *sheet = rig.open();
        RemovableListView *list = sheet->excludedFilesView()->list();
        RemovableListView *chips = sheet->customEditor()->chips();
        QList<int> ink;
        for (const QString &text : {QStringLiteral("<b>x</b>"), QStringLiteral("x")}) {
            rig.view.setExcludedFilePatterns({text});
            rig.view.setCustomExtensions({text});
            QCOMPARE(list->shownText(0), text);
            QCOMPARE(chips->shownText(0), QLatin1Char('.') + text);
            ink << inkOf(list) << inkOf(chips);
        }
        // Seven more characters, not one bold letter.
        QVERIFY2(ink[0] > 3 * ink[2] && ink[1] > 3 * ink[3], qPrintable(QString::number(ink[0])));
    }

    // Each kind's popover lists its own display patterns; the custom kind has
    // none; one popover is open at a time.
    void infoPopover()
    {
        Rig rig;
        SettingsView *sheet = rig.open();
        const QMap<FileType, int> counts{{FileType::dsStore, 5},        {FileType::appleDouble, 5},
                                         {FileType::spotlight, 4},      {FileType::trash, 6},
                                         {FileType::thumbsDb, 9},       {FileType::temporaryFiles, 23},
                                         {FileType::systemLogs, 5},     {FileType::windowsSystem, 3},
                                         {FileType::custom, 0}};
        for (FileType type : FileTypes::allCases()) {
            sheet->fileTypeRow(type)->infoButton()->click();
            settle();
            const QList<FileTypeInfoPopover *> open = sheet->findChildren<FileTypeInfoPopover *>();
            QCOMPARE(open.size(), 1);
            FileTypeInfoPopover *popover = open.first();
            QVERIFY(popover->isVisible() && popover->fileType() == type && sheet->showingInfoForType() == type);
            QCOMPARE(popover->shownPatterns(), FileTypes::patternInfo(type).patterns);
            QCOMPARE(popover->shownPatterns().size(), counts.value(type));
            const bool listed = type != FileType::custom;
            QCOMPARE(popover->findChild<QWidget *>(QStringLiteral("includedPatternsHeading")) != nullptr, listed);
            QCOMPARE(popover->findChild<QWidget *>(QStringLiteral("patternList")) != nullptr, listed);
        }
        // The display lists are not the matching lists.
        QVERIFY(FileTypes::patternInfo(FileType::appleDouble).patterns.contains("Network Trash Folder"));
        QVERIFY(!FileTypes::patternInfo(FileType::trash).patterns.contains("Network Trash Folder"));
        QVERIFY(!FileTypes::patternInfo(FileType::spotlight).patterns.contains(".fseventsd"));

        QWidget *closeButton = sheet->infoPopover()->findChild<QWidget *>(QStringLiteral("popoverCloseButton"));
        QTest::mouseClick(closeButton, Qt::LeftButton);
        settle();
        QVERIFY(!sheet->showingInfoForType() && sheet->findChildren<FileTypeInfoPopover *>().isEmpty());
        // Escape closes the popover, not the sheet.
        sheet->fileTypeRow(FileType::trash)->infoButton()->click();
        QTest::keyClick(sheet, Qt::Key_Escape);
        QVERIFY(!sheet->showingInfoForType() && sheet->isVisible());
        // So does a click elsewhere.
        sheet->fileTypeRow(FileType::spotlight)->infoButton()->click();
        QTest::mouseClick(sheet->windowHandle(), Qt::LeftButton, {}, QPoint(30, 30));
        QVERIFY(!sheet->showingInfoForType() && sheet->isVisible());
        // And a click on another row's button opens that one instead, with one click.
        sheet->fileTypeRow(FileType::spotlight)->infoButton()->click();
        QWidget *other = sheet->fileTypeRow(FileType::trash)->infoButton();
        QTest::mouseClick(sheet->windowHandle(), Qt::LeftButton, {}, other->mapTo(sheet, other->rect().center()));
        settle();
        QCOMPARE(sheet->showingInfoForType(), std::optional(FileType::trash));
        QCOMPARE(sheet->findChildren<FileTypeInfoPopover *>().size(), 1);
    }

    // A language picked in the sheet redraws the sheet, its popover and the
    // window at once; the Arabic table falls back to English key by key.
    void languageChange()
    {
        Rig rig;
        rig.view.setExcludedFilePatterns({"keep*"});
        SettingsView *sheet = rig.open();
        // A wheel turned over the picker while scrolling the sheet leaves the language alone.
        QComboBox *languages = sheet->findChild<LanguageSelector *>()->picker();
        QWheelEvent wheel(QPointF(5, 5), languages->mapToGlobal(QPointF(5, 5)), {}, QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(languages, &wheel);
        QCOMPARE(rig.language.currentLanguage().rawValue(), QStringLiteral("system"));
        QWidget *updateBlock = sheet->updateCheckBlock();
        QCOMPARE(updateBlock->objectName(), QStringLiteral("updateCheckBlock"));
        const QPointer<UpdateCheckView> card = updateBlock->findChild<UpdateCheckView *>();
        QVERIFY(card);
        sheet->customEditor()->placeholder()->click();
        rig.clock.advance(100ms);
        type(sheet->customEditor()->field(), QStringLiteral("ba"));
        type(sheet->excludedFilesView()->field(), QStringLiteral("half"));
        sheet->fileTypeRow(FileType::trash)->infoButton()->click();

        const auto pick = [sheet](const QString &code) {
            QComboBox *picker = sheet->findChild<LanguageSelector *>()->picker();
            const int index = picker->findData(code);
            picker->setCurrentIndex(index);
            emit picker->activated(index);
            settle();
        };
        const auto texts = [sheet] {
            return QStringList{visibleLabelTexts(sheet, "settingsTitle").value(0),
                               sheet->fileTypeRow(FileType::dsStore)->findChild<QLabel *>("rowTitle")->text(),
                               sheet->findChild<SwitchRow *>("autoEjectRow")->findChild<QLabel *>("rowTitle")->text(),
                               sheet->infoPopover()->findChild<QLabel *>("popoverTitle")->text()};
        };
        const auto expected = [] {
            return QStringList{localized("settings"), FileTypes::displayName(FileType::dsStore), localized("auto_eject"),
                               FileTypes::displayName(FileType::trash)};
        };
        for (const QString &code : {QStringLiteral("zh-Hans"), QStringLiteral("ar")}) {
            pick(code);
            QCOMPARE(texts(), expected());
            QCOMPARE(rig.window->findChild<QAction *>("settingsToolbarButton")->toolTip(), localized("settings_help"));
        }
        // Arabic, in its own table (not the English fallback).
        QCOMPARE(texts().first(), StringTables::shared().lookup(QStringLiteral("ar"), QStringLiteral("settings"))
                                      .value_or(QString()).prepend(QChar(0x200F)));
        QCOMPARE(sheet->windowTitle(), texts().first());

        pick(QStringLiteral("zh-Hans"));
        QCOMPARE(texts().first(), QStringLiteral("设置"));

        // The sheet's own state stays; the pattern editor starts again; the
        // update block is the same widget, still last, with a card in the new language.
        QCOMPARE(sheet->customEditor()->field()->text(), QStringLiteral("ba"));
        QVERIFY(sheet->customEditor()->field()->isVisibleTo(sheet));
        QVERIFY(sheet->excludedFilesView()->field()->text().isEmpty());
        QCOMPARE(sheet->excludedFilesView()->list()->items(), QStringList{"keep*"});
        QCOMPARE(sheet->updateCheckBlock(), updateBlock);
        QVERIFY(!card);
        const QList<UpdateCheckView *> cards = updateBlock->findChildren<UpdateCheckView *>();
        QCOMPARE(cards.size(), 1);
        QStringList cardTexts;
        for (const QLabel *label : cards.first()->findChildren<QLabel *>())
            cardTexts << label->text();
        QVERIFY2(cardTexts.contains(localized("check_for_updates")), qPrintable(cardTexts.join(u'|')));
        QVERIFY(updateBlock->isVisibleTo(sheet));
        QWidget *content = sheet->findChild<QScrollArea *>(QStringLiteral("settingsScrollArea"))->widget();
        QVERIFY(updateBlock->mapTo(content, QPoint()).y()
                > sheet->findChild<SwitchRow *>("autoEjectRow")->mapTo(content, QPoint()).y());
        QVERIFY(sheet->findChild<QScrollArea *>(QStringLiteral("settingsScrollArea"))->verticalScrollBar()->maximum() > 0);   // taller than the sheet
    }

    // With the transitions drawn: the lists, the kind and what is shown change
    // at once, a click meets the entries where they are drawn, and once the
    // transitions end nothing of them is left in the editors' room.
    void listEditsTransition()
    {
        const testsupport::RunningTransitions drawn;
        Rig rig;
        rig.view.setCustomExtensions({"gz", "bak", "log"});
        rig.view.setExcludedFilePatterns({"a*", "b"});
        SettingsView *sheet = rig.open();
        CustomExtensionEditor *custom = sheet->customEditor();
        ExcludedFilesView *excluded = sheet->excludedFilesView();
        const auto removeAt = [](RemovableListView *list, int row) {
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->removeButtonRect(row).center());
        };
        const auto ended = [&] {
            ui::motion::finishAll();
            settle();
            layOut();
            QCOMPARE(sheet->findChildren<QWidget *>(QStringLiteral("motionPicture")).size(), 0);
            QCOMPARE(custom->chips()->model()->rowCount(), custom->chips()->items().size());
            QCOMPARE(excluded->list()->model()->rowCount(), excluded->list()->items().size());
        };
        sheet->customEditor()->placeholder()->click();
        rig.clock.advance(100ms);
        layOut();
        const QSize customSize = custom->sizeHint();
        const QSize excludedSize = excluded->sizeHint();

        // A chip in the middle goes; the next one's button is where it is drawn now.
        RemovableListView *chips = custom->chips();
        removeAt(chips, 1);
        QCOMPARE(chips->items(), (QStringList{"gz", "log"}));
        QCOMPARE(chips->model()->rowCount(), 3);
        removeAt(chips, 1);
        QCOMPARE(rig.view.customExtensions(), QStringList{"gz"});
        ended();
        // The last one takes the kind and the line of chips; the hint comes.
        rig.view.setSelectedFileTypes({FileType::custom});
        removeAt(chips, 0);
        QVERIFY(rig.view.customExtensions().isEmpty() && !rig.view.selectedFileTypes().contains(FileType::custom));
        QVERIFY(!chips->isVisibleTo(sheet) && custom->emptyHint()->isVisibleTo(sheet));
        QVERIFY(!custom->row()->toggle()->isEnabled());
        ended();

        // A pattern goes, the list is cleared while it fades, and one is added
        // while the list fades out.
        RemovableListView *list = excluded->list();
        auto *clear = excluded->findChild<QAbstractButton *>(QStringLiteral("clearPatternsButton"));
        auto *notice = excluded->findChild<QWidget *>(QStringLiteral("noExcludedPatternsNotice"));
        removeAt(list, 0);
        QCOMPARE(list->items(), QStringList{"b"});
        QTest::mouseClick(clear, Qt::LeftButton);
        QVERIFY(rig.view.excludedFilePatterns().isEmpty());
        QVERIFY(!list->isVisibleTo(sheet) && notice->isVisibleTo(sheet));
        type(excluded->field(), QStringLiteral("c"));
        excluded->addButton()->click();
        QVERIFY(list->isVisibleTo(sheet) && !notice->isVisibleTo(sheet));
        QCOMPARE(list->items(), QStringList{"c"});
        ended();

        // Back where they started, both editors take the room they took then.
        rig.view.setCustomExtensions({"gz", "bak", "log"});
        rig.view.setExcludedFilePatterns({"a*", "b"});
        ended();
        QCOMPARE(custom->sizeHint(), customSize);
        QCOMPARE(excluded->sizeHint(), excludedSize);

        // A language change while the list fades out builds the sheet anew;
        // what the transition left in the old one goes with it.
        QTest::mouseClick(clear, Qt::LeftButton);
        rig.language.setLanguage(AppLanguage::chinese);
        settle();
        ui::motion::finishAll();
        settle();
        QCOMPARE(sheet->findChildren<QWidget *>(QStringLiteral("motionPicture")).size(), 0);
        QVERIFY(sheet->excludedFilesView()->findChild<QWidget *>(QStringLiteral("noExcludedPatternsNotice"))
                    ->isVisibleTo(sheet));
    }

    // The sheet holds its scroll position. "Clear All" of the patterns: the
    // focus it had does not fall to a control further down and scroll the
    // sheet there. "Check Now" with the sheet scrolled to its end: the card
    // keeps its height while it checks.
    void sheetKeepsItsScrollPosition()
    {
        updates.body = testsupport::json("{'version':'99.0','whatsNew':'notes'}");
        Rig rig;
        rig.view.setExcludedFilePatterns({QStringLiteral("a*"), QStringLiteral("b")});
        SettingsView *sheet = rig.open();
        auto *manager = sheet->findChild<UpdateManager *>();
        rig.clock.runDue();
        QVERIFY(QTest::qWaitFor([manager] { return !manager->isCheckingForUpdates(); }, 5000));
        QVERIFY(manager->updateAvailable());

        auto *scroll = sheet->findChild<QScrollArea *>(QStringLiteral("settingsScrollArea"));
        layOut();
        QScrollBar *bar = scroll->verticalScrollBar();
        sheet->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(sheet));
        auto *clear = sheet->findChild<QAbstractButton *>(QStringLiteral("clearPatternsButton"));
        scroll->ensureWidgetVisible(clear);
        const int atTheList = bar->value();
        QVERIFY(atTheList > 0);
        QTest::mouseClick(clear, Qt::LeftButton);
        layOut();
        QVERIFY(rig.view.excludedFilePatterns().isEmpty());
        QCOMPARE(bar->value(), atTheList);

        bar->setValue(bar->maximum());
        const int scrolled = bar->value();
        QVERIFY(scrolled > 0);
        const auto card = [sheet] { return sheet->updateCheckBlock()->findChild<UpdateCheckView *>(); };
        const int height = card()->height();

        updates.mode = testsupport::LocalHttpServer::Mode::silent;
        card()->findChild<QAbstractButton *>(QStringLiteral("checkNowButton"))->click();
        layOut();
        QVERIFY(manager->isCheckingForUpdates());
        QVERIFY(card()->findChild<QWidget *>(QStringLiteral("checkingRow"))->isVisibleTo(card()));
        QCOMPARE(card()->height(), height);
        QCOMPARE(bar->value(), scrolled);

        // The check ends (no answer in 10 s): the earlier finding stands.
        rig.clock.advance(10s);
        layOut();
        QVERIFY(card()->findChild<QWidget *>(QStringLiteral("updateBlock"))->isVisibleTo(card()));
        QCOMPARE(bar->value(), scrolled);
    }

    // Each opening starts with the field hidden, however the last one ended.
    void reopeningHidesTheField()
    {
        Rig rig;
        SettingsView *sheet = rig.open();
        sheet->customEditor()->placeholder()->click();
        rig.clock.advance(50ms);
        QVERIFY(!sheet->shouldShowTextField());
        rig.clock.advance(50ms);
        QVERIFY(sheet->customEditor()->field()->isVisibleTo(sheet));
        QVERIFY(!sheet->customEditor()->placeholder()->isVisibleTo(sheet));
        QVERIFY(sheet->customEditor()->emptyHint()->isVisibleTo(sheet));
        QTest::keyClick(sheet, Qt::Key_Escape);
        settle();

        rig.center.post(ContentView::openAppSettings);   // another way in
        sheet = rig.sheet();
        QVERIFY(sheet && sheet->isVisible());
        QVERIFY(!sheet->shouldShowTextField());
        QVERIFY(sheet->customEditor()->placeholder()->isVisibleTo(sheet));
        QVERIFY(!sheet->customEditor()->field()->isVisibleTo(sheet));
        QVERIFY(!sheet->customEditor()->emptyHint()->isVisibleTo(sheet));
    }
};

SWEEPBROOK_TEST_MAIN(SettingsSheetTest)
#include "test_settings_sheet.moc"
