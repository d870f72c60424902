#include "toolkit/Presentation.h"

#include "devices/DeviceTexts.h"
#include "localization/Bidi.h"
#include "localization/ByteCountFormat.h"
#include "localization/Localization.h"

#include <QDir>

#include <cmath>

namespace FileTypes {

QString iconName(FileType type)
{
    switch (type) {
    case FileType::dsStore: return QStringLiteral("doc.badge.gearshape");
    case FileType::appleDouble: return QStringLiteral("doc.badge.ellipsis");
    case FileType::spotlight: return QStringLiteral("magnifyingglass.circle");
    case FileType::trash: return QStringLiteral("trash");
    case FileType::thumbsDb: return QStringLiteral("photo");
    case FileType::temporaryFiles: return QStringLiteral("clock");
    case FileType::systemLogs: return QStringLiteral("doc.text");
    case FileType::windowsSystem: return QStringLiteral("desktopcomputer");
    case FileType::custom: return QStringLiteral("doc.badge.plus");
    }
    return {};
}

ui::NamedColor color(FileType type)
{
    using ui::NamedColor;
    switch (type) {
    case FileType::dsStore: return NamedColor::blue;
    case FileType::appleDouble: return NamedColor::cyan;
    case FileType::spotlight: return NamedColor::orange;
    case FileType::trash: return NamedColor::red;
    case FileType::thumbsDb: return NamedColor::green;
    case FileType::temporaryFiles: return NamedColor::purple;
    case FileType::systemLogs: return NamedColor::brown;
    case FileType::windowsSystem: return NamedColor::gray;
    case FileType::custom: return NamedColor::indigo;
    }
    return NamedColor::gray;
}

} // namespace FileTypes

namespace DeviceTypes {

QString iconName(DeviceType type)
{
    switch (type) {
    case DeviceType::usb: return QStringLiteral("externaldrive.fill");
    case DeviceType::sdCard: return QStringLiteral("sdcard.fill");
    case DeviceType::externalHDD: return QStringLiteral("externalhdd.fill");
    case DeviceType::ssd: return QStringLiteral("ssd.fill");
    case DeviceType::network: return QStringLiteral("network.fill");
    case DeviceType::other: return QStringLiteral("other.fill");
    }
    return {};
}

QString labelKey(DeviceType type)
{
    switch (type) {
    case DeviceType::usb: return QStringLiteral("usb_device");
    case DeviceType::sdCard: return QStringLiteral("sd_card");
    case DeviceType::externalHDD: return QStringLiteral("external_hdd");
    case DeviceType::ssd: return QStringLiteral("ssd_device");
    case DeviceType::network: return QStringLiteral("network_storage");
    case DeviceType::other: return QStringLiteral("other_device");
    }
    return {};
}

const QList<DeviceType> &allCases()
{
    static const QList<DeviceType> cases = {DeviceType::usb,         DeviceType::sdCard, DeviceType::externalHDD,
                                            DeviceType::ssd,         DeviceType::network, DeviceType::other};
    return cases;
}

} // namespace DeviceTypes

namespace presentation {

// ---------------------------------------------------------------- detail column

DetailRoute detailRoute(const DetailState &state)
{
    if (state.isAuthorizing)
        return DetailRoute::authorizing;
    if (state.isQuitting)
        return DetailRoute::cleaning;
    if (!state.selectedDevice)
        return DetailRoute::noDevice;
    if (!state.selectedDevice->isAccessible)
        return DetailRoute::inaccessible;
    if (state.isCleaning)
        return DetailRoute::cleaning;
    if (state.isScanning)
        return DetailRoute::scanning;
    if (state.cleanedFileCount >= 1)
        return DetailRoute::completion;
    if (!state.hasAnyResultEntry)
        return DetailRoute::emptyState;
    return DetailRoute::results;
}

QString identityPrefix(DetailRoute route)
{
    switch (route) {
    case DetailRoute::authorizing: return QStringLiteral("AuthorizingView_");
    case DetailRoute::noDevice: return QStringLiteral("NoDeviceView_");
    case DetailRoute::inaccessible: return QStringLiteral("DeviceInaccessible_");
    case DetailRoute::scanning: return QStringLiteral("ScanningView_");
    case DetailRoute::cleaning: return QStringLiteral("CleaningView_");
    case DetailRoute::completion: return QStringLiteral("CompletionView_");
    case DetailRoute::emptyState: return QStringLiteral("EmptyStateView_");
    case DetailRoute::results: return QStringLiteral("ScanResultsView_");
    }
    return {};
}

static QString toggleText(bool toggle)
{
    return toggle ? QStringLiteral("true") : QStringLiteral("false");
}

QString identity(DetailRoute route, bool refreshToggle)
{
    return identityPrefix(route) + toggleText(refreshToggle);
}

std::optional<QString> deviceDetailIdentity(DetailRoute route, bool refreshToggle)
{
    if (route == DetailRoute::authorizing)
        return std::nullopt;
    return QStringLiteral("DeviceDetailView_") + toggleText(refreshToggle);
}

// ---------------------------------------------------------------- counts

int totalFileCount(const ScanResult &results)
{
    qsizetype count = 0;
    for (const QList<FileItem> &files : results)
        count += files.size();
    return int(count);
}

qint64 totalSize(const ScanResult &results, FileType type)
{
    return ::totalSize(results.value(type));
}

bool hasResults(const ScanResult &results, FileType type)
{
    const auto it = results.constFind(type);
    return it != results.cend() && !it->isEmpty();
}

QList<FileType> resultSections(const ScanResult &results)
{
    QList<FileType> sections;
    for (FileType type : FileTypes::allCases()) {
        if (hasResults(results, type))
            sections << type;
    }
    return sections;
}

QString byteCountText(qint64 bytes)
{
    return displayedByteCount(bytes);
}

// ---------------------------------------------------------------- header

std::optional<int> percentAvailable(qint64 capacity, std::optional<qint64> available)
{
    if (capacity <= 0 || !available)
        return std::nullopt;
    const double share = double(*available) / double(capacity) * 100.0;
    return int(std::trunc(std::clamp(share, 0.0, 100.0)));
}

qint64 usedSpace(qint64 capacity, qint64 available)
{
    if (capacity <= 0)
        return 0;
    return std::clamp<qint64>(capacity - available, 0, capacity);
}

QString storageText(const LocalUSBDevice &device)
{
    if (!device.available)
        return byteCountText(device.capacity);
    return bidi::leftToRight(byteCountText(usedSpace(device.capacity, *device.available)) + QStringLiteral(" / ")
                             + byteCountText(device.capacity));
}

std::optional<QString> sidebarSpaceText(const LocalUSBDevice &device)
{
    if (device.available)
        return format(localized(QStringLiteral("device_space_available")), byteCountText(*device.available));
    if (device.capacity > 0)
        return byteCountText(device.capacity);
    return std::nullopt;
}

QString fileSystemText(const QString &fileSystem)
{
    // The device side's fixed texts ("未知", "FUSE挂载", ...) are shown in the
    // interface language; a name the system gave ("FAT32") as it is.
    if (const std::optional<QString> key = devicetexts::localizationKey(fileSystem))
        return localized(*key);
    return bidi::name(fileSystem);
}

QStringList deviceInfoLine(const LocalUSBDevice &device)
{
    const QString separator = QStringLiteral("•");
    QStringList line;
    if (device.vendorName != devicetexts::unknownVendor)
        line << bidi::name(device.vendorName) << separator;
    if (device.model != devicetexts::unknownModel) {
        line << (device.model == QLatin1String("USB3.0") ? localized(QStringLiteral("usb3")) : bidi::name(device.model));
        line << separator;
    }
    line << localized(DeviceTypes::labelKey(device.type)) << separator << fileSystemText(device.fileSystem) << separator
         << byteCountText(device.capacity);
    if (const std::optional<int> percent = percentAvailable(device.capacity, device.available))
        line << separator << format(localized(QStringLiteral("percent_available")), *percent);
    return line;
}

std::optional<QString> serialText(const QString &serialNumber)
{
    if (serialNumber.isEmpty())
        return std::nullopt;
    return bidi::leftToRight(QLatin1Char('(') + serialNumber + QLatin1Char(')'));
}

QString scanButtonKey(bool isScanning, const ScanResult &results)
{
    if (isScanning)
        return QStringLiteral("cancel_scan");
    if (!results.isEmpty())
        return QStringLiteral("re_scan");
    return QStringLiteral("smart_scan");
}

// ---------------------------------------------------------------- results

std::optional<QString> extensionsLine(FileType type, const QStringList &customExtensions)
{
    if (type != FileType::custom || customExtensions.isEmpty())
        return std::nullopt;
    QStringList dotted;
    dotted.reserve(customExtensions.size());
    for (const QString &extension : customExtensions)
        dotted << QLatin1Char('.') + extension;
    return localized(QStringLiteral("includes_extensions")) + QLatin1Char(' ')
           + bidi::leftToRight(dotted.join(QStringLiteral(", ")));
}

bool selectionEnabled(FileType type, const QStringList &customExtensions)
{
    return type != FileType::custom || !customExtensions.isEmpty();
}

bool isInside(const QString &path, const QString &mountRoot)
{
    if (mountRoot.isEmpty() || !path.startsWith(QLatin1Char('/')))
        return false;
    QString root = mountRoot;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    if (root == QLatin1String("/"))
        return true;
    return path.size() > root.size() && path.startsWith(root) && path.at(root.size()) == QLatin1Char('/');
}

// ---------------------------------------------------------------- banner

QString bannerSymbol(bool isInsertion)
{
    return isInsertion ? QStringLiteral("externaldrive.badge.plus") : QStringLiteral("externaldrive.badge.minus");
}

ui::NamedColor bannerColor(bool isInsertion)
{
    return isInsertion ? ui::NamedColor::green : ui::NamedColor::red;
}

QString ejectingText(const QString &deviceName)
{
    return format(localized(QStringLiteral("ejecting")), bidi::name(deviceName));
}

} // namespace presentation
