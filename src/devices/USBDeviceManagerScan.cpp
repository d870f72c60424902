// The scan side of the device manager: the entry records the kinds, opens
// access and hands the volume to a VolumeScanner in the background.
#include "devices/USBDeviceManager.h"

#include "cleaning/PathHandles.h"
#include "cleaning/VolumeScanner.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QFile>

#include <cerrno>

#include <sys/stat.h>
#include <sys/statfs.h>

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

namespace {

// The scan of a volume from the outside: whether it is (still) there and what
// its root says.
struct RootLook
{
    bool present = false;   // a folder answers at the path
    dev_t device = 0;
};

RootLook lookAtRoot(const QByteArray &root)
{
    struct stat st;
    if (::stat(root.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {};
    // The kernel may answer stat from what it cached of a FUSE volume whose
    // daemon is gone; statfs always asks the file system itself.
    struct statfs fs;
    if (::statfs(root.constData(), &fs) != 0)
        return {};
    return RootLook{true, st.st_dev};
}

// Scans the volume at `root` and says how the scan ended. A volume gone
// before or during the scan (its path no longer answers, or answers with
// another file system) ends as gone, whatever the walk found.
ScanOutcome scanVolume(const QByteArray &root, const QString &name, const std::function<VolumeScanner::Request()> &request,
                       VolumeWork &work)
{
    const LogStep step;   // the scan's lines go out in bursts, all of them by its end
    ScanOutcome outcome;
    const RootLook atStart = lookAtRoot(root);
    work.beat();
    int error = 0;
    if (!atStart.present) {
        logLine(QStringLiteral("设备路径不存在或不是目录: ") + pathText(root));
        outcome.end = ScanOutcome::End::volumeGone;
        return outcome;
    }
    if (!VolumeScanner::canScan(root, &error)) {
        logLine(QStringLiteral("警告：无法访问设备 ") + name + QStringLiteral(" 的内容。可能是权限问题。"));
        outcome.end = ScanOutcome::End::cutShort;
        outcome.error = error;
        outcome.errorPath = root;
    } else {
        VolumeScanner scanner(request());
        outcome = scanner.outcome(scanner.run());
    }
    if (outcome.end == ScanOutcome::End::stopped)
        return outcome;
    const RootLook atEnd = lookAtRoot(root);
    if (!atEnd.present || atEnd.device != atStart.device) {
        logLine(QStringLiteral("扫描期间设备已移除: ") + pathText(root));
        outcome.end = ScanOutcome::End::volumeGone;
    }
    if (outcome.end == ScanOutcome::End::cutShort)
        logLine(QStringLiteral("扫描未能完成: ") + errorText(outcome.error) + QStringLiteral(" 于 ")
                + pathText(outcome.errorPath));
    if (outcome.unreadableFolders > 0)
        logLine(QStringLiteral("无法读取的文件夹数量: ") + QString::number(outcome.unreadableFolders));
    return outcome;
}

} // namespace

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
    const QByteArray root = device.fsPath();

    // A volume that stops answering ends the scan in its place, with nothing found.
    auto work = std::make_shared<VolumeWork>();
    watchWork(device.id, work, [this, name = device.name, progress, completion] {
        logLine(QStringLiteral("设备没有响应，扫描已放弃: ") + name);
        ScanOutcome outcome;
        outcome.end = ScanOutcome::End::notAnswering;
        outcome.error = ETIMEDOUT;
        m_scheduler.post(
            [progress, completion, outcome] {
                if (progress)
                    progress(1.0);
                if (completion)
                    completion(outcome);
            },
            this);
    });

    runTracked([this, device, root, customExtensions, excludedPatterns, progress = std::move(progress),
                completion = std::move(completion), work] {
        // Opening access lists the volume: here, never on the main thread.
        const bool accessStarted = startAccessingDevice(device.id);
        ScanOutcome outcome = scanVolume(
            root, device.name,
            [&] {
                VolumeScanner::Request request = scanRequest(root, fileTypeSet(), customExtensions, excludedPatterns);
                request.work = work;
                return request;
            },
            *work);
        if (accessStarted)
            stopAccessingDevice(device.id);
        keepScannedFolders(root, outcome.folders);
        work->markReturned();
        if (!work->finish())
            return;   // given up: its end was told already
        m_scheduler.post(
            [progress, completion, outcome = std::move(outcome)] {
                if (progress)
                    progress(1.0);
                if (completion)
                    completion(outcome);
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
    ScanOutcome outcome = scanner.outcome(scanner.walk(std::move(results)));
    keepScannedFolders(rootBytes, outcome.folders);
    // Access is stopped only for a volume of the list.
    const std::optional<LocalUSBDevice> device = deviceContaining(rootBytes);
    if (accessStarted && device)
        stopAccessingDevice(device->id);
    m_scheduler.post(
        [progress = std::move(progress), completion = std::move(completion), outcome = std::move(outcome)] {
            if (progress)
                progress(1.0);
            if (completion)
                completion(outcome);
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

void USBDeviceManager::keepScannedFolders(const QByteArray &root, const std::shared_ptr<const ScannedFolders> &folders)
{
    if (!folders)
        return;   // no walk: what the last one saw still stands
    QMutexLocker lock(&m_scannedFoldersLock);
    m_scannedFolders.insert(pathhandles::withoutTrailingSlashes(root), folders);
}

std::shared_ptr<const ScannedFolders> USBDeviceManager::scannedFoldersOf(const QByteArray &root) const
{
    QMutexLocker lock(&m_scannedFoldersLock);
    return m_scannedFolders.value(pathhandles::withoutTrailingSlashes(root));
}
