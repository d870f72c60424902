// The window's scan flow and what it shows of how a scan ended.
#include "mainwindow/ContentView.h"

#include "history/HistoryRecording.h"
#include "localization/ByteCountFormat.h"
#include "localization/Localization.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/FailureReasons.h"
#include "platform/Log.h"
#include "platform/Volumes.h"

#include <QDateTime>

using namespace std::chrono_literals;

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
    if (refuseWhileBusy(device.id, QStringLiteral("扫描")))
        return;
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
    if (refuseWhileBusy(device.id, QStringLiteral("扫描")))
        return;
    selectIfDifferent(device);
    logLine(QStringLiteral("准备扫描选中的设备: ") + device.name + QStringLiteral(", 可访问性: ")
            + boolText(device.isAccessible));
    if (device.isAccessible) {
        logLine(QStringLiteral("设备已可访问，直接开始扫描..."));
        performScan(device);
        return;
    }
    logLine(QStringLiteral("设备不可访问，请求授权..."));
    // A look at the device's path may wait on the device: not on this thread.
    m_scheduler.background([root = device.fsPath()] { return isFolder(root); },
                           [this, device](bool folder) {
                               if (!isSelected(device.id))
                                   return;   // the user moved on meanwhile
                               if (!folder) {
                                   logLine(QStringLiteral("设备路径不存在或不是目录，设备可能仍在初始化中"));
                                   showMessageAlert(localized(QStringLiteral("please_wait")),
                                                    localized(QStringLiteral("device_mounting")));
                                   return;
                               }
                               set(m_isAuthorizing, true);
                               requestDeviceAuthorization(device, [this, device](bool granted) {
                                   handleScanAuthorizationResult(granted, device);
                               });
                           },
                           this);
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
    if (refuseWhileBusy(device.id, QStringLiteral("扫描")))
        return;
    m_scanResults.clear();
    m_totalJunkSize = 0;
    m_cleanedFileCount = 0;
    m_failedFileCount = 0;
    m_failureReason = 0;
    m_unreadableFolderCount = 0;
    m_isScanning = true;
    m_scanProgress = 0;
    emit stateChanged();
    const quint64 scan = ++m_scanSequence;

    logLine(QStringLiteral("开始扫描，当前自定义后缀列表包含 ") + QString::number(m_customExtensions.size())
            + QStringLiteral(" 个后缀: ") + m_customExtensions.join(QStringLiteral(", ")));
    logLine(QStringLiteral("已选择的文件类型: ") + FileTypes::displayNames(m_selectedFileTypes).join(QStringLiteral(", ")));

    beginWork(device.id, WorkKind::scan);
    m_devices.scanDevice(device, FileTypes::inDeclarationOrder(m_selectedFileTypes), m_customExtensions, m_excludedFilePatterns,
                         guarded([this, scan](double value) { reportScanProgress(value, scan); }),
                         guarded([this, id = device.id, scan](const ScanOutcome &outcome) {
                             handleScanCompletion(outcome, id, scan);
                             endWork(id);
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

void ContentView::handleScanCompletion(const ScanOutcome &outcome, const QString &deviceID, quint64 scan)
{
    if (!acceptScanResult(deviceID, scan))
        return;
    showScanOutcome(outcome);
}

bool ContentView::showScanOutcome(const ScanOutcome &outcome)
{
    m_scanProgress = 1.0;
    m_isScanning = false;
    if (outcome.end == ScanOutcome::End::notAnswering || outcome.end == ScanOutcome::End::stopped) {
        // Given up, or stopped as the window closes: nothing it found is listed.
        m_scanResults.clear();
        m_totalJunkSize = 0;
        m_unreadableFolderCount = 0;
        emit stateChanged();
        if (outcome.end == ScanOutcome::End::notAnswering) {
            logLine(QStringLiteral("设备没有响应，扫描未完成"));
            showMessageAlert(localized(QStringLiteral("device_not_answering_title")),
                             format(localized(QStringLiteral("scan_not_answering_message")),
                                    m_selectedDevice ? m_selectedDevice->name : QString()));
        }
        return false;
    }
    if (outcome.end == ScanOutcome::End::volumeGone) {
        // Nothing it found can be acted on: the volume is not there any more.
        logLine(QStringLiteral("扫描期间设备已断开"));
        m_scanResults.clear();
        m_totalJunkSize = 0;
        m_unreadableFolderCount = 0;
        emit stateChanged();
        showDeviceDisconnectedAlert();
        m_devices.refreshDevices();
        return false;
    }
    qint64 total = 0;
    qsizetype count = 0;
    for (const QList<FileItem> &items : outcome.found) {
        total += totalSize(items);
        count += items.size();
    }
    m_scanResults = outcome.found;
    m_totalJunkSize = total;
    m_unreadableFolderCount = outcome.unreadableFolders;
    emit stateChanged();
    if (outcome.end == ScanOutcome::End::cutShort) {
        // What it found is listed; the alert says the list may not be whole.
        showMessageAlert(localized(QStringLiteral("error")),
                         format(localized(QStringLiteral("scan_cut_short_message")), count)
                             + QStringLiteral("\n\n") + failureReasonText(outcome.error));
        return false;
    }
    if (count == 0) {
        QString message = localized(QStringLiteral("no_cleanable_files_found"));
        if (outcome.unreadableFolders > 0)
            message += QLatin1Char('\n') + format(localized(QStringLiteral("scan_unreadable_folders")),
                                                   outcome.unreadableFolders);
        showMessageAlert(localized(QStringLiteral("cleaning_completed_title")), message);
        return false;
    }
    return true;
}

void ContentView::showDeviceDisconnectedAlert()
{
    showMessageAlert(localized(QStringLiteral("error")), localized(QStringLiteral("device_disconnected")));
}

void ContentView::showAccessDeniedAlert()
{
    showMessageAlert(localized(QStringLiteral("error")), localized(QStringLiteral("access_denied")));
}
