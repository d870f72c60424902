#include "cleaning/VolumeScanner.h"

#include "cleaning/PathHandles.h"
#include "cleaning/VolumeWalker.h"
#include "localization/ByteCountFormat.h"
#include "platform/Log.h"

#include <QFile>
#include <QSet>

#include <cerrno>

namespace {

using pathhandles::childPath;

// Set on a folder's children when the folder is "__MACOSX" or lies inside one.
constexpr quint32 kInsideMacosx = 1;

const QByteArray kMacosx = QByteArrayLiteral("__MACOSX");
const QString kSpotlight = QStringLiteral(".Spotlight-V100");
const QString kTrashes = QStringLiteral(".Trashes");

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

    // Adds the item with its identity (from `st`, an lstat of it; an item
    // that could not be examined has none, and a clean refuses it). `size`
    // overrides the lstat size. False when the path is already in the result.
    bool add(FileType type, const QByteArray &path, const std::optional<struct stat> &st,
             std::optional<qint64> size = std::nullopt)
    {
        const qsizetype before = m_paths.size();
        m_paths.insert(path);
        if (m_paths.size() == before)
            return false;
        FileItem item = FileItem::fromNativePath(path, size.value_or(st ? qint64(st->st_size) : 0));
        if (st)
            pathhandles::recordIdentity(item, *st);
        m_result[type].append(std::move(item));
        return true;
    }

    const ScanResult &result() const { return m_result; }
    ScanResult take() { return std::move(m_result); }

private:
    ScanResult m_result;
    QSet<QByteArray> m_paths;
};

// ".Spotlight-V100" is left alone on a FAT or exFAT volume whose indexing was
// turned off (the ".metadata_never_index" marker at its root).
bool indexingDisabled(const QString &name, bool isFAT, const QByteArray &root)
{
    return name == kSpotlight && isFAT && VolumeWalker::exists(childPath(root, ".metadata_never_index"));
}

} // namespace

VolumeScanner::VolumeScanner(Request request)
    : m_request(std::move(request))
    , m_matcher(FileTypes::junkFilePatterns(), m_request.fileTypes, m_request.customExtensions,
                m_request.excludedPatterns)
{
    m_request.root = pathhandles::withoutTrailingSlashes(m_request.root);
}

VolumeScanner::~VolumeScanner() = default;

bool VolumeScanner::canScan(const QByteArray &root)
{
    return VolumeWalker::exists(root) && VolumeWalker::listDirectory(root, nullptr, [](QByteArrayView) { return false; });
}

ScanResult VolumeScanner::run()
{
    ScanResult result;
    if (m_request.fileTypes.contains(FileType::temporaryFiles))
        preSearch(result);
    return walk(std::move(result));
}

void VolumeScanner::preSearch(ScanResult &found)
{
    const QByteArray &root = m_request.root;
    logLine(QStringLiteral("使用系统find命令查找._文件..."));
    const QList<QByteArray> hits = AppleDoubleSearch::findAppleDoubleFiles(root, m_request.tools);
    logLine(QStringLiteral("通过find命令找到 ") + QString::number(hits.size()) + QStringLiteral(" 个._文件"));

    // A hit is junk unless the user excluded its name (or it is a name never
    // deleted): the search itself knows nothing of exclusions.
    ResultBuilder result(std::move(found));
    const auto addHits = [&](const QList<QByteArray> &paths, const QString &logPrefix) {
        for (const QByteArray &hit : paths) {
            if (m_matcher.isKept(QFile::decodeName(pathhandles::lastComponent(hit))))
                continue;
            if (result.add(FileType::temporaryFiles, hit, VolumeWalker::itemStat(hit)))
                logLine(logPrefix + pathText(hit));
        }
    };
    addHits(hits, QStringLiteral("添加._文件到结果: "));
    // What find missed at the root of a FAT or exFAT volume joins in.
    if (m_request.isFAT)
        addHits(AppleDoubleSearch::findAppleDoubleFilesWithLs(root, m_request.tools),
                QStringLiteral("添加额外发现的._文件到结果: "));
    found = result.take();
}

ScanResult VolumeScanner::walk(ScanResult initial)
{
    const QByteArray &rootBytes = m_request.root;
    const FileTypeSet &types = m_request.fileTypes;
    const bool wantsTemporary = types.contains(FileType::temporaryFiles);
    const bool isFAT = m_request.isFAT;
    const FileMatcher &matcher = m_matcher;

    logLine(QStringLiteral("扫描文件使用选项: ") + QStringLiteral("skipsPackageDescendants")
            + QStringLiteral("，注意：默认应包含隐藏文件"));
    logLine(QStringLiteral("开始扫描以估算文件数量..."));

    ResultBuilder result(std::move(initial));

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
            result.add(FileType::temporaryFiles, path, entry.stat, 0);
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
            if (result.add(*kind, path, entry.stat, entry.isDirectory ? 0 : entry.size))
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
            result.add(FileType::temporaryFiles, path, entry.lstat());
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
            const std::optional<struct stat> stat = entry.lstat();
            const bool exists = stat.has_value();
            logLine(QStringLiteral("   ._文件是否存在: ") + boolText(exists));
            const qint64 size = stat ? qint64(stat->st_size) : 0;
            logLine(QStringLiteral("   ._文件大小: ") + QString::number(size) + QStringLiteral(" 字节"));
            logLine(QStringLiteral("   ._文件是否隐藏: ") + boolText(true));   // a leading dot is what hides it
            if (wantsTemporary && exists) {
                // A kept name is never junk: the matcher would only ask again.
                if (!matcher.isKept(name)) {
                    logLine(QStringLiteral("   直接添加._文件到临时文件结果中"));
                    result.add(FileType::temporaryFiles, path, stat);
                }
                return WalkDecision{true, childFlags};
            }
        }

        if (const std::optional<FileType> kind = matcher.matchFile(MatchItem{name, entry.isDirectory, inMacosx}, types)) {
            const QByteArray path = entry.path();
            // Checked first: the lstat costs a system call.
            if (!result.contains(path)) {
                logLine(QStringLiteral("发现垃圾文件: ") + pathText(path));
                result.add(*kind, path, entry.lstat());
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
                result.add(*kind, error.path, error.stat);
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
    return result.take();
}
