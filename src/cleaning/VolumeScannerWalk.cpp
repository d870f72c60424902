// The scan's walk: the two passes over the root's own entries, on the walk's
// one reading of the root, then every entry below, judged by its name. A
// folder of the result the walk is inside goes whole, or in the pieces
// around the kept names it holds.
#include "cleaning/VolumeScanner.h"

#include "cleaning/ScanParts.h"
#include "cleaning/VolumeScannerBeside.h"
#include "cleaning/VolumeScannerResult.h"
#include "cleaning/VolumeWalker.h"
#include "cleaning/VolumeWork.h"
#include "cleaning/WholeFolder.h"
#include "platform/Log.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <climits>
#include <memory>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using pathhandles::childPath;
using scanparts::looked;
using scanparts::NameText;
using scanparts::WholeFolder;

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

// The markers an administrator clean leaves at a volume's root so other
// computers do not make their folders again: an empty ".Trashes" or
// ".metadata_never_index" file, and a ".fseventsd" folder holding only an
// empty "no_log". They are no junk: a stick scans clean after a clean.
bool isCleanMarker(const WalkEntry &entry)
{
    const auto emptyFile = [](const std::optional<struct stat> &st) { return st && S_ISREG(st->st_mode) && st->st_size == 0; };
    if (entry.depth != 1)
        return false;
    if (entry.name == ".Trashes" || entry.name == ".metadata_never_index")
        return entry.isRegularFile && emptyFile(entry.lstat());
    if (entry.name != ".fseventsd" || !entry.isDirectory)
        return false;
    const pathhandles::Handle folder(pathhandles::openAt(entry.parentFd, ".fseventsd", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    QByteArrayList names;
    char buffer[4096];
    if (folder.get() < 0
        || !pathhandles::forEachEntry(folder.get(), buffer, sizeof buffer,
                                      [&](const char *name, unsigned char) { names << QByteArray(name); })
        || names != QByteArrayList{"no_log"})
        return false;
    struct stat st;
    return ::fstatat(folder.get(), "no_log", &st, AT_SYMLINK_NOFOLLOW) == 0 && emptyFile(st);
}

// ".Spotlight-V100" is left alone on a FAT or exFAT volume whose indexing was
// turned off (the ".metadata_never_index" marker at its root).
bool indexingDisabled(const QString &name, bool isFAT, const QByteArray &root)
{
    return name == kSpotlight && isFAT && VolumeWalker::exists(childPath(root, ".metadata_never_index"));
}

} // namespace

// One walk of the volume into a result: the walk's own, while the pre-search
// runs beside it (`beside`), else the scan's.
class VolumeScanner::Walk
{
public:
    Walk(VolumeScanner &scanner, ResultBuilder &result, BesideSearch *beside)
        : m_scanner(scanner)
        , m_request(scanner.m_request)
        , m_matcher(scanner.m_matcher)
        , m_result(result)
        , m_beside(beside)
        , m_work(scanner.m_request.work.get())
        , m_wantsTemporary(m_request.fileTypes.contains(FileType::temporaryFiles))
        , m_recordWhole(m_matcher.hasExclusions())
    {
    }

    void run();

private:
    // The root's own entries.
    void rootPasses(const QList<WalkEntry> &entries, qsizetype count, int error);
    void macosxAtRoot(const QList<WalkEntry> &entries);
    void hiddenAtRoot(const WalkEntry &entry);

    // Every entry below the root.
    WalkDecision onEntry(const WalkEntry &entry);
    void listMacosxItem(const WalkEntry &entry);
    void holdAppleDouble(const WalkEntry &entry);
    bool judgeAppleDouble(const WalkEntry &entry, QStringView name);
    bool listIfJunk(const WalkEntry &entry, QStringView name, bool inMacosx);
    void noteOutside(const WalkEntry &entry);
    void sayListed(BesideSearch::What what, PathArena::Node node, const QByteArray &path);
    void onError(const WalkError &error);
    bool onFolder(const WalkFolder &folder);
    void keepFolders();

    // The folder of the result the walk is inside.
    void enterWholeFolder(const WalkEntry &entry, const QByteArray &path);
    void leaveWholeFolder();
    std::vector<qsizetype> temporaryIndexesOf(const QSet<QByteArray> &paths) const;

    VolumeScanner &m_scanner;
    const Request &m_request;
    const FileMatcher &m_matcher;
    ResultBuilder &m_result;
    BesideSearch *const m_beside;
    VolumeWork *const m_work;
    const bool m_wantsTemporary;
    bool m_rootPassesRan = false;

    // The outermost folder of the result the walk is inside, and the depth of
    // a "__MACOSX" taken whole, whose contents are not judged on their own
    // (0: none). Entries below a whole folder are noted only while something
    // is excluded; otherwise the protected name alone is kept, and a folder
    // holding it is looked at again.
    std::optional<WholeFolder> m_whole;
    int m_takenMacosxDepth = 0;
    const bool m_recordWhole;

    // The folders met outside what is listed whole, for the clean to tell
    // a folder item's own folders from aliases of these.
    std::shared_ptr<ScannedFolders> m_folders;
    // The files met outside, in pieces (a vector grown by doubling would
    // hold twice their size, and copy them at every step), and the folder of
    // the one noted last.
    static constexpr size_t kNotedPiece = 64 * 1024;
    std::vector<std::vector<quint64>> m_noted;
    QByteArray m_notedFolder;
};

void VolumeScanner::walkInto(ResultBuilder &result, BesideSearch *beside)
{
    const LogStep step;   // its lines go out in bursts
    Walk(*this, result, beside).run();
}

void VolumeScanner::Walk::run()
{
    logLine(QStringLiteral("扫描文件使用选项: ") + QStringLiteral("skipsPackageDescendants")
            + QStringLiteral("，注意：默认应包含隐藏文件"));
    logLine(QStringLiteral("开始扫描以估算文件数量..."));

    // The two passes over the root's own entries (only hidden ones and
    // "__MACOSX" matter to them), on the walk's one reading of the root.
    const RootPass rootPass{[](QByteArrayView name) { return name.startsWith('.') || name == kMacosx; },
                            [this](const QList<WalkEntry> &entries, qsizetype count, int error) {
                                rootPasses(entries, count, error);
                            }};
    m_folders = std::make_shared<ScannedFolders>();

    // A root that cannot be opened leaves nothing to find.
    const QByteArray &root = m_request.root;
    int walkError = 0;
    const bool walked = VolumeWalker::walk(
        root, [this](const WalkEntry &entry) { return onEntry(entry); },
        [this](const WalkError &error) { onError(error); }, &walkError, &rootPass,
        [this](const WalkFolder &folder) { return onFolder(folder); });
    keepFolders();
    if (!walked) {
        if (!m_rootPassesRan)
            rootPasses({}, 0, walkError);
        m_scanner.cutShort(walkError, root);
    }
    leaveWholeFolder();
    if (!m_beside)   // else once the walk has met the pre-search
        m_scanner.logSummary(m_result.result());
}

// What the walk saw outside the junk goes to the scanner, the files noted
// joined piece by piece.
void VolumeScanner::Walk::keepFolders()
{
    size_t noted = 0;
    for (const std::vector<quint64> &piece : m_noted)
        noted += piece.size();
    m_folders->files.reserve(noted);
    for (std::vector<quint64> &piece : m_noted) {
        m_folders->files.insert(m_folders->files.end(), piece.begin(), piece.end());
        std::vector<quint64>().swap(piece);
    }
    m_folders->finish();
    m_scanner.m_folders = std::move(m_folders);
}

// ---- The root's own entries ----

void VolumeScanner::Walk::rootPasses(const QList<WalkEntry> &entries, qsizetype count, int error)
{
    m_rootPassesRan = true;
    if (m_wantsTemporary && error == 0)
        macosxAtRoot(entries);

    logLine(QStringLiteral("======= 开始特别检查隐藏文件和目录 ======="));
    if (error != 0) {
        logLine(QStringLiteral("特别检查时出错: ") + errorText(error));
        m_scanner.cutShort(error, m_request.root);
    } else {
        logLine(QStringLiteral("根目录共有 ") + QString::number(count) + QStringLiteral(" 个文件/目录"));
        for (const WalkEntry &entry : entries) {
            if (entry.name.startsWith('.'))
                hiddenAtRoot(entry);
        }
    }
    logLine(QStringLiteral("======= 特别检查结束 ======="));
}

// The first pass: a "__MACOSX" folder at the root is a temporary file.
void VolumeScanner::Walk::macosxAtRoot(const QList<WalkEntry> &entries)
{
    for (const WalkEntry &entry : entries) {
        if (entry.name != kMacosx || m_matcher.isKept(QFile::decodeName(entry.name)))
            continue;
        const QByteArray path = entry.path();
        logUtf8("在根目录找到__MACOSX目录: ", path);
        if (!m_result.contains(path))
            m_result.add(FileType::temporaryFiles, path, looked(entry.lstat()), 0);
    }
}

// The second pass: a hidden entry at the root, judged by its name.
void VolumeScanner::Walk::hiddenAtRoot(const WalkEntry &entry)
{
    const QByteArray path = entry.path();
    const QString name = QFile::decodeName(entry.name);
    logLine(QStringLiteral("发现隐藏项: ") + pathText(path) + QStringLiteral(", 是目录: ") + boolText(entry.isDirectory));
    const std::optional<FileType> kind =
        m_matcher.matchFile(MatchItem{name, entry.isDirectory, false}, m_request.fileTypes);
    if (!kind)
        return;
    if (isCleanMarker(entry)) {
        logLine(QStringLiteral("跳过清理留下的标记: ") + pathText(path));
        return;
    }
    logLine(QStringLiteral("隐藏项匹配垃圾文件模式: ") + name + QStringLiteral(", 类型: ") + FileTypes::rawValue(*kind));
    if (indexingDisabled(name, m_request.isFAT, m_request.root)) {
        logLine(QStringLiteral("发现 .Spotlight-V100 但索引已禁用，跳过"));
        return;
    }
    if (name == kTrashes)
        logLine(QStringLiteral("🗑️ 扫描发现 .Trashes 文件夹: ") + name + QStringLiteral(" at ") + pathText(path));
    // Looked at only when it joins the result.
    if (m_result.contains(path))
        return;
    const std::optional<pathhandles::ItemLook> look = looked(entry.lstat());
    if (!m_result.add(*kind, path, look, entry.isDirectory || !look ? 0 : look->size))
        return;
    // The pre-search may list a "._" file first: then it is not added here.
    if (m_beside && entry.name.startsWith("._"))
        m_beside->add(BesideSearch::What::rootListed, m_result.paths().add(path), 0);
    else
        logUtf8("已添加隐藏垃圾文件到结果: ", path);
}

// ---- Every entry below the root ----

WalkDecision VolumeScanner::Walk::onEntry(const WalkEntry &entry)
{
    if (m_work) {
        m_work->beat();
        if (m_work->shouldEnd())
            return WalkDecision{false, 0, true};
    }
    if (m_whole && entry.depth <= m_whole->depth())
        leaveWholeFolder();
    if (m_takenMacosxDepth > 0 && entry.depth <= m_takenMacosxDepth)
        m_takenMacosxDepth = 0;
    const bool inMacosx = entry.inheritedFlags & kInsideMacosx;
    const bool isMacosx = entry.name == kMacosx;
    const quint32 childFlags = (inMacosx || isMacosx) ? kInsideMacosx : 0;

    const NameText nameText(entry.name);
    const QStringView name = nameText.view();
    if (m_whole && m_whole->meet(entry, name, m_matcher)) {
        // Kept, and so is what it holds; outside a "__MACOSX" taken whole,
        // what lies inside is still judged by its own name.
        return WalkDecision{m_takenMacosxDepth == 0, childFlags};
    }
    if (m_takenMacosxDepth > 0)
        return WalkDecision{true, childFlags};   // goes with its "__MACOSX"

    if (m_wantsTemporary && (isMacosx || inMacosx) && !m_matcher.isKept(name)) {
        listMacosxItem(entry);
        return WalkDecision{true, childFlags};
    }
    if (entry.isRegularFile && entry.name.startsWith("._")) {
        if (m_beside) {
            holdAppleDouble(entry);
            return WalkDecision{true, childFlags};
        }
        if (judgeAppleDouble(entry, name))
            return WalkDecision{true, childFlags};
    }
    if (entry.depth == 1 && isCleanMarker(entry))
        return WalkDecision{false, childFlags};   // the root pass said so
    if (!listIfJunk(entry, name, inMacosx) && !m_whole)
        noteOutside(entry);
    // A matched folder is entered too: what lies inside is judged by its own name.
    return WalkDecision{true, childFlags};
}

// A file outside the junk, on FAT or exFAT: the clean leaves a junk folder
// whole that shows it again (FolderAliases). Its name and folder are noted,
// nothing is asked of the volume; a folder's files come together.
void VolumeScanner::Walk::noteOutside(const WalkEntry &entry)
{
    if (!m_request.isFAT || !entry.isRegularFile)
        return;
    const QByteArray &folder = *entry.parentPath;
    if (m_folders->folderCount() == 0 || folder != m_notedFolder) {
        m_notedFolder = QByteArray(folder.constData(), folder.size());   // not shared with the walk's own path
        const QByteArray &root = m_request.root;
        m_folders->addFolder(folder.size() > root.size() ? QByteArrayView(folder).sliced(root.size() + !root.endsWith('/'))
                                                         : QByteArrayView());
    }
    if (m_noted.empty() || m_noted.back().size() == m_noted.back().capacity())
        m_noted.emplace_back().reserve(kNotedPiece);
    m_noted.back().push_back(ScannedFolders::fileRef(entry.name, quint32(m_folders->folderCount() - 1)));
}

// A "__MACOSX" folder, or an entry inside one, is a temporary file; the
// folder goes whole.
void VolumeScanner::Walk::listMacosxItem(const WalkEntry &entry)
{
    const QByteArray path = entry.path();
    const PathArena::Node node = m_result.paths().add(path);
    sayListed(BesideSearch::What::macosxLine, node, path);
    m_result.add(FileType::temporaryFiles, node, looked(entry.lstat()));
    if (m_whole && entry.isRegularFile)
        m_whole->listedAlone();
    if (entry.isDirectory) {
        logUtf8("跳过__MACOSX目录的内容");
        // Entered all the same, for kept names only.
        enterWholeFolder(entry, path);
        m_takenMacosxDepth = entry.depth;
    }
}

// Beside the pre-search, a "._" file is judged where the walk meets it,
// which looks at it. Only the root pass may have listed it so far.
void VolumeScanner::Walk::holdAppleDouble(const WalkEntry &entry)
{
    // Its folder's path is the walk's own, which its entries share. Only
    // the root pass (at the root) or a folder listed whole (its pieces) may
    // list the path too: elsewhere it is met once and never asked for again.
    const QByteArray &folder = *entry.parentPath;
    PathIndex &paths = m_result.paths();
    const PathArena::Node node = folder.endsWith('/')            ? paths.add(entry.path())
                                 : entry.depth == 1 || m_whole ? paths.add(folder, entry.name)
                                                               : paths.addUnlisted(folder, entry.name);
    if (entry.parentPath->size() + 1 + entry.name.size() >= PATH_MAX) {
        if (const std::optional<pathhandles::ItemLook> look = looked(entry.lstat()))
            m_beside->deepLooks.insert(node, *look);
    }
    m_beside->add(BesideSearch::What::appleDouble, node, m_result.count(FileType::temporaryFiles),
                  entry.depth == 1 && m_result.listed(node));
    if (m_whole)
        m_whole->listedAlone();   // listed on its own at the meeting point
}

// A "._" file after the pre-search. True when that decides the entry;
// otherwise it is judged by its name like any other.
bool VolumeScanner::Walk::judgeAppleDouble(const WalkEntry &entry, QStringView name)
{
    const QByteArray path = entry.path();
    logUtf8("发现._文件: ", path);
    // What the pre-search found is not asked again; otherwise one
    // lstat through the folder's handle answers both questions.
    const std::optional<qint64> listedSize = m_result.sizeOf(path);
    const std::optional<pathhandles::ItemLook> look = listedSize ? std::nullopt : looked(entry.lstat());
    const bool exists = listedSize || look;
    logUtf8(exists ? "   ._文件是否存在: true" : "   ._文件是否存在: false");
    const qint64 size = listedSize ? *listedSize : look ? look->size : 0;
    logUtf8("   ._文件大小: " + QByteArray::number(size) + " 字节");
    logUtf8("   ._文件是否隐藏: true");   // a leading dot is what hides it
    if (!m_wantsTemporary || !exists)
        return false;
    // A kept name is never junk: the matcher would only ask again.
    if (!m_matcher.isKept(name)) {
        logUtf8("   直接添加._文件到临时文件结果中");
        if (!listedSize)
            m_result.add(FileType::temporaryFiles, path, look);
        if (m_whole)
            m_whole->listedAlone();
    }
    return true;
}

// Any other entry, judged by its name; a folder listed goes whole. False
// when it is no junk.
bool VolumeScanner::Walk::listIfJunk(const WalkEntry &entry, QStringView name, bool inMacosx)
{
    const std::optional<FileType> kind =
        m_matcher.matchFile(MatchItem{name, entry.isDirectory, inMacosx}, m_request.fileTypes);
    if (!kind)
        return false;
    const QByteArray path = entry.path();
    // Checked first: the lstat costs a system call.
    const PathArena::Node node = m_result.paths().add(path);
    if (!m_result.listed(node)) {
        sayListed(BesideSearch::What::junkLine, node, path);
        m_result.add(*kind, node, looked(entry.lstat()));
    }
    if (m_whole && entry.isRegularFile)
        m_whole->listedAlone();
    if (entry.isDirectory)
        enterWholeFolder(entry, path);
    return true;
}

// The line of an item the walk lists: beside the pre-search, a record of
// it is held in the place of its text.
void VolumeScanner::Walk::sayListed(BesideSearch::What what, PathArena::Node node, const QByteArray &path)
{
    if (m_beside)
        m_beside->add(what, node);
    else
        logUtf8(BesideSearch::lineHead(what), path);
}

void VolumeScanner::Walk::onError(const WalkError &error)
{
    if (m_whole
        && (error.depth < m_whole->depth() || (error.depth == m_whole->depth() && error.path != m_whole->path())))
        leaveWholeFolder();
    logLine(QStringLiteral("扫描错误: ") + errorText(error.errorNumber) + QStringLiteral(" 于 ") + pathText(error.path));
    if (error.errorNumber == ENOENT || error.errorNumber == ENOTDIR)
        return;   // gone meanwhile: nothing to add
    if (error.path == m_request.root) {
        m_scanner.cutShort(error.errorNumber, error.path);   // the volume itself
        return;
    }
    if (m_takenMacosxDepth > 0 && error.depth > m_takenMacosxDepth)
        return;   // goes with its "__MACOSX"
    // Inside a folder listed whole, it goes with that folder.
    const bool insideWhole = m_whole && error.depth > m_whole->depth();
    if (error.errorNumber == ELOOP) {
        // A folder met again on its own path (a damaged file system) is no
        // folder of its own: not listed, not entered, and the scan goes on.
        if (!insideWhole)
            ++m_scanner.m_problems.unreadableFolders;
        return;
    }
    // Every other failure (no permission, or a read error) is judged by the name.
    logUtf8("权限错误，尝试将该项添加到结果中: ", error.path);
    const QString name = QFile::decodeName(error.name);
    if (indexingDisabled(name, m_request.isFAT, m_request.root)) {
        logLine(QStringLiteral("发现 .Spotlight-V100 但索引已禁用，跳过"));
        return;
    }
    if (name == kTrashes)
        logLine(QStringLiteral("🗑️ 常规扫描发现 .Trashes 文件夹: ") + name + QStringLiteral(" at ") + pathText(error.path));
    const MatchItem item{name, true, insideMacosx(m_request.root, error.path)};
    const bool refused = error.errorNumber == EACCES || error.errorNumber == EPERM;
    if (const std::optional<FileType> kind = m_matcher.matchFile(item, m_request.fileTypes)) {
        if (!m_result.contains(error.path)) {
            logUtf8("将无权限访问的垃圾文件添加到结果: ", error.path);
            m_result.add(*kind, error.path, looked(error.stat));
        }
        if (refused)
            return;   // junk listed whole: nothing of it was missed
    }
    if (insideWhole)
        return;
    if (refused)
        ++m_scanner.m_problems.unreadableFolders;
    else
        m_scanner.cutShort(error.errorNumber, error.path);
}

bool VolumeScanner::Walk::onFolder(const WalkFolder &folder)
{
    if (folder.depth == 0)
        m_folders->device = quint64(folder.dev);
    if (m_whole && folder.depth >= m_whole->depth())
        return true;
    m_folders->inodes.push_back(quint64(folder.ino));
    if (folder.entries > 0)
        m_folders->listings.push_back(folder.listing);
    return true;
}

// ---- The folder of the result the walk is inside ----

// A folder the walk met that is now in the result: it goes whole.
void VolumeScanner::Walk::enterWholeFolder(const WalkEntry &entry, const QByteArray &path)
{
    if (m_whole)
        return;   // inside another: the outer one answers for both
    if (const std::optional<FileType> kind = m_result.kindOf(path))
        m_whole.emplace(path, entry.depth, *kind, m_recordWhole);
}

// The walk left it: it goes whole with the size of what it holds, or, when
// it holds a kept name, in the pieces around that.
void VolumeScanner::Walk::leaveWholeFolder()
{
    if (!m_whole)
        return;
    WholeFolder folder = std::move(*m_whole);
    m_whole.reset();
    if (!folder.holdsKept()) {
        m_result.setSize(folder.path(), folder.bytes());
        return;
    }
    logLine(QStringLiteral("目录中有保留项，不整体删除，逐项添加其余内容: ") + pathText(folder.path()));
    if (!folder.recording())
        folder = lookAgain(folder, m_result.lookOf(folder.path()), m_matcher, m_work);
    const std::vector<WholeFolder::Entry> &entries = folder.entries();
    QSet<QByteArray> holding{folder.path()};
    for (const WholeFolder::Entry &entry : entries) {
        if (entry.holdsKept)
            holding.insert(entry.path);
    }
    if (m_beside)
        m_beside->beforeRemove(temporaryIndexesOf(holding));
    m_result.remove(holding);
    for (const WholeFolder::Entry &entry : entries) {
        if (!entry.holdsKept)
            m_result.add(folder.kind(), entry.path, entry.look, entry.bytes);
    }
}

// Where the paths stand among the result's temporary files, in order.
std::vector<qsizetype> VolumeScanner::Walk::temporaryIndexesOf(const QSet<QByteArray> &paths) const
{
    QSet<PathArena::Node> nodes;
    for (const QByteArray &path : paths) {
        if (const std::optional<PathArena::Node> node = m_result.paths().find(path))
            nodes.insert(*node);
    }
    std::vector<qsizetype> indexes;
    qsizetype index = 0;
    m_result.forEachFrom(FileType::temporaryFiles, 0, [&](const FileItem &item) {
        if (nodes.contains(item.node()))
            indexes.push_back(index);
        ++index;
    });
    return indexes;
}
