// What the main window shows, decided without widgets: the symbols, routing,
// the storage figures and the edges of the results' helpers. The header's fact
// line and the sections are checked through the widgets that show them.
#include "localization/Localization.h"
#include "toolkit/Presentation.h"
#include "toolkit/Toolkit.h"
#include "TestMain.h"

#include <QSet>

#include <cmath>

using namespace presentation;

class TestViewPresentation : public QObject
{
    Q_OBJECT

private slots:
    // Every symbol a view names is in the table and draws; no two kinds share one.
    void everySymbolDraws()
    {
        QStringList used{bannerSymbol(true), bannerSymbol(false)};
        QSet<QString> fileSymbols;
        for (FileType type : FileTypes::allCases())
            fileSymbols << FileTypes::iconName(type);
        QCOMPARE(fileSymbols.size(), FileTypes::allCases().size());
        used << fileSymbols.values();
        for (DeviceType type : DeviceTypes::allCases()) {
            used << DeviceTypes::iconName(type);
            QVERIFY(!DeviceTypes::labelKey(type).isEmpty());
        }
        for (const QString &symbol : used)
            QVERIFY2(ui::knownSymbols().contains(symbol), qPrintable(symbol));
        for (const QString &symbol : ui::knownSymbols())
            QVERIFY2(ui::symbolDraws(symbol), qPrintable(symbol + QStringLiteral(" -> ") + ui::symbolSource(symbol)));
        QVERIFY(!ui::symbolDraws(QStringLiteral("no.such.symbol")));

        // A symbol is drawn once for its size, colour and ratio, and the
        // drawings kept stay within the cache's few megabytes.
        const QPixmap gear = ui::symbolPixmap(QStringLiteral("gear"), Qt::red, 24, 2.0);
        QCOMPARE(ui::symbolPixmap(QStringLiteral("gear"), Qt::red, 24, 2.0).cacheKey(), gear.cacheKey());
        QVERIFY(ui::symbolPixmap(QStringLiteral("gear"), Qt::red, 24, 1.0).cacheKey() != gear.cacheKey());
        for (int i = 0; i < 1000; ++i)
            ui::symbolPixmap(QStringLiteral("trash"), QColor::fromRgb(QRgb(i)), 48, 2.0);   // 36 KB each
        QVERIFY(ui::symbolPixmapCacheBytes() > 0 && ui::symbolPixmapCacheBytes() <= 4 * 1024 * 1024);
    }

    // A disabled control's colours have no hue, sit nearer the background than
    // the enabled ones, and its label stands out less from its fill; a
    // transparent fill stays transparent.
    void disabledColors()
    {
        const auto luminance = [](const QColor &c) {
            const auto linear = [](qreal v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
            return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
        };
        const auto contrast = [&](const QColor &a, const QColor &b) {
            const qreal la = luminance(a), lb = luminance(b);
            return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
        };
        const auto distance = [](const QColor &a, const QColor &b) {
            return std::hypot(a.red() - b.red(), a.green() - b.green(), a.blue() - b.blue());
        };
        // Backgrounds of light and dark palettes; fills of the buttons (two
        // styles' accents, the named blue, red and green) under a white label.
        for (const QColor background : {QColor(239, 239, 239), QColor(236, 236, 236), QColor(53, 53, 53), QColor(30, 30, 30)}) {
            for (const QColor fill : {QColor(48, 140, 198), QColor(42, 130, 218), QColor(0, 0, 128), QColor(0, 122, 255),
                                      QColor(255, 59, 48), QColor(40, 167, 69)}) {
                const QColor dimmedFill = ui::disabledColor(fill, background);
                const QColor dimmedLabel = ui::disabledColor(Qt::white, background);
                const QString row = fill.name() + u' ' + background.name();
                QVERIFY2(dimmedFill.hsvSaturation() <= 2, qPrintable(row));
                QVERIFY2(distance(dimmedFill, background) < distance(fill, background), qPrintable(row));
                QVERIFY2(contrast(dimmedLabel, dimmedFill) < contrast(Qt::white, fill), qPrintable(row));
            }
        }
        QCOMPARE(ui::disabledColor(Qt::transparent, Qt::white).alpha(), 0);
        QCOMPARE(ui::disabledColor(QColor(0, 122, 255, 26), Qt::white).alpha(), 26);
        QPalette palette;
        palette.setColor(QPalette::Highlight, QColor(42, 130, 218));
        palette.setColor(QPalette::HighlightedText, Qt::black);
        QCOMPARE(ui::prominentColors(palette).fill, QColor(42, 130, 218));
        QCOMPARE(ui::prominentColors(palette).foreground, QColor(Qt::black));
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
            bool cleaning = false;
            bool quitting = false;
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
            {"cleaning beats scanning and results", false, true, true, 0, true, DetailRoute::cleaning, true},
            {"an inaccessible device is not cleaned", false, false, false, 0, true, DetailRoute::inaccessible, true},
            {"finishing before the window closes, whatever is selected", false, std::nullopt, false, 0, false,
             DetailRoute::cleaning, false, true},
        };
        for (const Row &row : rows) {
            DetailState state;
            state.isAuthorizing = row.authorizing;
            if (row.accessible) {
                state.selectedDevice = LocalUSBDevice();
                state.selectedDevice->isAccessible = *row.accessible;
            }
            state.isScanning = row.scanning;
            state.cleanedFileCount = row.cleaned;
            state.hasAnyResultEntry = row.anyEntry;
            state.isCleaning = row.cleaning;
            state.isQuitting = row.quitting;
            QVERIFY2(detailRoute(state) == row.route, row.name);
        }
        QCOMPARE(scanButtonKey(false, ScanResult{{FileType::custom, {}}}), QStringLiteral("re_scan"));
    }

    // Truncated percentages; no share of an unknown capacity; used space clamped.
    void freeShareAndUsedSpace()
    {
        const std::tuple<qint64, qint64, std::optional<int>, qint64> rows[] = {
            {100, 100, 100, 0}, {100, 0, 0, 100},   {3, 1, 33, 2},           {1000, 999, 99, 1},
            {0, 0, std::nullopt, 0}, {-5, 1, std::nullopt, 0}, {100, 150, 100, 0}, {0, 10, std::nullopt, 0},
            {100, -5, 0, 100},
        };
        for (const auto &[capacity, available, percent, used] : rows) {
            QCOMPARE(percentAvailable(capacity, available), percent);
            QCOMPARE(usedSpace(capacity, available), used);
        }
        // Free space a file system does not tell is never shown as a figure.
        QVERIFY(!percentAvailable(100, std::nullopt));
        LocalUSBDevice device;
        device.capacity = 128'000'000;
        QCOMPARE(storageText(device), QStringLiteral("128 MB"));
        QCOMPARE(sidebarSpaceText(device).value_or(QString()), QStringLiteral("128 MB"));
        device.available = 32'000'000;
        QCOMPARE(storageText(device), QStringLiteral("96 MB / 128 MB"));
        QCOMPARE(sidebarSpaceText(device).value_or(QString()), QStringLiteral("32 MB available"));
        device = LocalUSBDevice();
        QVERIFY(!sidebarSpaceText(device));
    }

    void resultHelpersAtTheirEdges()
    {
        const ScanResult results{{FileType::custom, {}}};
        QCOMPARE(totalSize(results, FileType::spotlight), qint64(0));
        QVERIFY(!hasResults(results, FileType::custom));
        QCOMPARE(extensionsLine(FileType::trash, {QStringLiteral("log")}), std::nullopt);   // custom kind only

        // Inside the mount root by whole components.
        const QString root = QStringLiteral("/media/u/STICK");
        const std::tuple<QString, QString, bool> paths[] = {
            {root + "/a/.DS_Store", root, true},        {root + "/.DS_Store", root + "/", true},
            {"/media/u/STICK2/.DS_Store", root, false}, {root, root, false},
            {"relative/.DS_Store", root, false},        {root + "/x", QString(), false},
        };
        for (const auto &[path, mount, inside] : paths)
            QVERIFY2(isInside(path, mount) == inside, qPrintable(path + u' ' + mount));
    }

    void sizesInKilobytesToGigabytes()
    {
        const std::pair<qint64, const char *> rows[] = {
            {0, "Zero KB"},          {1, "1 KB"},        {532, "1 KB"},        {1500, "2 KB"},
            {1'500'000'000, "1.5 GB"}, {2'000'000'000'000, "2000 GB"}, {-20, "Zero KB"},
        };
        for (const auto &[bytes, expected] : rows)
            QCOMPARE(byteCountText(bytes), QString::fromLatin1(expected));
        // The device's name goes in as it is, even when it looks like a format.
        const QString ejecting = ejectingText(QStringLiteral("My %d Stick"));
        QVERIFY(ejecting.contains(QStringLiteral("My %d Stick")) && !ejecting.contains(QStringLiteral("%@")));
    }
};

SWEEPBROOK_TEST_MAIN(TestViewPresentation)
#include "test_view_presentation.moc"
