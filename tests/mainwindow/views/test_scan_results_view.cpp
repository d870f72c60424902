#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "toolkit/Presentation.h"
#include "mainwindow/views/ScanResultsModel.h"
#include "mainwindow/views/ScanResultsView.h"

#include "FakeDeviceService.h"
#include "StdoutCapture.h"
#include "TestMain.h"
#include "TextFit.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTreeView>

using namespace std::chrono_literals;

namespace {

const QString mountRoot = QStringLiteral("/media/u/STICK");

FileItem item(const QString &path, qint64 size = 100)
{
    return FileItem::fromPath(path, size);
}

// A window state on virtual time with one ready stick at /media/u/STICK and
// the results view following it the way the main window makes it follow.
struct Rig : testsupport::WindowRig
{
    ScanResultsView results{view};
    LocalUSBDevice stick = testsupport::makeDevice(QStringLiteral("STICK"), true, mountRoot);

    Rig()
    {
        LanguageManager::setShared(&language);
        language.setLanguage(AppLanguage::english);
        devices.setList({stick});
        QObject::connect(&view, &ContentView::stateChanged, &results, &ScanResultsView::refresh);
        view.onAppearSetup();
        selectReady(stick);
        results.resize(640, 480);
        results.show();
        QVERIFY(QTest::qWaitForWindowExposed(&results));
    }
    ~Rig() { LanguageManager::setShared(nullptr); }

    void startScan() { view.scanDevice(stick); }
    void scan(const ScanResult &result)
    {
        startScan();
        QVERIFY(!devices.scans.isEmpty());
        devices.scans.last().completion(result);
    }
    QTreeView *list() const { return results.findChild<QTreeView *>(QStringLiteral("resultsList")); }
    ScanResultsModel *model() const { return qobject_cast<ScanResultsModel *>(list()->model()); }
    ScanResultsDelegate *delegate() const { return qobject_cast<ScanResultsDelegate *>(list()->itemDelegate()); }
    QString summary() const { return results.findChild<QLabel *>(QStringLiteral("cleanSummaryLabel"))->text(); }
    QAbstractButton *cleanButton() const { return results.findChild<QAbstractButton *>(QStringLiteral("cleanAllButton")); }
    void clickCheckBox(FileType type)
    {
        const QModelIndex index = model()->sectionIndex(type);
        const QRect box = delegate()->checkBoxRect(list()->visualRect(index), list());
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, box.center());
    }
    void save(const QString &name)
    {
        const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/grabs/");
        QDir().mkpath(folder);
        QTest::qWait(300);   // lets the clean button's fade-in end, so the picture shows it
        const QPixmap frame = results.grab();
        QVERIFY(!frame.isNull());
        QVERIFY(frame.save(folder + name + QStringLiteral(".png")));
    }
};

QStringList sectionNames(const ScanResultsModel &model)
{
    QStringList names;
    for (FileType type : model.sections())
        names << FileTypes::rawValue(type);
    return names;
}

} // namespace

class TestScanResultsView : public QObject
{
    Q_OBJECT

private slots:
    // Sections follow the kinds' order, never the results' or their sizes;
    // files keep the scan's order; the bar counts every kind.
    void sections_data()
    {
        QTest::addColumn<ScanResult>("results");
        QTest::addColumn<QStringList>("sections");
        ScanResult trashFirst;
        trashFirst.insert(FileType::trash, {item(mountRoot + "/.Trashes/big", 90000)});
        trashFirst.insert(FileType::dsStore, {item(mountRoot + "/b/.DS_Store"), item(mountRoot + "/a/.DS_Store")});
        QTest::newRow("trash added before dsStore") << trashFirst << QStringList{"dsStore", "trash"};
        ScanResult withEmpty{{FileType::appleDouble, {}}, {FileType::custom, {item(mountRoot + "/x.log", 5)}}};
        QTest::newRow("an empty list gets no section") << withEmpty << QStringList{"custom"};
        QTest::newRow("only empty lists") << ScanResult{{FileType::spotlight, {}}} << QStringList{};
    }
    void sections()
    {
        QFETCH(ScanResult, results);
        QFETCH(QStringList, sections);
        Rig rig;
        rig.scan(results);
        const ScanResultsModel &model = *rig.model();
        QCOMPARE(sectionNames(model), sections);
        for (int row = 0; row < model.rowCount(); ++row) {
            const QModelIndex section = model.index(row, 0);
            const QList<FileItem> &files = results.value(model.sections()[row]);
            QCOMPARE(model.rowCount(section), files.size());
            for (int i = 0; i < files.size(); ++i)
                QCOMPARE(model.index(i, 0, section).data(ScanResultsModel::PathRole).toString(), files[i].path());
            QCOMPARE(section.data(ScanResultsModel::SummaryRole).toString(),
                     format(localized("files_and_size"), int(files.size()),
                            presentation::byteCountText(presentation::totalSize(results, model.sections()[row]))));
        }
        QCOMPARE(rig.summary(), format(localized("scan_complete"), presentation::totalFileCount(results),
                                       presentation::byteCountText(rig.view.totalJunkSize())));
        rig.save(QStringLiteral("sections-") + QTest::currentDataTag());
    }

    // The custom kind's line and check box follow the stored extensions; a
    // disabled box takes no click.
    void customKind()
    {
        Rig rig;
        rig.view.setSelectedFileTypes({FileType::custom});
        rig.scan({{FileType::custom, {item(mountRoot + "/notes.log", 10), item(mountRoot + "/a.tmp2", 20)}}});
        const QModelIndex custom = rig.model()->sectionIndex(FileType::custom);
        QVERIFY(!custom.data(ScanResultsModel::ExtensionsLineRole).isValid());
        QVERIFY(!(custom.flags() & Qt::ItemIsUserCheckable));
        QSignalSpy changes(&rig.view, &ContentView::stateChanged);
        rig.clickCheckBox(FileType::custom);
        QCOMPARE(changes.size(), 0);
        QCOMPARE(rig.view.selectedFileTypes(), FileTypeSet{FileType::custom});

        rig.view.setCustomExtensions({QStringLiteral("log"), QStringLiteral("tmp2")});
        QCOMPARE(custom.data(ScanResultsModel::ExtensionsLineRole).toString(),
                 localized("includes_extensions") + QStringLiteral(" .log, .tmp2"));
        QVERIFY(custom.flags() & Qt::ItemIsUserCheckable);
        rig.clickCheckBox(FileType::custom);
        QVERIFY(rig.view.selectedFileTypes().isEmpty());
        rig.save(QStringLiteral("custom-extensions"));
    }

    // Unticking a kind writes the selection once and leaves the list and the
    // totals as they were; the space bar ticks it again. Changes elsewhere in
    // the window state do not reset the list.
    void selection()
    {
        Rig rig;
        rig.view.setSelectedFileTypes({FileType::dsStore, FileType::trash});
        rig.scan({{FileType::dsStore, {item(mountRoot + "/.DS_Store", 4096)}},
                  {FileType::trash, {item(mountRoot + "/.Trashes/501/x", 2048)}}});
        const QString summary = rig.summary();
        QSignalSpy resets(rig.model(), &QAbstractItemModel::modelReset);
        QSignalSpy changes(&rig.view, &ContentView::stateChanged);
        rig.clickCheckBox(FileType::dsStore);
        QCOMPARE(changes.size(), 1);
        QCOMPARE(rig.view.selectedFileTypes(), FileTypeSet{FileType::trash});
        const QModelIndex ds = rig.model()->sectionIndex(FileType::dsStore);
        QVERIFY(ds.isValid());
        QCOMPARE(ds.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QCOMPARE(rig.model()->rowCount(ds), 1);
        QCOMPARE(rig.summary(), summary);
        rig.save(QStringLiteral("dsStore-unchecked"));

        rig.list()->setFocus();
        rig.list()->setCurrentIndex(ds);
        QTest::keyClick(rig.list(), Qt::Key_Space);
        QCOMPARE(rig.view.selectedFileTypes(), (FileTypeSet{FileType::dsStore, FileType::trash}));
        QCOMPARE(ds.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));

        rig.view.setShowHistory(true);
        rig.view.setShowHistory(false);
        QCOMPARE(resets.size(), 0);
    }

    // Inside the device's mount root by whole components: a sibling whose
    // name merely starts the same is outside. A name holding a line break is
    // drawn on one line, the break as a space, as is its path.
    void fileSign()
    {
        Rig rig;
        const std::pair<QString, const char *> rows[] = {{mountRoot + "/a/b/.DS_Store", "externaldrive.badge.checkmark"},
                                                         {"/media/u/STICK2/x/.DS_Store", "externaldrive.badge.minus"},
                                                         {"/home/u/.DS_Store", "externaldrive.badge.minus"},
                                                         {mountRoot + "/.DS_Store", "externaldrive.badge.checkmark"},
                                                         {mountRoot + "/c\nd/.DS\nStore", "externaldrive.badge.checkmark"}};
        QList<FileItem> files;
        for (const auto &[path, symbol] : rows)
            files << item(path);
        rig.scan({{FileType::dsStore, files}});
        const QModelIndex section = rig.model()->sectionIndex(FileType::dsStore);
        for (int i = 0; i < files.size(); ++i) {
            const QModelIndex row = rig.model()->index(i, 0, section);
            QCOMPARE(row.data(ScanResultsModel::SymbolRole).toString(), QString::fromLatin1(rows[i].second));
            QCOMPARE(row.data(ScanResultsModel::PathRole).toString(), rows[i].first);
            QCOMPARE(row.data(Qt::DisplayRole).toString(), rows[i].first.section(u'/', -1));
        }
        const QStringList lines = testsupport::drawnLines(rig.list()->viewport());
        QVERIFY2(lines.contains(QStringLiteral(".DS Store")) && lines.contains(mountRoot + QStringLiteral("/c d/.DS Store")),
                 qPrintable(lines.join(u'\n')));
    }

    // The clean-all button is gone while a scan runs, back afterwards, and
    // one click starts one clean.
    void cleanButton()
    {
        Rig rig;
        rig.view.setSelectedFileTypes({FileType::dsStore});
        rig.scan({{FileType::dsStore, {item(mountRoot + "/.DS_Store")}}});
        QVERIFY(rig.cleanButton());
        rig.startScan();
        QVERIFY(rig.view.isScanning());
        QVERIFY(!rig.cleanButton());
        rig.devices.scans.last().completion({{FileType::dsStore, {item(mountRoot + "/.DS_Store")}}});
        QAbstractButton *button = rig.cleanButton();
        QVERIFY(button);
        QCOMPARE(button->toolTip(), localized("clean_all_help"));
        QCOMPARE(button->text(), localized("one_click_clean"));
        QTRY_VERIFY(button->isVisible());

        testsupport::StdoutCapture out;
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(out.lines().filter(QStringLiteral("清理按钮被点击")).size(), 1);
        QCOMPARE(rig.devices.cleans.size(), 1);
    }

    // A language change flips the refresh flag: the list is built afresh and
    // its texts follow the new language.
    void rebuildOnLanguageChange()
    {
        Rig rig;
        rig.scan({{FileType::trash, {item(mountRoot + "/.Trashes/x", 3000)}}});
        QPointer<QTreeView> before = rig.list();
        rig.language.setLanguage(AppLanguage::chinese);
        rig.clock.runDue();
        QVERIFY(rig.list() && rig.list() != before);
        QCOMPARE(rig.model()->rowCount(), 1);
        QVERIFY(rig.summary().startsWith(QStringLiteral("发现")));
        QCOMPARE(rig.cleanButton()->text(), localized("one_click_clean"));
    }

    // Fifty thousand files: every row is in the model and a frame paints, at
    // the top and at the bottom of the list.
    void manyFiles()
    {
        Rig rig;
        ScanResult results;
        const QList<FileType> kinds = {FileType::dsStore, FileType::appleDouble, FileType::temporaryFiles,
                                       FileType::systemLogs, FileType::thumbsDb};
        for (int i = 0; i < 50000; ++i) {
            results[kinds[i % kinds.size()]] << item(mountRoot + QStringLiteral("/photos/%1/._IMG_%2.JPG")
                                                                       .arg(i / 100).arg(i), 4096 + i);
        }
        rig.scan(results);
        const ScanResultsModel &model = *rig.model();
        QCOMPARE(model.rowCount(), kinds.size());
        int files = 0;
        for (int row = 0; row < model.rowCount(); ++row)
            files += model.rowCount(model.index(row, 0));
        QCOMPARE(files, 50000);
        QVERIFY(rig.list()->isExpanded(model.index(0, 0)));
        rig.save(QStringLiteral("many-top"));
        rig.list()->verticalScrollBar()->setValue(rig.list()->verticalScrollBar()->maximum());
        rig.save(QStringLiteral("many-bottom"));
        QVERIFY(rig.list()->indexAt(QPoint(10, rig.list()->viewport()->height() - 5)).isValid());
    }
};

SWEEPBROOK_TEST_MAIN(TestScanResultsView)
#include "test_scan_results_view.moc"
