#include "localization/LanguageManager.h"
#include "localization/Localization.h"
#include "mainwindow/views/DetailColumn.h"
#include "mainwindow/views/SidebarView.h"
#include "toolkit/Toolkit.h"

#include "FakeDeviceService.h"
#include "KeyboardChecks.h"
#include "TestMain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QScopeGuard>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>

#include <cmath>

using namespace std::chrono_literals;

namespace {

LocalUSBDevice makeDevice(const QString &name, bool accessible = true, const QString &path = {})
{
    LocalUSBDevice device = testsupport::makeDevice(name, accessible, path);
    device.fileSystem = QStringLiteral("exFAT");
    device.capacity = 32'000'000'000;
    device.available = 8'000'000'000;
    device.vendorName = QStringLiteral("未知厂商");
    device.model = QStringLiteral("未知设备");
    return device;
}

ScanResult someJunk()
{
    ScanResult result;
    result[FileType::dsStore] = {FileItem::fromPath(QStringLiteral("/media/s/.DS_Store"), 6148),
                                 FileItem::fromPath(QStringLiteral("/media/s/a/.DS_Store"), 4096)};
    return result;
}

// A window's two columns on virtual time, refreshed on every state change as
// the main window does.
struct Rig : testsupport::WindowRig
{
    QWidget host;
    SidebarView *sidebar = nullptr;
    DetailColumn *column = nullptr;

    explicit Rig(const QList<LocalUSBDevice> &initial = {})
    {
        LanguageManager::setShared(&language);
        language.setLanguage(AppLanguage::english);
        devices.setList(initial);
        devices.cleanAtOnce = true;
        view.onAppearSetup();
        auto *row = new QHBoxLayout(&host);
        sidebar = new SidebarView(view, devices, &host);
        column = new DetailColumn(view, devices, &host);
        row->addWidget(sidebar);
        row->addWidget(column, 1);
        QObject::connect(&view, &ContentView::stateChanged, &host, [this] { refresh(); });
        host.resize(960, 640);
        host.show();
    }
    ~Rig() { LanguageManager::setShared(nullptr); }

    void refresh()
    {
        sidebar->refresh();
        column->refresh();
    }
    void setList(const QList<LocalUSBDevice> &list)
    {
        devices.setList(list);
        refresh();   // the main window does this when the list changes
    }
    QString expectedIdentity(const QString &prefix) const
    {
        return prefix + (view.refreshToggle() ? QStringLiteral("true") : QStringLiteral("false"));
    }
    // A control of the view shown now, laid out.
    template <typename T = QWidget>
    T *shown(const QString &name)
    {
        host.layout()->activate();
        T *widget = column->findChild<T *>(name);
        return widget && widget->isVisibleTo(&host) ? widget : nullptr;
    }
    void grab(const QString &name)
    {
        const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/grabs");
        QDir().mkpath(folder);
        QCoreApplication::processEvents();   // pending layout requests
        host.grab().save(folder + u'/' + name + QStringLiteral(".png"));
    }
};

QStringList labelTexts(QWidget *widget)
{
    QStringList texts;
    for (QLabel *label : widget->findChildren<QLabel *>()) {
        if (label->isVisibleTo(widget))
            texts << label->text();
    }
    return texts;
}

// What the header knows of a device; "@key" in the fact line is the key's text.
// bar: nothing when the storage bar is hidden
struct Facts { QString vendor, model, serial; qint64 capacity; std::optional<qint64> available; QStringList line;
               QString storage; std::optional<int> bar;
                QString fileSystem = QStringLiteral("exFAT"); };

// The colour most pixels of a button's middle row have: its fill, where a
// label's few pixels are outnumbered.
QColor fillOf(QWidget *button)
{
    const QImage image = button->grab().toImage();
    QHash<QRgb, int> counts;
    const int row = image.height() / 2;
    for (int x = 0; x < image.width(); ++x)
        ++counts[image.pixel(x, row)];
    QRgb most = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > counts.value(most))
            most = it.key();
    }
    return QColor::fromRgb(most);
}

QPalette darkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(53, 53, 53));
    palette.setColor(QPalette::WindowText, Qt::white);
    palette.setColor(QPalette::Base, QColor(35, 35, 35));
    palette.setColor(QPalette::Text, Qt::white);
    palette.setColor(QPalette::Button, QColor(53, 53, 53));
    palette.setColor(QPalette::ButtonText, Qt::white);
    palette.setColor(QPalette::Highlight, QColor(42, 130, 218));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    return palette;
}

} // namespace

Q_DECLARE_METATYPE(Facts)

class TestDetailColumn : public QObject
{
    Q_OBJECT

private slots:
    // The main actions look enabled while they are, and disabled while not,
    // under either widget style and in light and dark palettes: the header's
    // scan button and the placeholder's refresh button in the accent as it is
    // (a style-drawn push button under Fusion showed it pale), disabled
    // without a hue of their own and nearer the background; the painted scan
    // capsule alike.
    void buttonsLookAsTheyAre_data()
    {
        QTest::addColumn<QString>("style");
        QTest::addColumn<bool>("dark");
        for (const char *style : {"Fusion", "Windows"}) {
            QTest::newRow(qPrintable(QStringLiteral("%1, light").arg(QLatin1String(style)))) << QString::fromLatin1(style) << false;
            QTest::newRow(qPrintable(QStringLiteral("%1, dark").arg(QLatin1String(style)))) << QString::fromLatin1(style) << true;
        }
    }

    void buttonsLookAsTheyAre()
    {
        QFETCH(QString, style);
        QFETCH(bool, dark);
        QApplication::setStyle(QStyleFactory::create(style));
        QApplication::setPalette(dark ? darkPalette() : QApplication::style()->standardPalette());
        const auto restore = qScopeGuard([] {
            QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
            QApplication::setPalette(QApplication::style()->standardPalette());
        });
        const QColor background = QApplication::palette().color(QPalette::Window);
        const QColor accent = ui::prominentColors(QApplication::palette()).fill;
        const auto distance = [](const QColor &a, const QColor &b) {
            return std::hypot(a.red() - b.red(), a.green() - b.green(), a.blue() - b.blue());
        };
        const auto looksDisabled = [&](QAbstractButton *button, const QColor &enabledFill) {
            button->setEnabled(false);
            const QColor fill = fillOf(button);
            button->setEnabled(true);
            // No hue of its own (a beige background lends it a little).
            return fill.hsvSaturation() <= background.hsvSaturation() + 2
                   && distance(fill, background) < distance(enabledFill, background);
        };

        Rig none;
        auto *refreshList = none.shown<QAbstractButton>(QStringLiteral("refreshDeviceListButton"));
        QVERIFY(refreshList);
        QCOMPARE(fillOf(refreshList), accent);
        QVERIFY(looksDisabled(refreshList, accent));
        // Each main action shows its focus on its fill, and the keys press it.
        QVERIFY(testsupport::showsFocus(refreshList));
        const int refreshes = none.devices.refreshCount;
        QVERIFY(testsupport::pressedByKeys(refreshList));
        QCOMPARE(none.devices.refreshCount, refreshes + 3);

        const LocalUSBDevice stick = makeDevice(QStringLiteral("stick"));
        Rig rig({stick});
        rig.selectReady(stick);
        auto *scan = rig.shown<QAbstractButton>(QStringLiteral("scanButton"));
        QVERIFY(scan && scan->isEnabled());
        QCOMPARE(fillOf(scan), accent);
        QVERIFY(looksDisabled(scan, accent));
        // Every main action in the one accent, the capsule's too.
        auto *capsule = rig.shown<QAbstractButton>(QStringLiteral("emptyStateScanButton"));
        QVERIFY(capsule);
        QCOMPARE(fillOf(capsule), accent);
        QVERIFY(looksDisabled(capsule, accent));
        QVERIFY(testsupport::showsFocus(scan) && testsupport::showsFocus(capsule));
        QVERIFY(testsupport::pressedByKeys(capsule, {Qt::Key_Return}));
        QCOMPARE(rig.devices.scans.size(), 1);

        const LocalUSBDevice locked = makeDevice(QStringLiteral("locked"), false);
        Rig closed({locked});
        closed.selectReady(locked);
        auto *authorize = closed.shown<QAbstractButton>(QStringLiteral("authorizeButton"));
        QVERIFY(authorize);
        QCOMPARE(fillOf(authorize), accent);
        QVERIFY(testsupport::showsFocus(authorize));
    }

    // One device's life: placeholder, empty state, scanning, results, completion, rescan.
    void routesThroughADevicesLife()
    {
        Rig rig;
        rig.view.stopDeviceMonitoring();   // the list is changed by hand below
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("NoDeviceView_")));
        QVERIFY(rig.shown(QStringLiteral("noDeviceView")));
        QVERIFY(rig.sidebar->findChild<QWidget *>(QStringLiteral("emptySidebarState"))->isVisibleTo(&rig.host));
        auto *refreshList = rig.shown<QAbstractButton>(QStringLiteral("refreshDeviceListButton"));
        QVERIFY(refreshList);
        const int refreshes = rig.devices.refreshCount;
        refreshList->click();
        QCOMPARE(rig.devices.refreshCount, refreshes + 1);
        rig.grab(QStringLiteral("no_device"));

        // A listed device: the hint replaces the refresh button.
        const LocalUSBDevice stick = makeDevice(QStringLiteral("stick"));
        rig.setList({stick});
        QVERIFY(!rig.shown(QStringLiteral("refreshDeviceListButton")));
        QVERIFY(labelTexts(rig.column->currentView()).contains(localized(QStringLiteral("select_from_sidebar"))));
        QVERIFY(!rig.sidebar->findChild<QWidget *>(QStringLiteral("emptySidebarState"))->isVisibleTo(&rig.host));

        rig.selectReady(stick);
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("EmptyStateView_")));
        QCOMPARE(rig.column->currentView()->property("identity").toString(), rig.column->currentIdentity());
        QCOMPARE(rig.shown(QStringLiteral("deviceHeader"))->parentWidget()->parentWidget()->property("identity").toString(),
                 rig.expectedIdentity(QStringLiteral("DeviceDetailView_")));
        QCOMPARE(rig.shown<QAbstractButton>(QStringLiteral("scanButton"))->text(), localized(QStringLiteral("smart_scan")));
        rig.grab(QStringLiteral("empty_state"));

        rig.shown<QAbstractButton>(QStringLiteral("emptyStateScanButton"))->click();
        QCOMPARE(rig.devices.scans.size(), 1);
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("ScanningView_")));
        QCOMPARE(rig.shown<QAbstractButton>(QStringLiteral("scanButton"))->text(), localized(QStringLiteral("cancel_scan")));
        const QPointer<QWidget> scanning = rig.column->currentView();
        rig.devices.scans[0].progress(0.5);
        rig.clock.runDue();
        QCOMPARE(rig.column->currentView(), scanning.data());   // updated in place
        QCOMPARE(rig.shown<QProgressBar>(QStringLiteral("scanProgress"))->value(), 500);
        QCOMPARE(rig.shown<QLabel>(QStringLiteral("scanStatus"))->text(),
                 format(localized(QStringLiteral("scan_complete")), 0, QStringLiteral("Zero KB")));
        rig.grab(QStringLiteral("scanning"));

        rig.devices.scans[0].completion(someJunk());
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("ScanResultsView_")));
        QCOMPARE(rig.shown<QAbstractButton>(QStringLiteral("scanButton"))->text(), localized(QStringLiteral("re_scan")));

        rig.view.cleanButtonTapped();
        rig.clock.runDue();
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("CompletionView_")));
        QCOMPARE(rig.shown<QLabel>(QStringLiteral("completionMessage"))->text(),
                 format(localized(QStringLiteral("clean_complete_message")), QStringLiteral("stick")));
        QCOMPARE(rig.shown<QLabel>(QStringLiteral("completionStats"))->text(),
                 format(localized(QStringLiteral("clean_result_stats")), 2, QStringLiteral("10 KB")));
        QVERIFY(!rig.shown(QStringLiteral("completionFailures")));
        rig.grab(QStringLiteral("completion"));

        rig.shown<QAbstractButton>(QStringLiteral("rescanButton"))->click();
        QCOMPARE(rig.devices.scans.size(), 2);
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("ScanningView_")));

        // The header's scan button ends the window's scanning state, once;
        // the scan it stopped showing still runs, so none starts beside it
        // until it has ended.
        rig.shown<QAbstractButton>(QStringLiteral("scanButton"))->click();
        QVERIFY(!rig.view.isScanning());
        QVERIFY(!rig.shown<QAbstractButton>(QStringLiteral("scanButton"))->isEnabled());
        rig.shown<QAbstractButton>(QStringLiteral("scanButton"))->click();
        QCOMPARE(rig.devices.scans.size(), 2);
        rig.devices.scans[1].completion(someJunk());
        rig.shown<QAbstractButton>(QStringLiteral("scanButton"))->click();
        QCOMPARE(rig.devices.scans.size(), 3);
    }

    // Folders a scan could not read are counted under its results; files a
    // clean could not remove, under its counts.
    void whatDidNotGoIsShown()
    {
        const LocalUSBDevice stick = makeDevice(QStringLiteral("stick"));
        Rig rig({stick});
        rig.devices.cleanAtOnce = false;
        rig.selectReady(stick);
        rig.view.scanDevice(stick);
        ScanOutcome scan(someJunk());
        scan.unreadableFolders = 3;
        rig.devices.scans[0].finish(scan);
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("ScanResultsView_")));
        QCOMPARE(rig.shown<QLabel>(QStringLiteral("unreadableFoldersLabel"))->text(),
                 format(localized(QStringLiteral("scan_unreadable_folders")), 3));
        rig.grab(QStringLiteral("unreadable_folders"));

        rig.view.cleanButtonTapped();
        const QList<FileItem> files = someJunk().value(FileType::dsStore);
        rig.devices.cleans[0].completion(files.mid(0, 1), files.mid(1));
        rig.clock.runDue();
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("CompletionView_")));
        QCOMPARE(rig.shown<QLabel>(QStringLiteral("completionStats"))->text(),
                 format(localized(QStringLiteral("clean_result_stats")), 1, QStringLiteral("6 KB")));
        QCOMPARE(rig.shown<QLabel>(QStringLiteral("completionFailures"))->text(),
                 format(localized(QStringLiteral("clean_result_failed")), 1));
        rig.grab(QStringLiteral("completion_with_failures"));

        // A new scan starts with nothing left over from the last one.
        rig.view.rescanAction();
        rig.devices.scans[1].completion(someJunk());
        QVERIFY(!rig.shown(QStringLiteral("unreadableFoldersLabel")));
    }

    // Access lost with results stored, the authorize button, and an authorization
    // that outlives its device.
    void accessPanelsReplaceTheBody()
    {
        QTemporaryDir root;
        LocalUSBDevice stick = makeDevice(QStringLiteral("stick"), true, root.path());
        Rig rig({stick});
        rig.selectReady(stick);
        rig.view.scanDevice(stick);
        rig.devices.scans[0].completion(someJunk());
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("ScanResultsView_")));

        stick.isAccessible = false;
        rig.devices.setList({stick});
        const int refreshes = rig.devices.refreshCount;
        auto *refresh = rig.shown<QAbstractButton>(QStringLiteral("refreshDeviceStateButton"));
        QCOMPARE(refresh->toolTip(), localized("refresh_device_state"));
        refresh->click();
        QCOMPARE(rig.devices.refreshCount, refreshes + 1);
        rig.clock.advance(250ms);
        QVERIFY(!rig.view.scanResults().isEmpty());
        QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("DeviceInaccessible_")));
        QVERIFY(labelTexts(rig.shown(QStringLiteral("accessBadge"))).contains(localized(QStringLiteral("no_access_permission"))));
        QVERIFY(rig.shown(QStringLiteral("refreshDeviceStateButton")));
        QVERIFY(!rig.shown(QStringLiteral("emptyStateScanButton")));
        QCOMPARE(rig.column->currentView()->findChildren<QLabel *>(QStringLiteral("suggestionLine")).size(), 3);
        rig.grab(QStringLiteral("inaccessible"));

        rig.shown<QAbstractButton>(QStringLiteral("authorizeButton"))->click();
        QCOMPARE(rig.picker.starts.size(), 1);

        // A scan of an unreadable device asks for access and the whole column waits.
        Rig scan({stick});
        scan.selectReady(stick);
        scan.shown<QAbstractButton>(QStringLiteral("scanButton"))->click();
        QVERIFY(scan.clock.settle());   // the look at its path is made in the background
        QCOMPARE(scan.picker.starts.size(), 1);
        QCOMPARE(scan.column->currentIdentity(), scan.expectedIdentity(QStringLiteral("AuthorizingView_")));
        QVERIFY(!scan.shown(QStringLiteral("deviceHeader")));
        scan.grab(QStringLiteral("authorizing"));

        // The device goes while the user is in the open panel: still authorizing, no device.
        scan.setList({});
        scan.clock.advance(600ms);
        QVERIFY(!scan.view.selectedDevice() && scan.view.isAuthorizing());
        QCOMPARE(scan.column->currentIdentity(), scan.expectedIdentity(QStringLiteral("AuthorizingView_")));
        QCOMPARE(scan.picker.starts.size(), 1);
    }

    void everyFlipBuildsAfresh()
    {
        const LocalUSBDevice stick = makeDevice(QStringLiteral("stick"));
        Rig rig({stick});
        rig.selectReady(stick);
        QPointer<QWidget> before = rig.column->currentView();
        const QString identity = rig.column->currentIdentity();
        for (int flip = 0; flip < 2; ++flip) {
            rig.view.onLanguageDidChange({});
            QVERIFY(rig.column->currentView() != before.data());
            QVERIFY(!before || !before->isVisibleTo(&rig.host));
            QCOMPARE(rig.column->currentIdentity(), rig.expectedIdentity(QStringLiteral("EmptyStateView_")));
            QCOMPARE(rig.column->currentIdentity() == identity, flip == 1);
            before = rig.column->currentView();
        }
        // Without a flip nothing is rebuilt.
        rig.refresh();
        QCOMPARE(rig.column->currentView(), before.data());

        // A language change flips it: the texts follow the language.
        Rig empty;
        auto title = [&] { return empty.shown<QLabel>(QStringLiteral("noDeviceTitle"))->text(); };
        QCOMPARE(title(), QStringLiteral("Select a Storage Device"));
        empty.language.setLanguage(AppLanguage::chinese);
        QCOMPARE(title(), QStringLiteral("选择存储设备"));
        QVERIFY(labelTexts(empty.sidebar).contains(QStringLiteral("没有设备")));
        QCOMPARE(empty.shown<QAbstractButton>(QStringLiteral("refreshDeviceListButton"))->text(), QStringLiteral("刷新设备列表"));
        empty.grab(QStringLiteral("no_device_zh"));
    }

    void headerShowsWhatIsKnown_data()
    {
        QTest::addColumn<Facts>("facts");
        const QString kind = QStringLiteral("@usb_device");
        QTest::newRow("unknown vendor and model") << Facts{"未知厂商", "未知设备", "", 32'000'000'000, 8'000'000'000,
            {kind, "•", "exFAT", "•", "32 GB", "•", "25% available"}, "24 GB / 32 GB", 750};
        QTest::newRow("USB3.0 model") << Facts{"Kingston", "USB3.0", "AA01", 100'000'000, 100'000'000,
            {"Kingston", "•", "@usb3", "•", kind, "•", "exFAT", "•", "100 MB", "•", "100% available"}, "Zero KB / 100 MB", 0};
        QTest::newRow("model in other case is verbatim") << Facts{"未知厂商", "usb3.0", "", 3'000'000, 1'000'000,
            {"usb3.0", "•", kind, "•", "exFAT", "•", "3 MB", "•", "33% available"}, "2 MB / 3 MB", 667};
        QTest::newRow("capacity unknown") << Facts{"未知厂商", "未知设备", "", 0, 0,
            {kind, "•", "exFAT", "•", "Zero KB"}, "Zero KB / Zero KB", 0};
        // A file system that tells no sizes (fusefat): the device's size, no free space, no bar.
        QTest::newRow("free space unknown") << Facts{"未知厂商", "未知设备", "", 128'000'000, std::nullopt,
            {kind, "•", "exFAT", "•", "128 MB"}, "128 MB", std::nullopt};
        QTest::newRow("more free than capacity") << Facts{"未知厂商", "未知设备", "", 1'000'000, 2'000'000,
            {kind, "•", "exFAT", "•", "1 MB", "•", "100% available"}, "Zero KB / 1 MB", 0};
        // The device side's fixed words for a file system are shown in the interface language.
        QTest::newRow("file system unknown") << Facts{"未知厂商", "未知设备", "", 0, 0,
            {kind, "•", "@unknown_file_system", "•", "Zero KB"}, "Zero KB / Zero KB", 0, "未知"};
        QTest::newRow("file system in words") << Facts{"未知厂商", "未知设备", "", 0, 0,
            {kind, "•", "@file_system_fuse", "•", "Zero KB"}, "Zero KB / Zero KB", 0, "FUSE挂载"};
    }

    void headerShowsWhatIsKnown()
    {
        QFETCH(Facts, facts);
        LocalUSBDevice stick = makeDevice(QStringLiteral("stick"));
        stick.vendorName = facts.vendor;
        stick.model = facts.model;
        stick.serialNumber = facts.serial;
        stick.fileSystem = facts.fileSystem;
        stick.capacity = facts.capacity;
        stick.available = facts.available;
        Rig rig({stick});
        rig.view.selectDevice(stick);

        QStringList shownLine;
        for (QLabel *label : rig.shown(QStringLiteral("deviceInfoLine"))->findChildren<QLabel *>())
            shownLine << label->text();
        for (QString &element : facts.line) {
            if (element.startsWith(u'@'))
                element = localized(element.mid(1));
        }
        QCOMPARE(shownLine, facts.line);
        QCOMPARE(rig.shown<QLabel>(QStringLiteral("storageText"))->text(), facts.storage);
        auto *bar = rig.shown<QProgressBar>(QStringLiteral("storageBar"));
        QCOMPARE(bar ? std::optional(bar->value()) : std::nullopt, facts.bar);
        QLabel *serialLabel = rig.shown<QLabel>(QStringLiteral("deviceSerial"));
        QCOMPARE(serialLabel ? serialLabel->text() : QString(), facts.serial.isEmpty() ? QString() : u'(' + facts.serial + u')');
        QVERIFY(labelTexts(rig.shown(QStringLiteral("accessBadge"))).contains(localized(QStringLiteral("access_granted"))));
    }

    void sidebarRowsSelectAndFooterTogglesAbout()
    {
        LocalUSBDevice card = makeDevice(QStringLiteral("card"));
        card.type = DeviceType::sdCard;
        card.available = 1'500'000'000;
        LocalUSBDevice stick = makeDevice(QStringLiteral("stick"));
        stick.available.reset();   // its file system tells no free space: the device's size stands
        Rig rig({card, stick});
        QList<QWidget *> rows = rig.sidebar->findChildren<QWidget *>(QStringLiteral("deviceRow"));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0]->property("deviceID").toString(), card.id);
        QCOMPARE(rows[1]->property("deviceID").toString(), stick.id);
        QVERIFY(labelTexts(rows[0]).contains(format(localized(QStringLiteral("device_space_available")),
                                                    QStringLiteral("1.5 GB"))));
        QVERIFY(labelTexts(rows[1]).contains(QStringLiteral("32 GB")));
        QVERIFY(labelTexts(rows[1]).filter(QStringLiteral("available")).isEmpty());
        QVERIFY(labelTexts(rows[0]).contains(localized(QStringLiteral("sd_card"))));

        // A click selects once; a second click on the selected row changes nothing.
        QTest::mouseClick(rows[1], Qt::LeftButton, {}, rows[1]->rect().center());
        QCOMPARE(rig.view.selectedDevice()->id, stick.id);
        QVERIFY(rig.view.hasDeviceReadyTimer());
        rig.clock.advance(3100ms);
        QTest::mouseClick(rows[1], Qt::LeftButton, {}, rows[1]->rect().center());
        QVERIFY(rig.view.deviceReady());   // a fresh selection would have reset it
        QVERIFY(rows[1]->property("selected").toBool() && !rows[0]->property("selected").toBool());

        // Hover is the row's own and starts false when the rows are rebuilt.
        QEnterEvent enter(QPointF(4, 4), QPointF(4, 4), QPointF(4, 4));
        QCoreApplication::sendEvent(rows[0], &enter);
        QVERIFY(rows[0]->property("hovered").toBool());
        rig.view.onLanguageDidChange({});
        rows = rig.sidebar->findChildren<QWidget *>(QStringLiteral("deviceRow"));
        QCOMPARE(rows.size(), 2);
        QVERIFY(!rows[0]->property("hovered").toBool());
        QVERIFY(rows[1]->property("selected").toBool());

        auto *footer = rig.sidebar->findChild<QAbstractButton *>(QStringLiteral("sidebarFooter"));
        QCOMPARE(footer->text(), mainTableLocalized(QStringLiteral("Sweepbrook")));
        footer->click();
        QVERIFY(rig.view.showAbout());
        footer->click();
        QVERIFY(!rig.view.showAbout());
    }
};

SWEEPBROOK_TEST_MAIN(TestDetailColumn)
#include "test_detail_column.moc"
