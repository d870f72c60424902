// The window's scan, clean and quick-clean flows.
#include "mainwindow/ContentView.h"

#include "history/HistoryRecording.h"
#include "localization/ByteCountFormat.h"
#include "localization/Localization.h"
#include "mainwindow/DeviceService.h"
#include "platform/Log.h"
#include "platform/Volumes.h"

#include <QDateTime>

using namespace std::chrono_literals;

namespace {

// The kinds in a fixed order, so every scan asks for them alike.
QList<FileType> orderedTypes(const FileTypeSet &types)
{
    QList<FileType> ordered;
    for (FileType type : FileTypes::allCases()) {
        if (types.contains(type))
            ordered << type;
    }
    return ordered;
}

} // namespace

// What a normal clean remembers from the moment it started.
struct ContentView::CleanRun
{
    std::optional<LocalUSBDevice> device;
    ScanResult scanResults;
    FileTypeSet selectedTypes;
};

// What a quick clean hands from its scan to its end.
struct ContentView::QuickCleanRun
{
    qint64 foundSize = 0;
    int foundCount = 0;
    QList<FileItem> foundFiles;
    ScanResult scanResult;
    LocalUSBDevice device;
};

// ---------------------------------------------------------------- scan

void ContentView::scanButtonAction()
{
    if (m_isScanning) {
        // The engine is not told; its result is still taken when it comes.
        set(m_isScanning, false);
        return;
    }
    if (m_selectedDevice)
        scanDevice(*m_selectedDevice);
}

void ContentView::rescanAction()
{
    if (m_selectedDevice)
        scanDevice(*m_selectedDevice);
}

void ContentView::scanDevice(const LocalUSBDevice &device)
{
    logLine(QStringLiteral("开始扫描设备: ") + device.name + QStringLiteral(", ID: ") + device.id);
    if (m_deviceReady) {
        scanSelectedDevice(device);
        return;
    }
    logLine(QStringLiteral("设备尚未准备就绪，暂存扫描请求等待设备就绪"));
    selectIfDifferent(device);
    parkDeviceRequest(QStringLiteral("设备已就绪，继续执行之前的扫描请求"), device,
                      [this](const LocalUSBDevice &current) { scanSelectedDevice(current); });
}

void ContentView::scanSelectedDevice(const LocalUSBDevice &device)
{
    selectIfDifferent(device);
    logLine(QStringLiteral("准备扫描选中的设备: ") + device.name + QStringLiteral(", 可访问性: ")
            + boolText(device.isAccessible));
    if (device.isAccessible) {
        logLine(QStringLiteral("设备已可访问，直接开始扫描..."));
        performScan(device);
        return;
    }
    logLine(QStringLiteral("设备不可访问，请求授权..."));
    if (!isFolder(device.fsPath())) {
        logLine(QStringLiteral("设备路径不存在或不是目录，设备可能仍在初始化中"));
        showMessageAlert(localized(QStringLiteral("please_wait")), localized(QStringLiteral("device_mounting")));
        return;
    }
    set(m_isAuthorizing, true);
    requestDeviceAuthorization(device, [this, device](bool granted) { handleScanAuthorizationResult(granted, device); });
}

void ContentView::handleScanAuthorizationResult(bool granted, const LocalUSBDevice &device)
{
    if (granted) {
        logLine(QStringLiteral("授权成功，开始扫描..."));
        if (const std::optional<LocalUSBDevice> current = m_devices.currentDevice(device)) {
            performScan(*current);
            return;
        }
        logLine(QStringLiteral("错误：授权后无法找到设备"));
        set(m_isAuthorizing, false);
        m_scheduler.post([this] { showDeviceDisconnectedAlert(); }, this);
        return;
    }
    logLine(QStringLiteral("授权失败，无法扫描"));
    set(m_isAuthorizing, false);
    m_scheduler.post([this] { showAccessDeniedAlert(); }, this);
}

void ContentView::performScan(const LocalUSBDevice &device)
{
    m_scanResults.clear();
    m_totalJunkSize = 0;
    m_cleanedFileCount = 0;
    m_isScanning = true;
    m_scanProgress = 0;
    emit stateChanged();
    const quint64 scan = ++m_scanSequence;

    logLine(QStringLiteral("开始扫描，当前自定义后缀列表包含 ") + QString::number(m_customExtensions.size())
            + QStringLiteral(" 个后缀: ") + m_customExtensions.join(QStringLiteral(", ")));
    logLine(QStringLiteral("已选择的文件类型: ") + FileTypes::displayNames(m_selectedFileTypes).join(QStringLiteral(", ")));

    m_devices.scanDevice(device, orderedTypes(m_selectedFileTypes), m_customExtensions, m_excludedFilePatterns,
                         guarded([this, scan](double value) { reportScanProgress(value, scan); }),
                         guarded([this, id = device.id, scan](const ScanResult &result) {
                             handleScanCompletion(result, id, scan);
                         }));
}

// The store always goes through the queue, so it lands after a completion the
// engine delivers in the same turn.
void ContentView::reportScanProgress(double value, quint64 scan)
{
    m_scheduler.post([this, value, scan] {
        if (scan == m_scanSequence)
            setScanProgress(value);
    }, this);
}

void ContentView::setScanProgress(double value)
{
    set(m_scanProgress, value);
}

// A result counts only when it comes from the newest scan and its device is
// still the selected one.
bool ContentView::acceptScanResult(const QString &deviceID, quint64 scan)
{
    if (scan != m_scanSequence) {
        logLine(QStringLiteral("丢弃较早一次扫描的结果"));
        return false;
    }
    if (!isSelected(deviceID)) {
        logLine(QStringLiteral("丢弃已不再选中的设备的扫描结果: ") + deviceID);
        set(m_isScanning, false);
        return false;
    }
    return true;
}

void ContentView::handleScanCompletion(const ScanResult &result, const QString &deviceID, quint64 scan)
{
    if (!acceptScanResult(deviceID, scan))
        return;
    qint64 total = 0;
    qsizetype count = 0;
    for (const QList<FileItem> &items : result) {
        total += totalSize(items);
        count += items.size();
    }
    m_scanResults = result;
    m_totalJunkSize = total;
    m_scanProgress = 1.0;
    m_isScanning = false;
    emit stateChanged();
    if (count == 0)
        showMessageAlert(localized(QStringLiteral("cleaning_completed_title")),
                         localized(QStringLiteral("no_cleanable_files_found")));
}

void ContentView::showDeviceDisconnectedAlert()
{
    showMessageAlert(localized(QStringLiteral("error")), localized(QStringLiteral("device_disconnected")));
}

void ContentView::showAccessDeniedAlert()
{
    showMessageAlert(localized(QStringLiteral("error")), localized(QStringLiteral("access_denied")));
}

// ---------------------------------------------------------------- clean

bool ContentView::isFileTypeSelected(FileType type) const
{
    return m_selectedFileTypes.contains(type);
}

void ContentView::cleanButtonTapped()
{
    logLine(QStringLiteral("🖱️ 清理按钮被点击"));
    startCleaning();
}

void ContentView::startCleaning()
{
    logLine(QStringLiteral("🔄 开始清理垃圾文件..."));
    qsizetype toClean = 0;
    for (auto it = m_scanResults.cbegin(); it != m_scanResults.cend(); ++it) {
        if (isFileTypeSelected(it.key()))
            toClean += it.value().size();
    }
    logLine(QStringLiteral("📊 扫描结果统计: 总文件类型=") + QString::number(m_scanResults.size())
            + QStringLiteral(", 选中文件类型=") + QString::number(m_selectedFileTypes.size())
            + QStringLiteral(", 要清理的文件数=") + QString::number(toClean));
    if (m_deviceReady) {
        logLine(QStringLiteral("✅ 设备已就绪，直接执行清理"));
        performCleaning();
        return;
    }
    logLine(QStringLiteral("⏳ 设备尚未准备就绪，暂存清理请求等待设备就绪"));
    parkUntilReady(QStringLiteral("✅ 设备已就绪，继续执行之前的清理请求"), [this] { performCleaning(); });
}

void ContentView::performCleaning()
{
    logLine(QStringLiteral("🔄 继续执行清理操作..."));
    QList<FileItem> files;
    for (auto it = m_scanResults.cbegin(); it != m_scanResults.cend(); ++it) {
        if (isFileTypeSelected(it.key()))
            files << it.value();
    }
    logLine(QStringLiteral("📂 要清理的文件数量: ") + QString::number(files.size()));
    if (files.isEmpty()) {
        logLine(QStringLiteral("❌ 没有要清理的文件"));
        showMessageAlert(localized(QStringLiteral("error")), localized(QStringLiteral("select_file_types_to_clean")));
        return;
    }
    logLine(QStringLiteral("🧹 开始执行清理，文件数量: ") + QString::number(files.size()));
    // The clean belongs to the device it started on, whatever is selected when it ends.
    CleanRun run{m_selectedDevice, m_scanResults, m_selectedFileTypes};
    m_devices.cleanFiles(files, guarded([this, run](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
        handleCleanCompletion(cleaned, failed, run);
    }));
}

QString ContentView::summarySentence(int cleanedCount, qint64 freedBytes, int failedCount)
{
    QString text = format(localized(QStringLiteral("clean_summary")), cleanedCount, displayedByteCount(freedBytes));
    if (failedCount > 0)
        text += QLatin1Char('\n') + format(localized(QStringLiteral("clean_summary_failed")), failedCount);
    return text;
}

void ContentView::handleCleanCompletion(const QList<FileItem> &cleaned, const QList<FileItem> &failed,
                                        const CleanRun &run)
{
    logLine(QStringLiteral("✅ 清理完成 - 成功: ") + QString::number(cleaned.size()) + QStringLiteral(", 失败: ")
            + QString::number(failed.size()));
    const qint64 freed = totalSize(cleaned);
    set(m_completionMessage, summarySentence(int(cleaned.size()), freed, int(failed.size())));
    m_scheduler.post([this, freed, cleaned, run] { finishCleaning(freed, int(cleaned.size()), cleaned, run); }, this);
}

void ContentView::finishCleaning(qint64 freedSpace, int cleanedCount, const QList<FileItem> &cleanedFiles,
                                 const CleanRun &run)
{
    m_totalJunkSize = freedSpace;
    m_cleanedFileCount = cleanedCount;
    if (run.device && cleanedCount >= 1) {
        m_cleanHistory.prepend(makeRecord(run.device->name, run.device->id, cleanedFiles, run.scanResults,
                                          QDateTime::currentDateTime(),
                                          normalCleanKinds(run.selectedTypes, run.scanResults)));
        saveCleanHistory();
    }
    // Results of another device selected meanwhile are not this clean's to drop.
    if (!run.device || isSelected(run.device->id))
        m_scanResults.clear();
    emit stateChanged();
    if (run.device)
        scheduleAutoEject(run.device->id);
}

// Ejects the cleaned device a second later, if it is still the selected one then.
void ContentView::scheduleAutoEject(const QString &deviceID)
{
    if (!autoEjectAfterClean())
        return;
    m_scheduler.after(1s, [this, deviceID] {
        if (isSelected(deviceID))
            ejectSelectedDevice();
        else
            logLine(QStringLiteral("清理的设备已不再选中，不自动弹出: ") + deviceID);
    }, this);
}

// ---------------------------------------------------------------- quick clean

void ContentView::quickCleanDevice(const LocalUSBDevice &device)
{
    logLine(QStringLiteral("开始对设备 ") + device.name + QStringLiteral(" 执行快速清理"));
    if (m_deviceReady) {
        prepareQuickClean(device);
        return;
    }
    logLine(QStringLiteral("设备尚未准备就绪，暂存清理请求等待设备就绪"));
    selectIfDifferent(device);
    parkDeviceRequest(QStringLiteral("设备已就绪，继续执行之前的清理请求"), device,
                      [this](const LocalUSBDevice &current) { prepareQuickClean(current); });
}

void ContentView::prepareQuickClean(const LocalUSBDevice &device)
{
    selectIfDifferent(device);
    if (device.isAccessible) {
        performQuickClean(device);
        return;
    }
    logLine(QStringLiteral("设备 ") + device.name + QStringLiteral(" 不可访问，请求访问权限"));
    if (!isFolder(device.fsPath())) {
        logLine(QStringLiteral("设备路径不存在或不是目录，设备可能仍在初始化中"));
        showMessageAlert(localized(QStringLiteral("please_wait")), localized(QStringLiteral("device_mounting")));
        return;
    }
    if (m_devices.hasSecurityBookmark(device.id) && m_devices.startAccessingDevice(device.id)) {
        if (const std::optional<LocalUSBDevice> record = m_devices.updateDeviceAccessibility(device.id, true)) {
            setSelectedDevice(record);
            performQuickClean(*record);
        }
        return;
    }
    set(m_isAuthorizing, true);
    requestDeviceAuthorization(device, [this](bool granted) { handleQuickCleanAuthorizationResult(granted); });
}

void ContentView::handleQuickCleanAuthorizationResult(bool granted)
{
    if (granted && m_selectedDevice) {
        performQuickClean(*m_selectedDevice);
        return;
    }
    logLine(QStringLiteral("设备授权失败，无法执行快速清理"));
    set(m_isAuthorizing, false);
    m_scheduler.post([this] { showAccessDeniedAlert(); }, this);
}

void ContentView::performQuickClean(const LocalUSBDevice &device)
{
    m_isScanning = true;
    m_scanProgress = 0;
    emit stateChanged();
    const quint64 scan = ++m_scanSequence;
    m_devices.scanDevice(device, orderedTypes(m_selectedFileTypes), m_customExtensions, m_excludedFilePatterns,
                         guarded([this, scan](double value) { reportScanProgress(value, scan); }),
                         guarded([this, device, scan](const ScanResult &result) {
                             cleanAfterQuickScan(result, device, scan);
                         }));
}

void ContentView::cleanAfterQuickScan(const ScanResult &result, const LocalUSBDevice &device, quint64 scan)
{
    // Nothing is deleted on the strength of a stale scan.
    if (!acceptScanResult(device.id, scan))
        return;
    set(m_scanResults, result);
    QList<FileItem> files;
    for (const QList<FileItem> &items : result)
        files << items;
    if (files.isEmpty()) {
        m_scheduler.post([this] { resetScanState(); }, this);
        return;
    }
    QuickCleanRun run{totalSize(files), int(files.size()), files, result, device};
    m_devices.cleanFiles(files, guarded([this, run](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
        handleQuickCleanCompletion(cleaned, failed, run);
    }));
}

void ContentView::resetScanState()
{
    m_isScanning = false;
    m_scanProgress = 1.0;
    m_totalJunkSize = 0;
    m_cleanedFileCount = 0;
    emit stateChanged();
}

void ContentView::handleQuickCleanCompletion(const QList<FileItem> &cleaned, const QList<FileItem> &failed,
                                             const QuickCleanRun &run)
{
    logLine(QStringLiteral("✅ 快速清理完成 - 成功: ") + QString::number(cleaned.size()) + QStringLiteral(", 失败: ")
            + QString::number(failed.size()));
    const qint64 deletedSize = totalSize(cleaned);
    set(m_completionMessage, summarySentence(int(cleaned.size()), deletedSize, int(failed.size())));
    m_scheduler.post([this, run, cleaned, failed, deletedSize] { finishQuickClean(run, cleaned, failed, deletedSize); },
                     this);
}

void ContentView::finishQuickClean(const QuickCleanRun &run, const QList<FileItem> &cleaned,
                                   const QList<FileItem> &failed, qint64 deletedSize)
{
    const bool stillSelected = isSelected(run.device.id);
    m_isScanning = false;
    m_scanProgress = 1.0;
    if (cleaned.isEmpty() && !failed.isEmpty()) {
        // Nothing went: the window keeps showing what is still there.
        m_totalJunkSize = run.foundSize;
        m_cleanedFileCount = 0;
        if (stillSelected)
            m_scanResults = run.scanResult;
    } else {
        // The totals say what was removed, not what was handed to the clean.
        m_totalJunkSize = deletedSize;
        m_cleanedFileCount = int(cleaned.size());
        if (stillSelected)
            m_scanResults.clear();
    }
    if (!cleaned.isEmpty()) {
        m_cleanHistory.prepend(makeRecord(run.device.name, run.device.id, cleaned, run.scanResult,
                                          QDateTime::currentDateTime(),
                                          quickCleanKinds(run.foundFiles, run.scanResult)));
        saveCleanHistory();
    }
    emit stateChanged();
    if (!failed.isEmpty()) {
        showMessageAlert(localized(cleaned.isEmpty() ? QStringLiteral("error") : QStringLiteral("cleaning_completed_title")),
                         m_completionMessage);
    }
    scheduleAutoEject(run.device.id);
}

std::optional<FileType> ContentView::fileType(const FileItem &file, const ScanResult &in)
{
    return fileTypeOf(file, in);
}
