// The history sheet over the main window, offscreen on virtual time: opened
// by the toolbar, its rows' texts, selection, delete and clear-all through
// their confirmations, the record detail with its chips, cards and search,
// and every text again after a language change.

#include "history/HistoryStore.h"
#include "history/views/CleanHistoryDetailView.h"
#include "history/views/CleanHistoryView.h"
#include "history/views/HistoryFileModel.h"
#include "history/views/HistoryListModel.h"
#include "history/views/HistoryPresentation.h"
#include "history/views/HistorySheet.h"
#include "localization/Localization.h"
#include "mainwindow/views/MainWindow.h"
#include "toolkit/Presentation.h"

#include "FakeDeviceService.h"
#include "KeyboardChecks.h"
#include "TestMain.h"
#include "TextFit.h"

#include <QAction>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolBar>

namespace {

const QDateTime kWhen(QDate(2024, 1, 5), QTime(15, 4, 5));

CleanHistory record(int n, const QString &device, const QStringList &kinds, const QList<CleanedFileDetail> &files)
{
    CleanHistory r;
    r.id = QUuid::fromString(QStringLiteral("00000000-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0')));
    r.deviceName = device;
    r.deviceID = QStringLiteral("/media/") + device + QStringLiteral("|sdb1");
    r.timestamp = kWhen.addDays(-n);
    r.cleanedFileCount = int(files.size());
    r.freedSpace = 0;
    for (const CleanedFileDetail &f : files)
        r.freedSpace += f.size;
    r.fileTypes = kinds;
    r.cleanedFiles = files;
    return r;
}

CleanedFileDetail file(const QString &path, qint64 size, const QString &kind)
{
    return {path.section(u'/', -1), path, size, kind};
}

// Newest first: a stick with known and unknown kinds, a record without kinds
// or files, and a third one.
QList<CleanHistory> history()
{
    return {
        record(1, QStringLiteral("<b>PHOTOS</b>"), {QStringLiteral("dsStore"), QStringLiteral("OldCacheKind")},
               {file(QStringLiteral("/media/PHOTOS/.DS_Store"), 6148, QStringLiteral("dsStore")),
                file(QStringLiteral("/media/PHOTOS/Trip/.DS_Store"), 6148, QStringLiteral("dsStore")),
                file(QStringLiteral("/media/PHOTOS/meta"), 10, QStringLiteral("dsStore")),
                file(QStringLiteral("/media/PHOTOS/web/cache.bin"), 300, QStringLiteral("OldCacheKind")),
                file(QStringLiteral("/media/PHOTOS/loose"), 5, QString())}),
        record(2, QStringLiteral("EMPTY"), {}, {}),
        record(3, QStringLiteral("WORK"), {QStringLiteral("trash")},
               {file(QStringLiteral("/media/WORK/.Trashes/501/a.txt"), 2000, QStringLiteral("trash"))}),
    };
}

struct Rig : testsupport::WindowRig
{
    std::unique_ptr<MainWindow> window;
    HistorySheet *sheets = nullptr;

    explicit Rig(const QList<CleanHistory> &stored = history())
    {
        Scheduler::setShared(&clock);
        LanguageManager::setShared(&language);
        language.setLanguage(AppLanguage::fromRawValue(QStringLiteral("en")).value());
        HistoryStore(prefs).save(stored);
        window = std::make_unique<MainWindow>(view, devices, language);
        sheets = new HistorySheet(view, window.get());
        window->resize(1100, 760);
        window->show();   // appearing reads the history in the background
        clock.settle();   // and it comes in
    }
    ~Rig()
    {
        window.reset();
        LanguageManager::setShared(nullptr);
        Scheduler::setShared(nullptr);
    }

    CleanHistoryView *open()
    {
        window->findChild<QAction *>(QStringLiteral("historyToolbarButton"))->trigger();
        CleanHistoryView *sheet = sheets->sheet();
        if (sheet && !QTest::qWaitForWindowExposed(sheet))
            return nullptr;
        return sheet;
    }
    QListView *list() const { return sheets->sheet()->recordList(); }
    QModelIndex row(int n) const { return list()->model()->index(n, 0); }
    void click(int n) const
    {
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, list()->visualRect(row(n)).center());
    }
    QStringList devicesListed() const
    {
        QStringList names;
        for (int n = 0; n < list()->model()->rowCount(); ++n)
            names << row(n).data().toString();
        return names;
    }
    bool showing(const char *name) const
    {
        auto *widget = sheets->sheet()->findChild<QWidget *>(QLatin1String(name));
        return widget && widget->isVisible();
    }
    // The row's context menu and its one item.
    void deleteFromMenu(int n)
    {
        emit list()->customContextMenuRequested(list()->visualRect(row(n)).center());
        auto *menu = sheets->sheet()->findChild<QMenu *>(QStringLiteral("historyRowMenu"));
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions().first()->text(), localized("delete"));
        menu->actions().first()->trigger();
        menu->close();
    }
    void answer(const char *button)
    {
        QMessageBox *box = sheets->sheet()->confirmation();
        QVERIFY(box && box->isVisible());
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        box->findChild<QPushButton *>(QLatin1String(button))->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    QStringList stored()
    {
        clock.settle();   // saves land in the background
        QStringList names;
        for (const CleanHistory &r : HistoryStore(prefs).load())
            names << r.deviceName;
        return names;
    }
    QStringList shownFiles() const
    {
        QListView *files = sheets->sheet()->detail()->fileList();
        QStringList names;
        for (int n = 0; n < files->model()->rowCount(); ++n)
            names << files->model()->index(n, 0).data(HistoryFileModel::PathRole).toString();
        return names;
    }
    void search(const QString &text)
    {
        QLineEdit *field = sheets->sheet()->detail()->searchField();
        field->clear();
        QTest::keyClicks(field, text);
    }
};

} // namespace

class TestHistoryWindow : public QObject
{
    Q_OBJECT

private slots:
    void sheetAndRows()
    {
        Rig rig;
        CleanHistoryView *sheet = rig.open();
        QVERIFY(sheet);
        QCOMPARE(sheet->parentWidget(), rig.window.get());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->minimumSize(), QSize(800, 500));
        QCOMPARE(sheet->size(), QSize(980, 650));
        QCOMPARE(rig.devicesListed(), (QStringList{"<b>PHOTOS</b>", "EMPTY", "WORK"}));

        // The first row: count, freed space, the kinds by name or verbatim.
        const QModelIndex first = rig.row(0);
        QCOMPARE(first.data(HistoryListModel::CountRole).toString(), format(localized("cleaned_file_count"), 5));
        QCOMPARE(first.data(HistoryListModel::FreedRole).toString(),
                 localized("total_freed") + QLatin1Char(' ') + presentation::byteCountText(6148 + 6148 + 10 + 300 + 5));
        QCOMPARE(first.data(HistoryListModel::KindsRole).toString(),
                 format(localized("clean_types"), FileTypes::displayName(FileType::dsStore) + localized("list_separator")
                                                       + QStringLiteral("OldCacheKind")));
        QCOMPARE(first.data(HistoryListModel::DateRole).toString(),
                 DateFormatter(DateStyle::mediumStyle, DateStyle::shortStyle, QLocale(QStringLiteral("en"))).string(kWhen.addDays(-1)));
        // The kinds caption paints the underscore of ".DS_Store", which lies
        // below the caption's line (it was clipped away there).
        const testsupport::NameDrawn kinds = testsupport::nameDrawn(rig.list()->viewport(), QStringLiteral("DS_Store"));
        QVERIFY(kinds.runs == 1 && kinds.lineCut < 0.01 && kinds.underscoreShown == 1);
        // Without kinds, three lines: a shorter row.
        QVERIFY(rig.row(1).data(HistoryListModel::KindsRole).toString().isEmpty());
        QVERIFY(rig.list()->visualRect(rig.row(1)).height() < rig.list()->visualRect(rig.row(0)).height());

        // Nothing selected: the hint. Every control Tab reaches shows its
        // focus; the list shows the record the keys are on, and Enter or
        // Space chooses it (again: lets it go).
        QVERIFY(rig.showing("historyPlaceholder"));
        QVERIFY(testsupport::tabStops(sheet).contains(rig.list()));
        QCOMPARE(testsupport::stopsShowingNoFocus(sheet), QStringList());
        QVERIFY(testsupport::showsFocus(rig.list()));
        rig.list()->setCurrentIndex(rig.row(1));
        QTest::keyClick(rig.list(), Qt::Key_Return);
        QCOMPARE(rig.view.selectedHistoryItem()->deviceName, QStringLiteral("EMPTY"));
        QTest::keyClick(rig.list(), Qt::Key_Space);
        QVERIFY(!rig.view.selectedHistoryItem());
        // The close button ends the sheet, Enter too, and the state hears of it.
        rig.click(2);
        auto *close = sheet->findChild<QAbstractButton *>(QStringLiteral("closeHistoryButton"));
        QVERIFY(testsupport::showsFocus(close));
        QVERIFY(testsupport::pressedByKeys(close, {Qt::Key_Return}));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!rig.view.showHistory());
        QVERIFY(!rig.sheets->sheet());

        // Opened again, it shows the selection it had.
        QVERIFY(rig.open());
        QVERIFY(rig.showing("historyDetail"));
        QCOMPARE(rig.sheets->sheet()->detail()->record().deviceName, QStringLiteral("WORK"));
        QVERIFY(!rig.sheets->sheet()->confirmation());
    }

    void selectionAndDetail()
    {
        Rig rig;
        rig.open();
        rig.click(0);
        QCOMPARE(rig.view.selectedHistoryItem()->deviceName, QStringLiteral("<b>PHOTOS</b>"));
        QVERIFY(rig.row(0).data(HistoryListModel::SelectedRole).toBool());
        QVERIFY(rig.showing("historyDetail"));
        CleanHistoryDetailView *detail = rig.sheets->sheet()->detail();
        // Every control Tab reaches in the detail shows its focus.
        QVERIFY(testsupport::tabStops(rig.sheets->sheet()).contains(detail->searchField()));
        QCOMPARE(testsupport::stopsShowingNoFocus(rig.sheets->sheet()), QStringList());
        auto *device = detail->findChild<QLabel *>(QStringLiteral("historyDetailDevice"));
        QCOMPARE(device->text(), QStringLiteral("<b>PHOTOS</b>"));
        QCOMPARE(device->textFormat(), Qt::PlainText);
        QCOMPARE(detail->findChild<QLabel *>(QStringLiteral("filesCardValue"))->text(), historyText::filesCardValue(5));
        QStringList chips;
        for (const QWidget *chip : detail->findChildren<QWidget *>(QStringLiteral("kindChip")))
            chips << chip->findChild<QLabel *>()->text();
        QCOMPARE(chips, (QStringList{FileTypes::displayName(FileType::dsStore), QStringLiteral("OldCacheKind")}));

        // The files, an unknown kind with its fallback symbol.
        QCOMPARE(rig.shownFiles().size(), 5);
        QCOMPARE(detail->fileList()->model()->index(3, 0).data(HistoryFileModel::SymbolRole).toString(),
                 QStringLiteral("flame"));

        // The search: by kind string, by name in capitals, by path; nothing found is an empty list.
        rig.search(QStringLiteral("ds"));
        QCOMPARE(rig.shownFiles(), (QStringList{"/media/PHOTOS/.DS_Store", "/media/PHOTOS/Trip/.DS_Store", "/media/PHOTOS/meta"}));
        rig.search(QStringLiteral("DS_STORE"));
        QCOMPARE(rig.shownFiles().size(), 2);
        rig.search(QStringLiteral("trip/"));
        QCOMPARE(rig.shownFiles(), (QStringList{"/media/PHOTOS/Trip/.DS_Store"}));
        rig.search(QStringLiteral("oldcache"));
        QCOMPARE(rig.shownFiles(), (QStringList{"/media/PHOTOS/web/cache.bin"}));
        rig.search(QStringLiteral("nothing like it"));
        QVERIFY(rig.shownFiles().isEmpty());
        QVERIFY(detail->fileList()->isVisible());
        QVERIFY(!rig.showing("noFilesText"));

        // Another record: the search starts over; one without kinds or files shows neither.
        rig.click(1);
        QVERIFY(detail->searchField()->text().isEmpty());
        QVERIFY(rig.showing("noFilesText"));
        QVERIFY(!rig.showing("kindChips"));
        // A tap on the selected row clears the selection.
        rig.click(1);
        QVERIFY(!rig.view.selectedHistoryItem());
        QVERIFY(rig.showing("historyPlaceholder"));
    }

    void deleteOneThroughItsConfirmation()
    {
        Rig rig;
        rig.open();
        rig.click(2);   // WORK

        // Cancel: nothing changes.
        rig.deleteFromMenu(0);
        rig.answer("cancelButton");
        QCOMPARE(rig.devicesListed().size(), 3);
        QCOMPARE(rig.stored().size(), 3);

        // The selected one goes: the detail gives way to the hint.
        rig.deleteFromMenu(2);
        rig.answer("confirmButton");
        QCOMPARE(rig.devicesListed(), (QStringList{"<b>PHOTOS</b>", "EMPTY"}));
        QCOMPARE(rig.stored(), (QStringList{"<b>PHOTOS</b>", "EMPTY"}));
        QVERIFY(!rig.view.selectedHistoryItem());
        QVERIFY(rig.showing("historyPlaceholder"));
    }

    void clearAllThroughItsConfirmation()
    {
        Rig rig;
        rig.open();
        rig.click(0);
        auto *clear = rig.sheets->sheet()->findChild<QAbstractButton *>(QStringLiteral("clearHistoryButton"));
        QVERIFY(clear->isEnabled());
        // A plain button, its label only: its focus ring keeps off the label.
        QVERIFY(testsupport::showsFocus(clear) && testsupport::ringClearOfLabel(clear));
        clear->click();
        rig.answer("cancelButton");
        QCOMPARE(rig.stored().size(), 3);
        QVERIFY(rig.view.selectedHistoryItem());

        clear->click();
        QCOMPARE(rig.sheets->sheet()->confirmation()->text(), localized("clear_all_records"));
        rig.answer("confirmButton");
        QVERIFY(rig.stored().isEmpty());
        QCOMPARE(rig.prefs.bytesValue(HistoryStore::key), std::optional<QByteArray>("[]"));
        QVERIFY(!rig.view.selectedHistoryItem());
        QVERIFY(rig.showing("emptyHistory"));
        QVERIFY(rig.showing("historyPlaceholder"));
        QVERIFY(!clear->isEnabled());
        rig.sheets->sheet()->requestClearAll();   // an empty history asks nothing
        QVERIFY(!rig.sheets->sheet()->confirmation());
    }

    void textsFollowTheLanguage()
    {
        Rig rig;
        CleanHistoryView *sheet = rig.open();
        rig.click(0);
        rig.search(QStringLiteral("trip"));
        const QString englishDate = rig.row(0).data(HistoryListModel::DateRole).toString();
        auto *detailDate = sheet->detail()->findChild<QLabel *>(QStringLiteral("historyDetailDate"));
        const QString englishDetailDate = detailDate->text();

        rig.language.setLanguage(AppLanguage::fromRawValue(QStringLiteral("zh-Hans")).value());
        QVERIFY(localized("clean_history") != StringTables::shared().lookup(QStringLiteral("en"), "clean_history"));
        QStringList labels;
        for (const QLabel *label : sheet->findChildren<QLabel *>())
            labels << label->text();
        for (const char *key : {"clean_history", "cleaned_files", "cleaned_file_count_title", "freed_space_title"})
            QVERIFY2(labels.contains(localized(key)), key);
        QCOMPARE(sheet->findChild<QAbstractButton *>(QStringLiteral("closeHistoryButton"))->text(), localized("close"));
        QCOMPARE(sheet->detail()->searchField()->placeholderText(), localized("search_files"));
        QCOMPARE(rig.row(0).data(HistoryListModel::CountRole).toString(), format(localized("cleaned_file_count"), 5));

        // Dates in the new locale, in the list and the detail; the search stays.
        const QString chineseDate = rig.row(0).data(HistoryListModel::DateRole).toString();
        QVERIFY2(chineseDate != englishDate && chineseDate.contains(QStringLiteral("年")), qPrintable(chineseDate));
        QVERIFY2(detailDate->text() != englishDetailDate && detailDate->text().contains(QStringLiteral("星期")),
                 qPrintable(detailDate->text()));
        QCOMPARE(sheet->detail()->searchField()->text(), QStringLiteral("trip"));
        QCOMPARE(rig.shownFiles().size(), 1);

        // The confirmation asks in the new language too.
        rig.deleteFromMenu(0);
        QCOMPARE(sheet->confirmation()->findChild<QPushButton *>(QStringLiteral("cancelButton"))->text(), localized("cancel"));
        rig.answer("cancelButton");
    }
};

SWEEPBROOK_TEST_MAIN(TestHistoryWindow)
#include "test_history_window.moc"
