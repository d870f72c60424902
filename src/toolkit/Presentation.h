#pragma once

// What the views show, decided without widgets: the symbol and colour tables,
// the detail column's route and identities, the header's fact line and free
// share, the scan button's key and the results' sections, sizes as shown.

#include "cleaning/FileType.h"
#include "devices/LocalUSBDevice.h"
#include "toolkit/Toolkit.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace FileTypes {
QString iconName(FileType type);
ui::NamedColor color(FileType type);
} // namespace FileTypes

namespace DeviceTypes {
QString iconName(DeviceType type);
QString labelKey(DeviceType type);
const QList<DeviceType> &allCases();
} // namespace DeviceTypes

namespace presentation {

// ---- Detail column ----
enum class DetailRoute {
    authorizing,     // "AuthorizingView_"
    noDevice,        // "NoDeviceView_"
    inaccessible,    // "DeviceInaccessible_"
    scanning,        // "ScanningView_"
    cleaning,        // "CleaningView_": a clean runs, or the window finishes before it closes
    completion,      // "CompletionView_"
    emptyState,      // "EmptyStateView_"
    results,         // "ScanResultsView_"
};

struct DetailState
{
    bool isAuthorizing = false;
    std::optional<LocalUSBDevice> selectedDevice;
    bool isScanning = false;
    bool isCleaning = false;          // the selected device is being cleaned
    bool isQuitting = false;          // the window waits for work to end before it closes
    qint64 cleanedFileCount = 0;
    bool hasAnyResultEntry = false;   // scanResults holds at least one kind, even an empty one
};

DetailRoute detailRoute(const DetailState &state);
QString identityPrefix(DetailRoute route);
// The prefix followed by "true" or "false".
QString identity(DetailRoute route, bool refreshToggle);
// "DeviceDetailView_" + toggle when a device detail (anything but authorizing) shows.
std::optional<QString> deviceDetailIdentity(DetailRoute route, bool refreshToggle);

// ---- Counts and sizes ----
int totalFileCount(const ScanResult &results);
qint64 totalSize(const ScanResult &results, FileType type);
bool hasResults(const ScanResult &results, FileType type);
// The kinds that get a section: declaration order, only kinds with files.
QList<FileType> resultSections(const ScanResult &results);
// A byte count as the views show it (KB, MB or GB; a negative count as zero;
// isolated in a right-to-left interface).
QString byteCountText(qint64 bytes);

// ---- Device header ----
// A record's file system as shown: the device side's fixed texts in the
// interface language, a name the system gave as it is.
QString fileSystemText(const QString &fileSystem);
// The elements of the fact line, separators included ("•").
QStringList deviceInfoLine(const LocalUSBDevice &device);
// Whole percent free, truncated; nothing when the capacity is not positive
// or the free space is not known.
std::optional<int> percentAvailable(qint64 capacity, std::optional<qint64> available);
// Used space, never negative and never above the capacity.
qint64 usedSpace(qint64 capacity, qint64 available);
// The header's storage text: "used / capacity", or only the capacity when
// the free space is not known.
QString storageText(const LocalUSBDevice &device);
// The sidebar's space text: the free space ("device_space_available"), or
// the capacity when that is not known, or nothing when neither is.
std::optional<QString> sidebarSpaceText(const LocalUSBDevice &device);
// "(serial)", or nothing for an empty serial number.
std::optional<QString> serialText(const QString &serialNumber);
// "cancel_scan", "re_scan" or "smart_scan".
QString scanButtonKey(bool isScanning, const ScanResult &results);

// ---- Results list ----
// The custom kind's extension line ("includes_extensions" text, a space, ".a, .b"),
// or nothing when there are no extensions or the kind is not custom.
std::optional<QString> extensionsLine(FileType type, const QStringList &customExtensions);
// Whether the kind's check box can be changed.
bool selectionEnabled(FileType type, const QStringList &customExtensions);
// Whether a path lies inside a mount root, by whole components.
bool isInside(const QString &path, const QString &mountRoot);

// ---- Banner and eject badge ----
QString bannerSymbol(bool isInsertion);
ui::NamedColor bannerColor(bool isInsertion);
// The eject badge's text: "ejecting" filled with the device's name.
QString ejectingText(const QString &deviceName);

} // namespace presentation
