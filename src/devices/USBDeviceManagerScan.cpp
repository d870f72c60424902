// The scan side of the device manager: the entry records the kinds, opens
// access and hands the volume to a VolumeScanner in the background.
#include "devices/USBDeviceManager.h"

#include "cleaning/VolumeScanner.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QFile>

VolumeScanner::Request USBDeviceManager::scanRequest(const QByteArray &root, const FileTypeSet &fileTypes,
                                                     const QStringList &customExtensions,
                                                     const QStringList &excludedPatterns) const
{
    VolumeScanner::Request request;
    request.root = root;   // the scanner trims trailing slashes
    request.fileTypes = fileTypes;
    request.customExtensions = customExtensions;
    request.excludedPatterns = excludedPatterns;
    request.tools = AppleDoubleSearch::Tools{m_env.find, m_env.ls, m_env.findTimeout};
    const std::optional<QString> type = fileSystemTypeOf(root);
    request.isFAT = type && isFATType(*type);
    return request;
}

void USBDeviceManager::scanDevice(const LocalUSBDevice &device, const QList<FileType> &fileTypes,
                                  const QStringList &customExtensions, const QStringList &excludedPatterns,
                                  ScanProgress progress, ScanCompletion completion)
{
    {
        QMutexLocker lock(&m_fileTypeLock);
        m_fileTypeSet = FileTypeSet(fileTypes.cbegin(), fileTypes.cend());
    }
    {
        QMutexLocker lock(&m_cancelLock);
        m_shouldCancelScan = false;
    }
    const bool accessStarted = startAccessingDevice(device.id);
    const QByteArray root = device.fsPath();

    runTracked([this, device, root, accessStarted, customExtensions, excludedPatterns, progress = std::move(progress),
                completion = std::move(completion)] {
        ScanResult found;
        // A volume that is gone or cannot be listed ends the scan with nothing.
        if (VolumeScanner::canScan(root)) {
            VolumeScanner scanner(scanRequest(root, fileTypeSet(), customExtensions, excludedPatterns));
            found = scanner.run();
        } else if (isFolder(root)) {
            logLine(QStringLiteral("警告：无法访问设备 ") + device.name + QStringLiteral(" 的内容。可能是权限问题。"));
        }
        m_scheduler.post(
            [this, device, accessStarted, progress, completion, found = std::move(found)] {
                if (accessStarted)
                    stopAccessingDevice(device.id);
                if (progress)
                    progress(1.0);
                if (completion)
                    completion(found);
            },
            this);
    });
}

void USBDeviceManager::scanDirectory(const QString &root, const FileTypeSet &fileTypes,
                                     const QStringList &customExtensions, const QStringList &excludedPatterns,
                                     bool accessStarted, ScanProgress progress, ScanResult results,
                                     ScanCompletion completion)
{
    const QByteArray rootBytes = QFile::encodeName(root);
    VolumeScanner scanner(scanRequest(rootBytes, fileTypes, customExtensions, excludedPatterns));
    ScanResult found = scanner.walk(std::move(results));
    // Access is stopped only for a volume of the list.
    const std::optional<LocalUSBDevice> device = deviceContaining(rootBytes);
    const bool stopAccess = accessStarted && device.has_value();
    const QString deviceID = device ? device->id : QString();
    m_scheduler.post(
        [this, stopAccess, deviceID, progress = std::move(progress), completion = std::move(completion),
         found = std::move(found)] {
            if (stopAccess)
                stopAccessingDevice(deviceID);
            if (progress)
                progress(1.0);
            if (completion)
                completion(found);
        },
        this);
}

FileMatcher USBDeviceManager::makeFileMatcher(const QStringList &customExtensions,
                                              const QStringList &excludedPatterns) const
{
    return FileMatcher(FileTypes::junkFilePatterns(), fileTypeSet(), customExtensions, excludedPatterns);
}

FileTypeSet USBDeviceManager::fileTypeSet() const
{
    QMutexLocker lock(&m_fileTypeLock);
    return m_fileTypeSet;
}

bool USBDeviceManager::shouldCancelScan() const
{
    QMutexLocker lock(&m_cancelLock);
    return m_shouldCancelScan;
}
