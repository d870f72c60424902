// The window's clean and quick-clean flows and what they show of how a clean ended.
#include "mainwindow/ContentView.h"

#include "history/HistoryRecording.h"
#include "localization/ByteCountFormat.h"
#include "localization/Localization.h"
#include "mainwindow/DeviceService.h"
#include "mainwindow/FailureReasons.h"
#include "platform/Log.h"
#include "platform/Volumes.h"

#include <QDateTime>

#include <cerrno>

using namespace std::chrono_literals;

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
    qint64 foundCount = 0;
    QList<FileItem> foundFiles;
    ScanResult scanResult;
    LocalUSBDevice device;
};

// What the quick clean's access check of an unreadable device found, off the
// main thread (each step may wait on the device).
struct ContentView::QuickCleanAccess
{
    bool isFolder = false;
    bool viaGrant = false;   // a stored grant opened access
    std::optional<LocalUSBDevice> record;   // the device's record once access is open
};

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
    if (refuseWhileBusy(m_selectedDevice ? m_selectedDevice->id : QString(), QStringLiteral("清理")))
        return;
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
    const QString deviceID = m_selectedDevice ? m_selectedDevice->id : QString();
    if (refuseWhileBusy(deviceID, QStringLiteral("清理")))
        return;
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
    beginWork(deviceID, WorkKind::clean);
    m_devices.cleanFiles(
        files,
        guarded([this, run](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
            handleCleanCompletion(cleaned, failed, run);
        }),
        guarded([this, deviceID](double share) { setWorkProgress(deviceID, share); }));
}

QString ContentView::summarySentence(qint64 cleanedCount, qint64 freedBytes, qint64 failedCount)
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
    // Another device's view is not this clean's to write.
    if (!run.device || isSelected(run.device->id))
        set(m_completionMessage, summarySentence(cleaned.size(), freed, failed.size()));
    // The device stays busy until its record is made: a window closing
    // meanwhile waits for it.
    m_scheduler.post([this, freed, cleaned, failed, run] {
        finishCleaning(freed, cleaned, failed, run);
        endWork(run.device ? run.device->id : QString());
    }, this);
}

void ContentView::finishCleaning(qint64 freedSpace, const QList<FileItem> &cleanedFiles,
                                 const QList<FileItem> &failed, const CleanRun &run)
{
    // The record and the history belong to the device the clean started on,
    // whatever is selected now.
    if (run.device && !cleanedFiles.isEmpty()) {
        addHistoryRecord(makeRecord(run.device->name, run.device->id, cleanedFiles, run.scanResults,
                                    QDateTime::currentDateTime(), normalCleanKinds(run.selectedTypes, run.scanResults)));
    }
    if (!run.device) {
        m_totalJunkSize = freedSpace;
        m_cleanedFileCount = cleanedFiles.size();
        m_failedFileCount = failed.size();
        m_failureReason = commonFailure(failed);
        m_scanResults.clear();
        emit stateChanged();
        return;
    }
    if (!isSelected(run.device->id)) {
        logLine(QStringLiteral("清理的设备已不再选中，不更新当前视图: ") + run.device->id);
        tellCleanCutShort(*run.device, cleanedFiles, failed);
        return;
    }
    showCleanEnd(*run.device, cleanedFiles, failed, run.scanResults);
    scheduleAutoEject(run.device->id);
}

void ContentView::showCleanEnd(const LocalUSBDevice &device, const QList<FileItem> &cleaned,
                               const QList<FileItem> &failed, const ScanResult &scanned)
{
    m_isScanning = false;
    m_scanProgress = 1.0;
    m_cleanedFileCount = cleaned.size();
    m_failedFileCount = failed.size();
    m_failureReason = commonFailure(failed);
    if (!cleaned.isEmpty() || failed.isEmpty()) {
        // The completion view: what went, and a line for what did not.
        m_totalJunkSize = totalSize(cleaned);
        m_scanResults.clear();
        emit stateChanged();
        tellCleanCutShort(device, cleaned, failed);
        return;
    }
    // Nothing went: the results stay as they are on the disk, and the alert says why.
    m_scanResults = scanned;
    qint64 total = 0;
    for (const QList<FileItem> &items : scanned)
        total += totalSize(items);
    m_totalJunkSize = total;
    emit stateChanged();
    showNothingRemovedAlert(device, failed);
}

void ContentView::showNothingRemovedAlert(const LocalUSBDevice &device, const QList<FileItem> &failed)
{
    showMessageAlert(localized(QStringLiteral("clean_failed_title")),
                     format(localized(QStringLiteral("clean_failed_message")), failed.size(), device.name)
                         + QStringLiteral("\n\n") + failureReasonText(commonFailure(failed)));
}

// A device that stopped answering, or went away, half-way is told of with
// what went before and what stayed: also once the window has moved on from
// it (a device that went is no longer listed, let alone selected). A clean
// that went on through the volume it held while its device went away (a
// lazy unmount) is told of with its result: no view of that device shows it.
void ContentView::tellCleanCutShort(const LocalUSBDevice &device, const QList<FileItem> &cleaned,
                                    const QList<FileItem> &failed)
{
    const int why = commonFailure(failed);
    if (why == ETIMEDOUT)
        showMessageAlert(localized(QStringLiteral("device_not_answering_title")),
                         format(localized(QStringLiteral("clean_not_answering_message")), device.name, cleaned.size(),
                                failed.size()));
    else if (isDeviceGoneFailure(why))
        showMessageAlert(localized(QStringLiteral("device_gone_during_clean_title")),
                         format(localized(QStringLiteral("clean_device_gone_message")), device.name, cleaned.size(),
                                failed.size()));
    else if (!m_devices.device(device.id))
        tellCleanResult(device, cleaned, failed);
}

void ContentView::tellCleanResult(const LocalUSBDevice &device, const QList<FileItem> &cleaned,
                                  const QList<FileItem> &failed)
{
    if (cleaned.isEmpty() && !failed.isEmpty()) {
        showNothingRemovedAlert(device, failed);
        return;
    }
    QString message = format(localized(QStringLiteral("clean_complete_message")), device.name) + u'\n'
                      + summarySentence(cleaned.size(), totalSize(cleaned), failed.size());
    if (const int why = commonFailure(failed); why != 0)
        message += QStringLiteral("\n\n") + failureReasonText(why);
    showMessageAlert(localized(QStringLiteral("cleaning_completed_title")), message);
}

// Ejects the cleaned device a second later, if it is still the selected one then.
void ContentView::scheduleAutoEject(const QString &deviceID)
{
    if (!autoEjectAfterClean() || m_isQuitting)
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
    if (refuseWhileBusy(device.id, QStringLiteral("快速清理")))
        return;
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
    if (refuseWhileBusy(device.id, QStringLiteral("快速清理")))
        return;
    selectIfDifferent(device);
    if (device.isAccessible) {
        performQuickClean(device);
        return;
    }
    logLine(QStringLiteral("设备 ") + device.name + QStringLiteral(" 不可访问，请求访问权限"));
    // The path, the stored grant and the access it opens are all looks at the
    // device, any of which may wait on it: not on this thread.
    DeviceService &devices = m_devices;
    m_scheduler.background(
        [&devices, device] {
            QuickCleanAccess access;
            access.isFolder = isFolder(device.fsPath());
            if (access.isFolder && devices.hasSecurityBookmark(device.id) && devices.startAccessingDevice(device.id)) {
                access.viaGrant = true;
                access.record = devices.updateDeviceAccessibility(device.id, true);
            }
            return access;
        },
        [this, device](const QuickCleanAccess &access) { continueQuickClean(access, device); }, this);
}

void ContentView::continueQuickClean(const QuickCleanAccess &access, const LocalUSBDevice &device)
{
    if (!isSelected(device.id))
        return;   // the user moved on meanwhile
    if (!access.isFolder) {
        logLine(QStringLiteral("设备路径不存在或不是目录，设备可能仍在初始化中"));
        showMessageAlert(localized(QStringLiteral("please_wait")), localized(QStringLiteral("device_mounting")));
        return;
    }
    if (access.viaGrant) {
        if (access.record) {
            setSelectedDevice(access.record);
            performQuickClean(*access.record);
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
    if (refuseWhileBusy(device.id, QStringLiteral("快速清理")))
        return;
    m_failedFileCount = 0;
    m_failureReason = 0;
    m_isScanning = true;
    m_scanProgress = 0;
    emit stateChanged();
    const quint64 scan = ++m_scanSequence;
    beginWork(device.id, WorkKind::scan);
    m_devices.scanDevice(device, FileTypes::inDeclarationOrder(m_selectedFileTypes), m_customExtensions, m_excludedFilePatterns,
                         guarded([this, scan](double value) { reportScanProgress(value, scan); }),
                         guarded([this, device, scan](const ScanOutcome &outcome) {
                             // The deletion that may follow is work of its own.
                             endWork(device.id);
                             cleanAfterQuickScan(outcome, device, scan);
                         }));
}

void ContentView::cleanAfterQuickScan(const ScanOutcome &outcome, const LocalUSBDevice &device, quint64 scan)
{
    // Nothing is deleted on the strength of a stale scan, nor of one that did
    // not end as it should: it shows as a scan and its alert says why.
    if (!acceptScanResult(device.id, scan))
        return;
    if (outcome.end != ScanOutcome::End::complete) {
        showScanOutcome(outcome);
        return;
    }
    const ScanResult &result = outcome.found;
    set(m_unreadableFolderCount, outcome.unreadableFolders);
    set(m_scanResults, result);
    QList<FileItem> files;
    for (const QList<FileItem> &items : result)
        files << items;
    if (files.isEmpty()) {
        m_scheduler.post([this] { resetScanState(); }, this);
        return;
    }
    if (m_isQuitting)
        return;   // nothing new begins while the window closes
    QuickCleanRun run{totalSize(files), files.size(), files, result, device};
    beginWork(device.id, WorkKind::clean);
    m_devices.cleanFiles(
        files,
        guarded([this, run](const QList<FileItem> &cleaned, const QList<FileItem> &failed) {
            handleQuickCleanCompletion(cleaned, failed, run);
        }),
        guarded([this, id = device.id](double share) { setWorkProgress(id, share); }));
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
    if (isSelected(run.device.id))
        set(m_completionMessage, summarySentence(cleaned.size(), deletedSize, failed.size()));
    m_scheduler.post([this, run, cleaned, failed] {
        finishQuickClean(run, cleaned, failed);
        endWork(run.device.id);
    }, this);
}

void ContentView::finishQuickClean(const QuickCleanRun &run, const QList<FileItem> &cleaned,
                                   const QList<FileItem> &failed)
{
    if (!cleaned.isEmpty()) {
        addHistoryRecord(makeRecord(run.device.name, run.device.id, cleaned, run.scanResult,
                                    QDateTime::currentDateTime(), quickCleanKinds(run.foundFiles, run.scanResult)));
    }
    // Another device's view is not this clean's to write.
    if (!isSelected(run.device.id)) {
        logLine(QStringLiteral("快速清理的设备已不再选中，不更新当前视图: ") + run.device.id);
        tellCleanCutShort(run.device, cleaned, failed);
        return;
    }
    showCleanEnd(run.device, cleaned, failed, run.scanResult);
    scheduleAutoEject(run.device.id);
}

std::optional<FileType> ContentView::fileType(const FileItem &file, const ScanResult &in)
{
    return fileTypeOf(file, in);
}
