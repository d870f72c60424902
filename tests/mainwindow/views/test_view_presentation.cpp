// What the main window shows, decided without widgets: tables, routing,
// the header's facts and the results' sections.
#include "localization/ByteCountFormat.h"
#include "localization/Localization.h"
#include "mainwindow/views/Presentation.h"
#include "TestMain.h"

#include <QSet>

using namespace presentation;

namespace {

LocalUSBDevice device(bool accessible = true)
{
    LocalUSBDevice d;
    d.id = QStringLiteral("/media/u/STICK|sdb1");
    d.name = QStringLiteral("STICK");
    d.path = QStringLiteral("/media/u/STICK");
    d.isAccessible = accessible;
    d.vendorName = QStringLiteral("Acme");
    d.model = QStringLiteral("Flash");
    d.fileSystem = QStringLiteral("exFAT");
    d.capacity = 32'000'000'000;
    d.available = 8'000'000'000;
    return d;
}

FileItem item(const QString &path, qint64 size)
{
    return FileItem{path.section(u'/', -1), path, size, {}};
}

} // namespace

class TestViewPresentation : public QObject
{
    Q_OBJECT

private slots:
    void kindTablesAreTotalAndDistinct()
    {
        QSet<QString> symbols;
        QSet<int> colours;
        for (FileType type : FileTypes::allCases()) {
            QVERIFY(!FileTypes::iconName(type).isEmpty());
            symbols << FileTypes::iconName(type);
            colours << int(FileTypes::color(type));
        }
        QCOMPARE(symbols.size(), 9);
        QCOMPARE(colours.size(), 9);
        for (DeviceType type : DeviceTypes::allCases()) {
            QVERIFY(!DeviceTypes::iconName(type).isEmpty());
            QVERIFY(!DeviceTypes::labelKey(type).isEmpty());
        }
        QCOMPARE(DeviceTypes::iconName(DeviceType::other), QStringLiteral("other.fill"));
        QCOMPARE(DeviceTypes::labelKey(DeviceType::other), QStringLiteral("other_device"));
        QCOMPARE(DeviceTypes::iconName(DeviceType::externalHDD), QStringLiteral("externalhdd.fill"));
        QCOMPARE(DeviceTypes::labelKey(DeviceType::externalHDD), QStringLiteral("external_hdd"));
    }

    // Every symbol a view names must be in the table and draw something.
    void everySymbolDraws()
    {
        QStringList used;
        for (FileType type : FileTypes::allCases())
            used << FileTypes::iconName(type);
        for (DeviceType type : DeviceTypes::allCases())
            used << DeviceTypes::iconName(type);
        used << bannerSymbol(true) << bannerSymbol(false);
        for (const QString &symbol : used)
            QVERIFY2(ui::knownSymbols().contains(symbol), qPrintable(symbol));
        for (const QString &symbol : ui::knownSymbols())
            QVERIFY2(ui::symbolDraws(symbol), qPrintable(symbol + QStringLiteral(" -> ") + ui::symbolSource(symbol)));
        QVERIFY(!ui::symbolDraws(QStringLiteral("no.such.symbol")));
    }

    void routingFollowsTheFirstMatch()
    {
        struct Row
        {
            const char *name;
            bool authorizing;
            std::optional<bool> accessible;   // nullopt: no device
            bool scanning;
            int cleaned;
            bool anyEntry;
            DetailRoute route;
        };
        const Row rows[] = {
            {"authorizing without a device", true, std::nullopt, false, 0, false, DetailRoute::authorizing},
            {"authorizing beats everything", true, false, true, 3, true, DetailRoute::authorizing},
            {"no device", false, std::nullopt, true, 3, true, DetailRoute::noDevice},
            {"inaccessible with results", false, false, false, 0, true, DetailRoute::inaccessible},
            {"inaccessible while scanning", false, false, true, 2, true, DetailRoute::inaccessible},
            {"scanning beats completion", false, true, true, 3, true, DetailRoute::scanning},
            {"completion", false, true, false, 1, true, DetailRoute::completion},
            {"empty state", false, true, false, 0, false, DetailRoute::emptyState},
            {"an empty kind is still a result", false, true, false, 0, true, DetailRoute::results},
        };
        for (const Row &row : rows) {
            DetailState state;
            state.isAuthorizing = row.authorizing;
            if (row.accessible)
                state.selectedDevice = device(*row.accessible);
            state.isScanning = row.scanning;
            state.cleanedFileCount = row.cleaned;
            state.hasAnyResultEntry = row.anyEntry;
            QVERIFY2(detailRoute(state) == row.route, row.name);
        }
        QCOMPARE(identity(DetailRoute::scanning, false), QStringLiteral("ScanningView_false"));
        QCOMPARE(identity(DetailRoute::scanning, true), QStringLiteral("ScanningView_true"));
        QCOMPARE(identity(DetailRoute::results, true), QStringLiteral("ScanResultsView_true"));
        QCOMPARE(deviceDetailIdentity(DetailRoute::noDevice, true), QStringLiteral("DeviceDetailView_true"));
        QVERIFY(!deviceDetailIdentity(DetailRoute::authorizing, true));
    }

    void headerFactLine()
    {
        const QString kind = localized(QStringLiteral("usb_device"));
        const QString bullet = QStringLiteral("•");
        const QString capacity = byteCountText(32'000'000'000);
        const QString percent = format(localized(QStringLiteral("percent_available")), 25);
        LocalUSBDevice d = device();
        QCOMPARE(deviceInfoLine(d), (QStringList{QStringLiteral("Acme"), bullet, QStringLiteral("Flash"), bullet, kind,
                                                 bullet, QStringLiteral("exFAT"), bullet, capacity, bullet, percent}));

        d.vendorName = QStringLiteral("未知厂商");
        d.model = QStringLiteral("未知设备");
        QStringList line = deviceInfoLine(d);
        QCOMPARE(line.count(bullet), 3);
        QCOMPARE(line.first(), kind);

        d.model = QStringLiteral("USB3.0");
        QCOMPARE(deviceInfoLine(d).first(), localized(QStringLiteral("usb3")));
        QCOMPARE(deviceInfoLine(d).at(1), bullet);
        d.model = QStringLiteral("usb3.0");
        QCOMPARE(deviceInfoLine(d).first(), QStringLiteral("usb3.0"));

        // A device that reports no capacity: no percentage and no separator before it.
        d.capacity = 0;
        d.available = 5;
        line = deviceInfoLine(d);
        QCOMPARE(line.last(), byteCountText(0));
        QCOMPARE(line.count(bullet), 3);

        QCOMPARE(serialText(QString()), std::nullopt);
        QCOMPARE(serialText(QStringLiteral("S123")), QStringLiteral("(S123)"));
    }

    void freeShareAndUsedSpace()
    {
        QCOMPARE(percentAvailable(100, 100), 100);
        QCOMPARE(percentAvailable(100, 0), 0);
        QCOMPARE(percentAvailable(3, 1), 33);
        QCOMPARE(percentAvailable(1000, 999), 99);
        QCOMPARE(percentAvailable(0, 0), std::nullopt);
        QCOMPARE(percentAvailable(-5, 1), std::nullopt);
        QCOMPARE(percentAvailable(100, 150), 100);
        QCOMPARE(usedSpace(100, 30), qint64(70));
        QCOMPARE(usedSpace(100, 150), qint64(0));   // more free than capacity
        QCOMPARE(usedSpace(0, 10), qint64(0));
        QCOMPARE(usedSpace(100, -5), qint64(100));
    }

    void resultsSectionsCountsAndButtonKey()
    {
        ScanResult results;
        QCOMPARE(scanButtonKey(false, results), QStringLiteral("smart_scan"));
        results[FileType::trash] = {item(QStringLiteral("/m/S/.Trashes"), 10), item(QStringLiteral("/m/S/.Trash-1000"), 5)};
        results[FileType::custom] = {};
        results[FileType::dsStore] = {item(QStringLiteral("/m/S/.DS_Store"), 6148)};
        QCOMPARE(resultSections(results), (QList<FileType>{FileType::dsStore, FileType::trash}));
        QCOMPARE(totalFileCount(results), 3);
        QCOMPARE(totalSize(results, FileType::trash), qint64(15));
        QCOMPARE(totalSize(results, FileType::spotlight), qint64(0));
        QVERIFY(!hasResults(results, FileType::custom));
        QCOMPARE(scanButtonKey(false, results), QStringLiteral("re_scan"));
        QCOMPARE(scanButtonKey(true, results), QStringLiteral("cancel_scan"));
        QCOMPARE(scanButtonKey(false, ScanResult{{FileType::custom, {}}}), QStringLiteral("re_scan"));

        QCOMPARE(extensionsLine(FileType::custom, {QStringLiteral("log"), QStringLiteral("tmp2")}),
                 localized(QStringLiteral("includes_extensions")) + QStringLiteral(" .log, .tmp2"));
        QCOMPARE(extensionsLine(FileType::custom, {}), std::nullopt);
        QCOMPARE(extensionsLine(FileType::trash, {QStringLiteral("log")}), std::nullopt);
        QVERIFY(!selectionEnabled(FileType::custom, {}));
        QVERIFY(selectionEnabled(FileType::custom, {QStringLiteral("bak")}));
        QVERIFY(selectionEnabled(FileType::dsStore, {}));
    }

    void fileRowSignIsTheMountRoot()
    {
        const QString root = QStringLiteral("/media/u/STICK");
        QVERIFY(isInside(QStringLiteral("/media/u/STICK/a/.DS_Store"), root));
        QVERIFY(isInside(QStringLiteral("/media/u/STICK/.DS_Store"), root + QLatin1Char('/')));
        QVERIFY(!isInside(QStringLiteral("/media/u/STICK2/.DS_Store"), root));
        QVERIFY(!isInside(root, root));
        QVERIFY(!isInside(QStringLiteral("/Volumes/STICK/.DS_Store"), root));
        QVERIFY(!isInside(QStringLiteral("relative/.DS_Store"), root));
        QVERIFY(!isInside(QStringLiteral("/media/u/STICK/x"), QString()));
    }

    void sizesInKilobytesToGigabytes()
    {
        const std::pair<qint64, const char *> rows[] = {
            {0, "Zero KB"},          {1, "1 KB"},        {532, "1 KB"},        {1500, "2 KB"},
            {1'500'000'000, "1.5 GB"}, {2'000'000'000'000, "2000 GB"}, {-20, "Zero KB"},
        };
        for (const auto &[bytes, expected] : rows)
            QCOMPARE(byteCountText(bytes), QString::fromLatin1(expected));
    }

    void bannerAndBadge()
    {
        QCOMPARE(bannerSymbol(true), QStringLiteral("externaldrive.badge.plus"));
        QCOMPARE(bannerSymbol(false), QStringLiteral("externaldrive.badge.minus"));
        QVERIFY(bannerColor(true) == ui::NamedColor::green);
        QVERIFY(bannerColor(false) == ui::NamedColor::red);
        const QString text = ejectingText(QStringLiteral("My %d Stick"));
        QVERIFY(text.contains(QStringLiteral("My %d Stick")));
        QVERIFY(!text.contains(QStringLiteral("%@")));
    }
};

SWEEPBROOK_TEST_MAIN(TestViewPresentation)
#include "test_view_presentation.moc"
