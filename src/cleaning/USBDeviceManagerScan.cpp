// The scan side of the device manager: the entry, the driver with its
// AppleDouble pre-search, and the walk of the volume.
#include "devices/USBDeviceManager.h"

#include "cleaning/AppleDoubleSearch.h"
#include "cleaning/PathHandles.h"
#include "cleaning/VolumeWalker.h"
#include "localization/ByteCountFormat.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <cstring>

namespace {

using pathhandles::childPath;

// Set on a folder's children when the folder is "__MACOSX" or lies inside one.
constexpr quint32 kInsideMacosx = 1;

const QByteArray kMacosx = QByteArrayLiteral("__MACOSX");
const QString kSpotlight = QStringLiteral(".Spotlight-V100");
const QString kTrashes = QStringLiteral(".Trashes");

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

// Does a folder of `path` below `root` (not the item itself) carry the name "__MACOSX"?
bool insideMacosx(const QByteArray &root, const QByteArray &path)
{
    const QByteArray prefix = root.endsWith('/') ? root : root + '/';
    if (!path.startsWith(prefix))
        return false;
    QList<QByteArray> parts = path.mid(prefix.size()).split('/');
    parts.removeLast();
    return parts.contains(kMacosx);
}

// The result of one scan, with the paths it already holds: a path is never
// listed twice, whichever pass meets it again.
class ResultBuilder
{
public:
    explicit ResultBuilder(ScanResult initial) : m_result(std::move(initial))
    {
        for (const QList<FileItem> &items : std::as_const(m_result)) {
            for (const FileItem &item : items)
                m_paths.insert(item.fsPath());
        }
    }

    bool contains(const QByteArray &path) const { return m_paths.contains(path); }

    // False when the path is already in the result.
    bool add(FileType type, const QByteArray &path, qint64 size)
    {
        const qsizetype before = m_paths.size();
        m_paths.insert(path);
        if (m_paths.size() == before)
            return false;
        m_result[type].append(FileItem::fromNativePath(path, size));
        return true;
    }

    const ScanResult &result() const { return m_result; }
    ScanResult take() { return std::move(m_result); }

private:
    ScanResult m_result;
    QSet<QByteArray> m_paths;
};

// Everything one scan carries from stage to stage. The stages run one after
// the other, never together, so nothing here needs a lock.
struct ScanJob
{
    LocalUSBDevice device;
    QString root;
    QByteArray rootBytes;
    bool accessStarted = false;
    QStringList customExtensions;
    QStringList excludedPatterns;
    USBDeviceManager::ScanProgress progress;
    USBDeviceManager::ScanCompletion completion;
    ScanResult accumulator;
    bool isFAT = false;
};

struct WalkRequest
{
    QString root;
    FileTypeSet fileTypes;
    QStringList customExtensions;
    QStringList excludedPatterns;
    bool accessStarted = false;
    USBDeviceManager::ScanProgress progress;
    ScanResult results;
    USBDeviceManager::ScanCompletion completion;
    bool isFAT = false;
};

// ".Spotlight-V100" is left alone on a FAT or exFAT volume whose indexing was
// turned off (the ".metadata_never_index" marker at its root).
bool indexingDisabled(const QString &name, bool isFAT, const QByteArray &root)
{
    return name == kSpotlight && isFAT && VolumeWalker::exists(childPath(root, ".metadata_never_index"));
}

void walkVolume(USBDeviceManager &manager, WalkRequest request)
{
    const QString root = withoutTrailingSlash(request.root);
    const QByteArray rootBytes = QFile::encodeName(root);
    const FileTypeSet &types = request.fileTypes;
    const bool wantsTemporary = types.contains(FileType::temporaryFiles);
    const bool isFAT = request.isFAT;

    const std::optional<LocalUSBDevice> device = manager.deviceContaining(root);

    logLine(QStringLiteral("扫描文件使用选项: ") + QStringLiteral("skipsPackageDescendants")
            + QStringLiteral("，注意：默认应包含隐藏文件"));
    logLine(QStringLiteral("开始扫描以估算文件数量..."));

    const FileMatcher matcher = manager.makeFileMatcher(request.customExtensions, request.excludedPatterns);
    ResultBuilder result(std::move(request.results));

    // The root's own entries, listed once for both root passes.
    // Only hidden entries and "__MACOSX" matter to them.
    int listError = 0;
    qsizetype rootCount = 0;
    const std::optional<QList<VolumeWalker::DirEntry>> rootEntries = VolumeWalker::listDirectory(
        rootBytes, &listError, [](QByteArrayView name) { return name.startsWith('.') || name == kMacosx; },
        &rootCount);

    if (wantsTemporary && rootEntries) {
        for (const VolumeWalker::DirEntry &entry : *rootEntries) {
            if (entry.name != kMacosx)
                continue;
            const QByteArray path = childPath(rootBytes, entry.name);
            logLine(QStringLiteral("在根目录找到__MACOSX目录: ") + pathText(path));
            result.add(FileType::temporaryFiles, path, 0);
        }
    }

    logLine(QStringLiteral("======= 开始特别检查隐藏文件和目录 ======="));
    if (!rootEntries) {
        logLine(QStringLiteral("特别检查时出错: ") + errorText(listError));
    } else {
        logLine(QStringLiteral("根目录共有 ") + QString::number(rootCount) + QStringLiteral(" 个文件/目录"));
        for (const VolumeWalker::DirEntry &entry : *rootEntries) {
            if (!entry.name.startsWith('.'))
                continue;
            const QByteArray path = childPath(rootBytes, entry.name);
            const QString name = QFile::decodeName(entry.name);
            logLine(QStringLiteral("发现隐藏项: ") + pathText(path) + QStringLiteral(", 是目录: ") + boolText(entry.isDirectory));
            const std::optional<FileType> kind = matcher.matchFile(MatchItem{name, entry.isDirectory, false}, types);
            if (!kind)
                continue;
            logLine(QStringLiteral("隐藏项匹配垃圾文件模式: ") + name + QStringLiteral(", 类型: ") + FileTypes::rawValue(*kind));
            if (indexingDisabled(name, isFAT, rootBytes)) {
                logLine(QStringLiteral("发现 .Spotlight-V100 但索引已禁用，跳过"));
                continue;
            }
            if (name == kTrashes)
                logLine(QStringLiteral("🗑️ 扫描发现 .Trashes 文件夹: ") + name + QStringLiteral(" at ") + pathText(path));
            if (result.add(*kind, path, entry.isDirectory ? 0 : entry.size))
                logLine(QStringLiteral("已添加隐藏垃圾文件到结果: ") + pathText(path));
        }
    }
    logLine(QStringLiteral("======= 特别检查结束 ======="));

    const auto onEntry = [&](const WalkEntry &entry) -> WalkDecision {
        const bool inMacosx = entry.inheritedFlags & kInsideMacosx;
        const bool isMacosx = entry.name == kMacosx;
        const quint32 childFlags = (inMacosx || isMacosx) ? kInsideMacosx : 0;

        const QString name = QFile::decodeName(entry.name);
        if (wantsTemporary && (isMacosx || inMacosx) && !matcher.isKept(name)) {
            const QByteArray path = entry.path();
            logLine(QStringLiteral("发现__MACOSX相关项: ") + pathText(path));
            result.add(FileType::temporaryFiles, path, entry.size());
            if (entry.isDirectory) {
                logLine(QStringLiteral("跳过__MACOSX目录的内容"));
                return WalkDecision{false, childFlags};
            }
            return WalkDecision{true, childFlags};
        }

        if (entry.isRegularFile && entry.name.startsWith("._")) {
            const QByteArray path = entry.path();
            logLine(QStringLiteral("发现._文件: ") + pathText(path));
            // One lstat through the folder's handle answers both questions.
            const std::optional<qint64> stat = entry.lstatSize();
            const bool exists = stat.has_value();
            logLine(QStringLiteral("   ._文件是否存在: ") + boolText(exists));
            const qint64 size = stat.value_or(0);
            logLine(QStringLiteral("   ._文件大小: ") + QString::number(size) + QStringLiteral(" 字节"));
            logLine(QStringLiteral("   ._文件是否隐藏: ") + boolText(true));   // a leading dot is what hides it
            if (wantsTemporary && exists) {
                // A kept name is never junk: the matcher would only ask again.
                if (!matcher.isKept(name)) {
                    logLine(QStringLiteral("   直接添加._文件到临时文件结果中"));
                    result.add(FileType::temporaryFiles, path, size);
                }
                return WalkDecision{true, childFlags};
            }
        }

        if (const std::optional<FileType> kind = matcher.matchFile(MatchItem{name, entry.isDirectory, inMacosx}, types)) {
            const QByteArray path = entry.path();
            // Checked first: the size costs a system call.
            if (!result.contains(path)) {
                logLine(QStringLiteral("发现垃圾文件: ") + pathText(path));
                result.add(*kind, path, entry.size());
            }
        }
        // A matched folder is entered too: what lies inside is judged by its own name.
        return WalkDecision{true, childFlags};
    };

    const auto onError = [&](const WalkError &error) {
        logLine(QStringLiteral("扫描错误: ") + errorText(error.errorNumber) + QStringLiteral(" 于 ") + pathText(error.path));
        if (error.errorNumber == ENOENT || error.errorNumber == ENOTDIR || error.path == rootBytes)
            return;   // gone meanwhile, or the volume itself: nothing to add
        // Every other failure (no permission, or a read error) is judged by the name.
        logLine(QStringLiteral("权限错误，尝试将该项添加到结果中: ") + pathText(error.path));
        const QString name = QFile::decodeName(error.name);
        if (indexingDisabled(name, isFAT, rootBytes)) {
            logLine(QStringLiteral("发现 .Spotlight-V100 但索引已禁用，跳过"));
            return;
        }
        if (name == kTrashes)
            logLine(QStringLiteral("🗑️ 常规扫描发现 .Trashes 文件夹: ") + name + QStringLiteral(" at ") + pathText(error.path));
        const MatchItem item{name, true, insideMacosx(rootBytes, error.path)};
        if (const std::optional<FileType> kind = matcher.matchFile(item, types)) {
            if (!result.contains(error.path)) {
                logLine(QStringLiteral("将无权限访问的垃圾文件添加到结果: ") + pathText(error.path));
                result.add(*kind, error.path, VolumeWalker::itemSize(error.path).value_or(0));
            }
        }
    };

    // A root that cannot be opened leaves what the root passes found.
    VolumeWalker::walk(rootBytes, onEntry, onError);

    logLine(QStringLiteral("扫描完成，找到以下垃圾文件:"));
    for (auto it = result.result().cbegin(); it != result.result().cend(); ++it) {
        const qint64 total = totalSize(it.value());
        logLine(FileTypes::displayName(it.key()) + QStringLiteral(": ") + QString::number(it.value().size())
                + QStringLiteral("个文件，总计") + formatByteCount(total));
    }

    const bool stopAccess = request.accessStarted && device.has_value();
    const QString deviceID = device ? device->id : QString();
    manager.scheduler().post(
        [&manager, stopAccess, deviceID, progress = std::move(request.progress),
         completion = std::move(request.completion), found = result.take()] {
            if (stopAccess)
                manager.stopAccessingDevice(deviceID);
            if (progress)
                progress(1.0);
            if (completion)
                completion(found);
        },
        &manager);
}

// The scan ends before any walk: the volume is gone or cannot be listed.
void finishEarly(USBDeviceManager &manager, const std::shared_ptr<ScanJob> &job)
{
    manager.scheduler().post(
        [&manager, job] {
            if (job->accessStarted)
                manager.stopAccessingDevice(job->device.id);
            if (job->progress)
                job->progress(1.0);
            if (job->completion)
                job->completion(ScanResult{});
        },
        &manager);
}

void startWalk(USBDeviceManager &manager, const std::shared_ptr<ScanJob> &job)
{
    walkVolume(manager, WalkRequest{job->root, manager.fileTypeSet(), job->customExtensions, job->excludedPatterns,
                                    job->accessStarted, job->progress, std::move(job->accumulator), job->completion,
                                    job->isFAT});
}

AppleDoubleSearch::Tools searchTools(const USBDeviceManager &manager)
{
    const USBDeviceManager::Environment &env = manager.environment();
    return AppleDoubleSearch::Tools{env.find, env.ls, env.findTimeout};
}

// A pre-search hit is junk unless the user excluded its name (or it is a
// name never deleted): the search itself knows nothing of exclusions.
void addHits(USBDeviceManager &manager, ScanJob &job, const QList<QByteArray> &hits, const QString &logPrefix)
{
    ResultBuilder result(std::move(job.accumulator));
    const FileMatcher matcher = manager.makeFileMatcher(job.customExtensions, job.excludedPatterns);
    for (const QByteArray &hit : hits) {
        if (matcher.isKept(QFile::decodeName(hit.mid(hit.lastIndexOf('/') + 1))))
            continue;
        if (result.add(FileType::temporaryFiles, hit, VolumeWalker::itemSize(hit).value_or(0)))
            logLine(logPrefix + pathText(hit));
    }
    job.accumulator = result.take();
}

// After the `ls` look at the root of a FAT or exFAT volume: what find missed joins in.
void addLsHits(USBDeviceManager &manager, const std::shared_ptr<ScanJob> &job, const QList<QByteArray> &hits)
{
    addHits(manager, *job, hits, QStringLiteral("添加额外发现的._文件到结果: "));
    startWalk(manager, job);
}

// After the pre-search: its hits are temporary files.
void addFindHits(USBDeviceManager &manager, const std::shared_ptr<ScanJob> &job, const QList<QByteArray> &hits)
{
    logLine(QStringLiteral("通过find命令找到 ") + QString::number(hits.size()) + QStringLiteral(" 个._文件"));
    addHits(manager, *job, hits, QStringLiteral("添加._文件到结果: "));
    if (!job->isFAT) {
        startWalk(manager, job);
        return;
    }
    const QByteArray root = job->rootBytes;
    const AppleDoubleSearch::Tools tools = searchTools(manager);
    manager.runInBackground([root, tools] { return AppleDoubleSearch::findAppleDoubleFilesWithLs(root, tools); },
                            [&manager, job](const QList<QByteArray> &extra) { addLsHits(manager, job, extra); });
}

// The driver's first stage: false when the scan must end at once.
bool checkVolume(USBDeviceManager &manager, ScanJob &job)
{
    if (!VolumeWalker::exists(job.rootBytes))
        return false;
    if (!VolumeWalker::listDirectory(job.rootBytes, nullptr, [](QByteArrayView) { return false; })) {
        logLine(QStringLiteral("警告：无法访问设备 ") + job.device.name + QStringLiteral(" 的内容。可能是权限问题。"));
        return false;
    }
    const std::optional<QString> type = manager.fileSystemTypeOf(job.root);
    job.isFAT = type && USBDeviceManager::isFATType(*type);
    return true;
}

// The driver's second stage, on the thread that checked the volume.
void continueScan(USBDeviceManager &manager, const std::shared_ptr<ScanJob> &job)
{
    if (!manager.fileTypeSet().contains(FileType::temporaryFiles)) {
        startWalk(manager, job);
        return;
    }
    logLine(QStringLiteral("使用系统find命令查找._文件..."));
    const QByteArray root = job->rootBytes;
    const AppleDoubleSearch::Tools tools = searchTools(manager);
    manager.runInBackground([root, tools] { return AppleDoubleSearch::findAppleDoubleFiles(root, tools); },
                            [&manager, job](const QList<QByteArray> &hits) { addFindHits(manager, job, hits); });
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
    const bool accessStarted = startAccessingDevice(device.id);

    auto job = std::make_shared<ScanJob>();
    job->device = device;
    job->root = withoutTrailingSlash(device.path);
    job->rootBytes = QFile::encodeName(job->root);
    job->accessStarted = accessStarted;
    job->customExtensions = customExtensions;
    job->excludedPatterns = excludedPatterns;
    job->progress = std::move(progress);
    job->completion = std::move(completion);

    runInBackground([this, job] { return checkVolume(*this, *job); },
                    [this, job](bool usable) {
                        if (usable)
                            continueScan(*this, job);
                        else
                            finishEarly(*this, job);
                    });
}

void USBDeviceManager::scanDirectory(const QString &root, const FileTypeSet &fileTypes,
                                     const QStringList &customExtensions, const QStringList &excludedPatterns,
                                     bool accessStarted, ScanProgress progress, ScanResult results,
                                     ScanCompletion completion)
{
    const std::optional<QString> type = fileSystemTypeOf(root);
    walkVolume(*this, WalkRequest{root, fileTypes, customExtensions, excludedPatterns, accessStarted,
                                  std::move(progress), std::move(results), std::move(completion),
                                  type && isFATType(*type)});
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

std::optional<LocalUSBDevice> USBDeviceManager::deviceContaining(const QString &path) const
{
    const QString target = withoutTrailingSlash(path);
    std::optional<LocalUSBDevice> best;
    qsizetype bestLength = -1;
    QMutexLocker lock(&m_deviceListLock);
    for (const LocalUSBDevice &device : std::as_const(m_connectedDevices)) {
        const QString mount = withoutTrailingSlash(device.path);
        if (mount.isEmpty())
            continue;
        const QString prefix = mount.endsWith(u'/') ? mount : mount + u'/';
        const bool holds = target == mount || target.startsWith(prefix);
        if (holds && mount.size() > bestLength) {
            best = device;
            bestLength = mount.size();
        }
    }
    return best;
}

std::optional<QString> USBDeviceManager::fileSystemTypeOf(const QString &path) const
{
    const std::optional<QString> bsdName = getBSDName(path);
    if (!bsdName)
        return std::nullopt;
    QString error;
    const std::optional<QString> type = runDiskutilInfo(*bsdName, &error);
    if (!error.isEmpty()) {
        logLine(QStringLiteral("获取文件系统类型失败: ") + error);
        return std::nullopt;
    }
    if (type)
        logLine(QStringLiteral("设备文件系统类型: ") + *type + QStringLiteral(", 是否为exFAT/FAT: ")
                + boolText(isFATType(*type)));
    return type;
}

bool USBDeviceManager::isFATType(const QString &type)
{
    const QString lower = type.toLower();
    return lower == u"exfat" || lower == u"msdos" || lower == u"vfat";
}
