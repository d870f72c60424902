// The whole app on a real FAT32 stick (fusefat on a loop device), in real time:
// the stick shows in the sidebar, the gear's settings sheet switches the
// thumbnail kind off, Ctrl+S scans it, the results show without that kind,
// the clean-all button removes the rest of its junk and the completion view
// follows; the toolbar's history button shows the clean's record and the files
// it removed. Grabs of the sheet, the scanned device, the completion and the
// history land in the build folder. On an ext4 stick, by keyboard, the focus
// follows the next action and a clean's new free space leaves the sidebar's
// width as it was.

#include "app/SweepbrookApp.h"
#include "history/views/CleanHistoryDetailView.h"
#include "history/views/CleanHistoryView.h"
#include "history/HistoryStore.h"
#include "localization/Localization.h"
#include "localization/LanguageManager.h"
#include "mainwindow/ContentView.h"
#include "mainwindow/views/DetailColumn.h"
#include "mainwindow/views/MainWindow.h"
#include "mainwindow/views/SidebarView.h"
#include "toolkit/Presentation.h"
#include "mainwindow/views/ScanResultsModel.h"
#include "settings/views/FileTypeSettingRow.h"
#include "settings/SettingsStore.h"
#include "settings/views/SettingsView.h"
#include "settings/views/ToggleSwitch.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"

#include "FakeMachine.h"
#include "KeyboardChecks.h"
#include "MountFixture.h"
#include "StickApp.h"
#include "TestMain.h"
#include "Patience.h"

#include <QAbstractButton>
#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListView>
#include <QTemporaryDir>
#include <QToolBar>

namespace {

constexpr int patience = testsupport::kPatience;

// The sizes of the regular files below a folder, as find reports them.
qint64 filesBelow(const QString &folder)
{
    ProcessRequest request;
    request.program = findExecutable(QStringLiteral("find"));
    request.arguments = {folder, QStringLiteral("-type"), QStringLiteral("f"), QStringLiteral("-printf"), QStringLiteral("%s\n")};
    qint64 total = 0;
    for (const QByteArray &line : runProcess(request).standardOutput.split('\n'))
        total += line.toLongLong();
    return total;
}

QString grabPath(const QString &name)
{
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/grabs");
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + name;
}

} // namespace

class TestAppSmoke : public QObject
{
    Q_OBJECT

private slots:
    void scanAndCleanAStick()
    {
        // FAT32 through fusefat; the screenshot script asks for exFAT, whose FUSE
        // driver reports the volume's size (fusefat reports none).
        const bool exfat = qEnvironmentVariableIsSet("SWEEPBROOK_SMOKE_EXFAT");
        const MountFixture::Kind kind = exfat ? MountFixture::Kind::ExFat : MountFixture::Kind::Fat32;
        if (const QString why = MountFixture::whyUnavailable(kind); !why.isEmpty())
            QSKIP(qPrintable(why));

        // Made first, so the stick is unmounted only after the app has gone.
        MountFixture fx;
        QTemporaryDir dir;
        Preferences preferences(dir.filePath(QStringLiteral("preferences.json")));
        preferences.setBool(QStringLiteral("hasCompletedOnboarding"), true);

        // The app sees only this test's stick: other tests mount volumes of their own meanwhile.
        const QString mountInfo = dir.filePath(QStringLiteral("mountinfo"));
        QVERIFY(MountFixture::writeMountInfoOf({}, mountInfo));   // empty until the stick is mounted

        USBDeviceManager::Environment env;
        env.paths.mountInfo = mountInfo;
        env.dotClean = QStringLiteral(SWEEPBROOK_DOT_CLEAN);
        NotificationCenter center;
        SweepbrookApp::Options options;
        options.environment = env;
        options.preferences = &preferences;
        options.center = &center;
        SweepbrookApp app(options);
        app.start();
        MainWindow &window = app.window();
        window.resize(1100, 720);
        QVERIFY(QTest::qWaitForWindowExposed(&window, patience));

        // Insert the stick.
        const auto image = fx.makeImage(kind, 32, QStringLiteral("SMOKESTICK"));
        const auto loop = image ? fx.attachLoop(*image) : std::nullopt;
        const QString point = fx.mountRoot() + QStringLiteral("/SMOKESTICK");
        if (!loop || !(exfat ? fx.mountExfat(*loop, point) : fx.mountFat(*loop, point)))
            QSKIP(qPrintable(fx.lastError()));
        testsupport::writeFile(point + "/.DS_Store", QByteArray(6148, 'd'));
        testsupport::writeFile(point + "/._photo.jpg", QByteArray(4096, 'a'));
        testsupport::writeFile(point + "/DCIM/Thumbs.db", QByteArray(100, 't'));
        testsupport::writeFile(point + "/photo.jpg", "keep me");
        // Junk folders: they count for the files they hold.
        testsupport::writeFile(point + "/.Trashes/501/old.doc", QByteArray(204800, 'o'));
        testsupport::writeFile(point + "/.Spotlight-V100/Store-V2/store.db", QByteArray(307200, 's'));
        const qint64 junkBytes = 6148 + 4096 + filesBelow(point + "/.Trashes") + filesBelow(point + "/.Spotlight-V100");
        QCOMPARE(junkBytes, 6148 + 4096 + 204800 + 307200);
        QVERIFY(MountFixture::writeMountInfoOf(point, mountInfo));

        // It shows in the sidebar.
        QString id;
        const auto rowShown = [&] {
            const std::optional<LocalUSBDevice> selected = app.contentView().selectedDevice();
            if (!selected || selected->path != point)
                return false;
            id = selected->id;
            for (const QWidget *row : window.findChildren<QWidget *>(QStringLiteral("deviceRow"))) {
                if (row->property("deviceID").toString() == id && row->isVisible())
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(rowShown(), patience);

        // The gear opens the settings sheet; the thumbnail kind goes off; Done.
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window, patience));
        QWidget *gear = window.findChild<QToolBar *>()->findChild<QWidget *>(QStringLiteral("settingsToolbarButton"));
        QVERIFY(gear);
        QTest::mouseClick(gear, Qt::LeftButton);
        SettingsView *sheet = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((sheet = qobject_cast<SettingsView *>(window.settingsSheet())) && sheet->isVisible(),
                                 patience);
        QVERIFY(QTest::qWaitForWindowExposed(sheet, patience));
        ToggleSwitch *thumbnails = sheet->fileTypeRow(FileType::thumbsDb)->toggle();
        QVERIFY(thumbnails->isOn());
        QTest::mouseClick(thumbnails, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!thumbnails->isOn(), patience);
        QTest::qWait(300);
        QVERIFY(sheet->grab().save(grabPath(QStringLiteral("settings-sheet.png"))));
        QTest::mouseClick(sheet->findChild<QWidget *>(QStringLiteral("doneButton")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window.settingsSheet(), patience);
        QVERIFY(!SettingsStore(preferences).loadSelectedFileTypes().contains(FileType::thumbsDb));

        // Ctrl+S scans it once it is ready.
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window, patience));
        QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
        DetailColumn *detail = window.detailColumn();
        QTRY_VERIFY_WITH_TIMEOUT(detail->currentIdentity().startsWith(QStringLiteral("ScanResultsView_")), patience);
        QTest::qWait(300);   // let the results settle on screen for the grab
        QVERIFY(window.grab().save(grabPath(QStringLiteral("scanned-device.png"))));
        auto *results = window.findChild<ScanResultsModel *>();
        QVERIFY(results);
        QCOMPARE(results->sections(),
                 (QList<FileType>{FileType::dsStore, FileType::spotlight, FileType::trash, FileType::temporaryFiles}));
        qint64 listedBytes = 0;
        for (const FileType type : results->sections())
            listedBytes += presentation::totalSize(app.contentView().scanResults(), type);
        QCOMPARE(listedBytes, junkBytes);

        // Clean all: the junk of the kinds still on goes, the photo stays.
        auto *cleanAll = window.findChild<QAbstractButton *>(QStringLiteral("cleanAllButton"));
        QVERIFY(cleanAll);
        QTRY_VERIFY_WITH_TIMEOUT(cleanAll->isEnabled() && cleanAll->isVisible(), patience);
        QTest::mouseClick(cleanAll, Qt::LeftButton);
        for (const char *junk : {"/.DS_Store", "/._photo.jpg"})
            QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(point + junk), patience);
        QVERIFY(QFileInfo::exists(point + "/photo.jpg"));
        QVERIFY(QFileInfo::exists(point + "/DCIM/Thumbs.db"));
        QTRY_VERIFY_WITH_TIMEOUT(detail->currentIdentity().startsWith(QStringLiteral("CompletionView_")), patience);
        QTest::qWait(300);
        QVERIFY(window.grab().save(grabPath(QStringLiteral("completion.png"))));
        const auto *stats = detail->findChild<QLabel *>(QStringLiteral("completionStats"));
        QVERIFY(stats);
        QCOMPARE(stats->text(), format(localized(QStringLiteral("clean_result_stats")), 4, presentation::byteCountText(junkBytes)));
        QTRY_COMPARE_WITH_TIMEOUT(HistoryStore(preferences).load().size(), 1, patience);
        QCOMPARE(HistoryStore(preferences).load().first().freedSpace, junkBytes);

        // The history: one record of this stick; selected, it lists the two files removed.
        window.findChild<QAction *>(QStringLiteral("historyToolbarButton"))->trigger();
        auto *history = window.findChild<CleanHistoryView *>();
        QVERIFY(history);
        QVERIFY(QTest::qWaitForWindowExposed(history, patience));
        QListView *records = history->recordList();
        QCOMPARE(records->model()->rowCount(), 1);
        QCOMPARE(records->model()->index(0, 0).data().toString(), QStringLiteral("SMOKESTICK"));
        QTest::mouseClick(records->viewport(), Qt::LeftButton, {}, records->visualRect(records->model()->index(0, 0)).center());
        QListView *files = history->detail()->fileList();
        QTRY_VERIFY_WITH_TIMEOUT(files->isVisible(), patience);
        QStringList removed;
        for (int row = 0; row < files->model()->rowCount(); ++row)
            removed << files->model()->index(row, 0).data().toString();
        removed.sort();
        QCOMPARE(removed, (QStringList{".DS_Store", ".Spotlight-V100", ".Trashes", "._photo.jpg"}));   // the thumbnails were switched off
        QTest::qWait(300);
        QVERIFY(history->grab().save(grabPath(QStringLiteral("history.png"))));
        history->accept();

        window.close();
    }

    // On an ext4 stick, whose free space the app reads, scanned and cleaned
    // by keyboard: the focus follows the next action, and the sidebar keeps
    // its width though the clean changed the free space its row shows.
    void cleanOnExt4()
    {
        if (const QString why = MountFixture::whyUnavailable(MountFixture::Kind::Ext4); !why.isEmpty())
            QSKIP(qPrintable(why));
        testsupport::StickApp rig;
        QVERIFY(rig.start());
        const QString point = rig.insert(QStringLiteral("EXTSTICK"), false, MountFixture::Kind::Ext4);
        QVERIFY2(!point.isEmpty(), qPrintable(rig.fx.lastError()));
        testsupport::writeFile(point + "/.Trashes/501/old.doc", QByteArray(2'000'000, 'o'));   // frees a figure's worth
        MainWindow &window = rig.app->window();
        ContentView &view = rig.app->contentView();
        // The free space the stick's row shows, once it shows it.
        const auto shownSpace = [&] {
            const std::optional<LocalUSBDevice> &device = view.selectedDevice();
            const QString text = device && device->path == point && device->available
                                     ? *presentation::sidebarSpaceText(*device) : QString();
            const QList<QLabel *> labels = window.sidebar()->findChildren<QLabel *>();
            return std::any_of(labels.cbegin(), labels.cend(), [&](const QLabel *l) { return l->isVisible() && l->text() == text; })
                       ? text : QString();
        };
        const auto settledWidth = [&] {
            for (int i = 0; i < 5; ++i)
                QCoreApplication::processEvents();   // the rows' layout, the splitter's
            return window.sidebar()->width();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!shownSpace().isEmpty(), patience);
        const QString before = shownSpace();
        const int sidebarWidth = settledWidth();

        // By keyboard: the focus goes on from the scan to the clean-all, and
        // from the clean to the scan-again button.
        view.markDeviceReady();
        QVERIFY(testsupport::activated(&window));
        auto *scan = window.findChild<QAbstractButton *>(QStringLiteral("scanButton"));
        scan->setFocus(Qt::TabFocusReason);
        QTest::keyClick(scan, Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(rig.identity().startsWith(QStringLiteral("ScanResultsView_")), patience);
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), rig.cleanAllButton(), patience);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(rig.identity().startsWith(QStringLiteral("CompletionView_")), patience);
        QVERIFY(!QFileInfo::exists(point + "/.Trashes") && QFileInfo::exists(point + "/photo.jpg"));
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget()->objectName(), QStringLiteral("rescanButton"), patience);
        QTRY_VERIFY_WITH_TIMEOUT(!shownSpace().isEmpty() && shownSpace() != before, patience);
        QCOMPARE(settledWidth(), sidebarWidth);
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("storageText"))->text(),
                 presentation::storageText(*view.selectedDevice()));
    }
};

SWEEPBROOK_TEST_MAIN(TestAppSmoke)
#include "test_app_smoke.moc"
