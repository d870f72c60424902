#include "cleaning/VolumeScanner.h"

#include "cleaning/PathArena.h"
#include "cleaning/PathHandles.h"
#include "cleaning/VolumeWalker.h"
#include "cleaning/VolumeWork.h"
#include "localization/ByteCountFormat.h"
#include "platform/Log.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <climits>
#include <atomic>
#include <deque>
#include <limits>
#include <cerrno>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

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

// A look at an item, when there was one.
std::optional<pathhandles::ItemLook> looked(const std::optional<struct stat> &st)
{
    return st ? std::optional(pathhandles::lookOf(*st)) : std::nullopt;
}

} // namespace

// The result of one scan, with the paths it already holds: a path is never
// listed twice, whichever pass meets it again. The paths live in one arena
// the items share; which kind lists a path, and where, is kept by the
// path's node, so a path asked again is found without a second copy of it.
//
// Two builders may fill one index, each from its own thread (the walk's
// result beside the pre-search's): then an item of one is an item of the
// other's arena too, and moves over as it is (adopt). While both run, paths
// are read through the index (pathOf), never through the items.
class VolumeScanner::ResultBuilder
{
public:
    // `root`: the volume's, which every path found shares. `shared`: the
    // index of the builder whose arena this one fills too; none for its own.
    ResultBuilder(const QByteArray &root, const ScanResult &initial, PathIndex *shared = nullptr)
    {
        if (!shared)
            m_own.emplace();
        m_paths = shared ? shared : &*m_own;
        m_paths->add(root);
        for (auto it = initial.cbegin(); it != initial.cend(); ++it) {
            for (const FileItem &item : it.value()) {
                const PathArena::Node node = m_paths->add(item.fsPath());
                if (!listed(node))
                    append(it.key(), node, item.rehomed(m_paths->arena(), node));
            }
        }
    }
    ResultBuilder(const ResultBuilder &) = delete;
    ResultBuilder &operator=(const ResultBuilder &) = delete;

    bool contains(QByteArrayView path) const { return itemOf(path) != nullptr; }

    // The kind the path is listed under, if it is.
    std::optional<FileType> kindOf(QByteArrayView path) const
    {
        const std::optional<PathArena::Node> node = m_paths->find(path);
        return node && listed(*node) ? std::optional(kindAt(*node)) : std::nullopt;
    }

    // What the scan saw of a listed path.
    std::optional<pathhandles::ItemLook> lookOf(QByteArrayView path) const
    {
        const FileItem *item = itemOf(path);
        if (!item || !item->hasIdentity())
            return std::nullopt;
        return pathhandles::ItemLook{item->kind, item->device, item->inode, item->size};
    }

    // The size the path is listed with, if it is.
    std::optional<qint64> sizeOf(QByteArrayView path) const
    {
        const FileItem *item = itemOf(path);
        return item ? std::optional(item->size) : std::nullopt;
    }
    std::optional<qint64> sizeAt(PathArena::Node node) const
    {
        return listed(node) ? std::optional(itemAt(node).size) : std::nullopt;
    }
    bool listed(PathArena::Node node) const { return node < quint32(m_where.size()) && m_where[node] != 0; }

    // Adds the item with its identity (from `look`, an lstat of it; an item
    // that could not be examined has none, and a clean refuses it). `size`
    // overrides the looked-at size. False when the path is already in the result.
    bool add(FileType type, QByteArrayView path, const std::optional<pathhandles::ItemLook> &look,
             std::optional<qint64> size = std::nullopt)
    {
        return add(type, m_paths->add(path), look, size);
    }
    bool add(FileType type, PathArena::Node node, const std::optional<pathhandles::ItemLook> &look,
             std::optional<qint64> size = std::nullopt)
    {
        if (listed(node))
            return false;
        // A folder's size is what it holds (setSize), never its own entry's.
        FileItem item(m_paths->arena(), node, size.value_or(look && look->kind != ItemKind::folder ? look->size : 0));
        if (look)
            pathhandles::recordIdentity(item, *look);
        append(type, node, std::move(item));
        return true;
    }

    // A listed folder's size: the files it holds, as the walk counted them.
    void setSize(QByteArrayView path, qint64 bytes)
    {
        const std::optional<PathArena::Node> node = m_paths->find(path);
        if (node && listed(*node))
            m_result[kindAt(*node)][m_where[*node] & kIndexMask].size = bytes;
    }

    // Adds an item of a builder that shares this one's index, as it is,
    // unless its path is in the result already (false then).
    bool adopt(FileType type, FileItem item)
    {
        const PathArena::Node node = item.node();
        if (listed(node))
            return false;
        append(type, node, std::move(item));
        return true;
    }

    // Takes the paths out of the result (those it does not hold are ignored).
    void remove(const QSet<QByteArray> &paths)
    {
        QSet<FileType> kinds;
        QSet<PathArena::Node> nodes;
        for (const QByteArray &path : paths) {
            const std::optional<PathArena::Node> node = m_paths->find(path);
            if (node && listed(*node)) {
                kinds.insert(kindAt(*node));
                nodes.insert(*node);
                m_where[*node] = 0;
            }
        }
        for (FileType type : std::as_const(kinds)) {
            QList<FileItem> &items = m_result[type];
            items.removeIf([&](const FileItem &item) { return nodes.contains(item.node()); });
            if (items.isEmpty()) {
                m_result.remove(type);
                continue;
            }
            for (qsizetype i = 0; i < items.size(); ++i)
                m_where[items[i].node()] = where(type, i);
        }
    }

    // How many items the kind lists.
    qsizetype count(FileType type) const { return m_result.value(type).size(); }
    // Calls `f` with each item of the kind from index `from` on, in order.
    template <typename F>
    void forEachFrom(FileType type, qsizetype from, F f) const
    {
        const auto it = m_result.constFind(type);
        if (it == m_result.cend())
            return;
        for (qsizetype i = from; i < it->size(); ++i)
            f(it->at(i));
    }

    // Where the result holds its paths: a path held there before it is
    // listed costs nothing more when it is.
    PathIndex &paths() { return *m_paths; }
    QByteArray pathOf(const FileItem &item) const { return m_paths->path(item.node()); }

    // Moves in the items of a builder that shares this one's index, as a
    // kind this one does not list yet; none of their paths may be listed.
    void adoptAll(FileType type, QList<FileItem> items)
    {
        Q_ASSERT(count(type) == 0);
        for (qsizetype i = 0; i < items.size(); ++i) {
            const PathArena::Node node = items[i].node();
            if (m_where.size() <= qsizetype(node))
                m_where.resize(std::max<qsizetype>(node + 1, m_paths->segmentCount()), 0);
            m_where[node] = where(type, i);
        }
        m_result[type] = std::move(items);
    }

    const ScanResult &result() const { return m_result; }
    // The items; the builder lists nothing more.
    ScanResult take()
    {
        m_where = QList<quint32>();
        return std::move(m_result);
    }

private:
    // A node's place in the result: its kind (plus one; 0: not listed) in
    // the high bits, its index among that kind's items below.
    static constexpr int kIndexBits = 28;
    static constexpr quint32 kIndexMask = (1u << kIndexBits) - 1;
    static quint32 where(FileType type, qsizetype index)
    {
        return (quint32(type) + 1) << kIndexBits | quint32(index);
    }

    FileType kindAt(PathArena::Node node) const { return FileType((m_where[node] >> kIndexBits) - 1); }

    const FileItem *itemOf(QByteArrayView path) const
    {
        const std::optional<PathArena::Node> node = m_paths->find(path);
        return node && listed(*node) ? &itemAt(*node) : nullptr;
    }
    const FileItem &itemAt(PathArena::Node node) const
    {
        return m_result.constFind(kindAt(node)).value().at(m_where[node] & kIndexMask);
    }

    void append(FileType type, PathArena::Node node, FileItem item)
    {
        QList<FileItem> &items = m_result[type];
        if (m_where.size() <= qsizetype(node))
            m_where.resize(std::max<qsizetype>(node + 1, m_paths->segmentCount()), 0);
        m_where[node] = where(type, items.size());
        items.append(std::move(item));
    }

    std::optional<PathIndex> m_own;
    PathIndex *m_paths = nullptr;
    ScanResult m_result;
    QList<quint32> m_where;   // by node
};

namespace {

// A folder of the result, deleted whole with all it holds, while the walk is
// inside it. Should a kept name lie anywhere below, the folder must not go
// whole: then what it holds is listed instead, in the largest pieces that
// hold nothing kept, and the kept entries and the folders on the way to them
// stay. While `recording`, the entries below are noted as they come (the
// folders' handles are at hand for their lstat); what a folder held is
// forgotten when the walk leaves it holding nothing kept, since it goes whole.
//
// What it holds is counted as it comes: the sizes of the regular files below
// (those listed on their own aside, which count for themselves), the size of
// the folder's item, and of each folder among the pieces.
class WholeFolder
{
public:
    struct Entry
    {
        QByteArray path;
        bool isDirectory = false;
        bool holdsKept = false;
        std::optional<pathhandles::ItemLook> look;
        qint64 bytes = 0;   // a file's size; a folder's files, once the walk left it
    };

    WholeFolder(QByteArray path, int depth, FileType kind, bool recording)
        : m_path(std::move(path)), m_depth(depth), m_kind(kind), m_recording(recording)
    {
    }

    const QByteArray &path() const { return m_path; }
    int depth() const { return m_depth; }
    FileType kind() const { return m_kind; }
    bool recording() const { return m_recording; }
    bool holdsKept() const { return m_holdsKept; }
    // The sizes of the regular files below it that go with it.
    qint64 bytes() const { return m_bytes; }

    // An entry below the folder, in the walk's order (a folder before what it
    // holds). True when its name is kept: nothing below a kept folder counts.
    bool meet(const WalkEntry &entry, QStringView name, const FileMatcher &matcher)
    {
        if (m_keptFolderDepth > 0) {
            if (entry.depth > m_keptFolderDepth)
                return false;
            m_keptFolderDepth = 0;
        }
        while (!m_openFolders.empty() && m_openFolders.back().depth >= entry.depth)
            leaveFolder();
        if (matcher.isKept(name)) {
            m_holdsKept = true;
            // The folders the walk is in hold it (their own ancestors already do
            // when one of them does).
            for (auto it = m_openFolders.rbegin(); it != m_openFolders.rend(); ++it) {
                Entry &folder = m_entries[it->index];
                if (folder.holdsKept)
                    break;
                folder.holdsKept = true;
            }
            if (entry.isDirectory)
                m_keptFolderDepth = entry.depth;
            return true;
        }
        std::optional<struct stat> st;
        if (entry.isRegularFile || m_recording)
            st = entry.lstat();
        const qint64 size = entry.isRegularFile && st && S_ISREG(st->st_mode) ? qint64(st->st_size) : 0;
        m_bytes += size;
        m_lastSize = size;
        if (m_recording) {
            m_entries.push_back(Entry{entry.path(), entry.isDirectory, false, looked(st), size});
            if (entry.isDirectory)
                m_openFolders.push_back(OpenFolder{entry.depth, m_entries.size() - 1});
        }
        return false;
    }

    // The entry met last is listed on its own: its size counts for itself.
    void listedAlone()
    {
        m_bytes -= m_lastSize;
        if (m_recording && !m_entries.empty() && !m_entries.back().isDirectory)
            m_entries.back().bytes = 0;
        m_lastSize = 0;
    }

    // After the walk left the folder: what stays of the record, the folders
    // holding kept entries and the kept-free items directly in them.
    const std::vector<Entry> &entries()
    {
        while (!m_openFolders.empty())
            leaveFolder();
        return m_entries;
    }

private:
    struct OpenFolder
    {
        int depth;
        size_t index;
    };

    void leaveFolder()
    {
        const size_t index = m_openFolders.back().index;
        m_openFolders.pop_back();
        if (m_entries[index].holdsKept)
            return;
        // What it held goes with it: its files, and its folders' files.
        for (size_t k = index + 1; k < m_entries.size(); ++k)
            m_entries[index].bytes += m_entries[k].bytes;
        m_entries.resize(index + 1);
    }

    QByteArray m_path;
    int m_depth;
    FileType m_kind;
    bool m_recording;
    bool m_holdsKept = false;
    qint64 m_bytes = 0;
    qint64 m_lastSize = 0;
    std::vector<Entry> m_entries;
    std::vector<OpenFolder> m_openFolders;
    int m_keptFolderDepth = 0;   // inside a kept folder at this depth (0: not)
};

// The folder looked at a second time, recording: for a folder found holding a
// kept name while the walk did not record (nothing was excluded, so only the
// protected name is kept). Nothing when it is no longer the folder scanned
// (`scanned`, what the scan listed it as).
WholeFolder lookAgain(const WholeFolder &folder, const std::optional<pathhandles::ItemLook> &scanned,
                      const FileMatcher &matcher, VolumeWork *work)
{
    WholeFolder again(folder.path(), 0, folder.kind(), true);
    std::optional<bool> same;
    VolumeWalker::walk(
        folder.path(),
        [&](const WalkEntry &entry) {
            if (work)
                work->beat();
            if (!same) {   // the first entry lies in the folder itself
                struct stat st;
                same = scanned && ::fstat(entry.parentFd, &st) == 0 && quint64(st.st_dev) == scanned->device
                    && quint64(st.st_ino) == scanned->inode;
            }
            if (!*same)
                return WalkDecision{false, 0};
            return WalkDecision{!again.meet(entry, QFile::decodeName(entry.name), matcher), 0};
        },
        [](const WalkError &) {});
    if (same && *same)
        return again;
    return WholeFolder(folder.path(), 0, folder.kind(), true);
}

// An entry's name as the matcher reads it: while it is ASCII (nearly every
// name), widened into a buffer of its own, as decoding would give it but
// without allocating; decoded otherwise.
class NameText
{
public:
    explicit NameText(QByteArrayView bytes)
    {
        const bool ascii = bytes.size() <= kLongest
                           && std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) < 0x80; });
        if (ascii) {
            std::copy(bytes.cbegin(), bytes.cend(), m_buffer);
            m_view = QStringView(m_buffer, bytes.size());
        } else {
            m_decoded = QFile::decodeName(bytes.toByteArray());
            m_view = m_decoded;
        }
    }
    NameText(const NameText &) = delete;
    NameText &operator=(const NameText &) = delete;

    QStringView view() const { return m_view; }

private:
    static constexpr qsizetype kLongest = 255;   // NAME_MAX
    char16_t m_buffer[kLongest];
    QString m_decoded;
    QStringView m_view;
};

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

// The walk's part while the pre-search runs beside it. What the walk decides
// alone goes into a result of its own; what depends on the pre-search's hits
// (only "._" files are among them) waits here for the meeting point: the
// "._" files the walk met (not looked at: the pre-search looks at its hits,
// the meeting point at the rest) and the root pass's line for a "._" file it
// listed. The walk's lines are held meanwhile, since the pre-search's come
// first; the lines of a waiting item are written at the meeting point, in
// their place. So is the line of each item the walk lists: it is held as a
// record of its path's node (the path is in the shared index anyway) and
// made at the meeting point; only the walk's other lines are held as text.
class VolumeScanner::BesideSearch
{
public:
    enum class What : quint8 {
        appleDouble,   // a "._" file the walk met
        rootListed,    // the root pass listed a "._" file: its line, unless the pre-search had it
        junkLine,      // the walk listed junk: "发现垃圾文件: <path>"
        macosxLine,    // the walk listed a "__MACOSX" item: "发现__MACOSX相关项: <path>"
    };
    // The head of a line held by What (junkLine, macosxLine).
    static const char *lineHead(What what)
    {
        return what == What::junkLine ? "发现垃圾文件: " : "发现__MACOSX相关项: ";
    }

    struct Event
    {
        quint32 textBefore;    // held text since the event before (whole lines of the walk's own)
        PathArena::Node node;  // its path, in the index both results share
        quint32 position;      // appleDouble: where a new temporary file would go among the walk's
        What what;
        bool listedByWalk;     // appleDouble: the walk's result held the path already (the root pass's)
    };

    LogCapture capture;   // opened on the walk's thread
    // The walk's looks at "._" files whose paths are too long to be looked
    // up again by path at the meeting point (the pre-search's look failed too).
    QHash<PathArena::Node, pathhandles::ItemLook> deepLooks;

    void add(What what, PathArena::Node node, qsizetype position = 0, bool listedByWalk = false)
    {
        const qsizetype offset = capture.size();
        // The walk's own text between two items is a few lines.
        m_events.push_back(Event{quint32(offset - m_lastOffset), node, quint32(position), what, listedByWalk});
        m_lastOffset = offset;
    }

    // The walk's result is about to lose the items at `removed` (indexes
    // among its temporary files): the places noted move up past each one
    // removed before them.
    void beforeRemove(const std::vector<qsizetype> &removed)
    {
        for (Event &event : m_events) {
            const auto before = std::lower_bound(removed.cbegin(), removed.cend(), qsizetype(event.position));
            event.position -= quint32(before - removed.cbegin());
        }
    }

    const std::deque<Event> &events() const { return m_events; }

    // Set by the pre-search's thread when it ends.
    std::atomic<bool> preSearchStopped{false};

private:
    std::deque<Event> m_events;   // grows block by block, never copied
    qsizetype m_lastOffset = 0;
};

namespace {

// Looks (lstat) at items folder by folder, through one handle on each.
class FolderLooks
{
public:
    std::optional<pathhandles::ItemLook> look(const QByteArray &path)
    {
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArrayView folder = QByteArrayView(path).first(std::max<qsizetype>(slash, 1));
        if (!m_opened || folder != QByteArrayView(m_folder)) {
            m_opened = true;
            m_folder = folder.toByteArray();
            m_fd.reset(::open(m_folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        struct stat st;
        if (m_fd.get() < 0 || ::fstatat(m_fd.get(), path.constData() + slash + 1, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return std::nullopt;
        return pathhandles::lookOf(st);
    }

private:
    QByteArray m_folder;
    pathhandles::Handle m_fd;
    bool m_opened = false;
};

} // namespace

VolumeScanner::VolumeScanner(Request request)
    : m_request(std::move(request))
    , m_matcher(FileTypes::junkFilePatterns(), m_request.fileTypes, m_request.customExtensions,
                m_request.excludedPatterns)
{
    m_request.root = pathhandles::withoutTrailingSlashes(m_request.root);
    m_request.tools.work = m_request.work.get();
}

VolumeScanner::~VolumeScanner() = default;

ScanOutcome VolumeScanner::outcome(ScanResult found) const
{
    ScanOutcome outcome(std::move(found));
    outcome.folders = m_folders;
    outcome.unreadableFolders = m_problems.unreadableFolders;
    if (m_problems.error != 0) {
        outcome.end = ScanOutcome::End::cutShort;
        outcome.error = m_problems.error;
        outcome.errorPath = m_problems.errorPath;
    }
    if (m_request.work && m_request.work->shouldEnd())
        outcome.end = ScanOutcome::End::stopped;
    return outcome;
}

void VolumeScanner::cutShort(int error, const QByteArray &path)
{
    if (m_problems.error != 0)
        return;   // the first one says where
    m_problems.error = error;
    m_problems.errorPath = path;
}

bool VolumeScanner::canScan(const QByteArray &root, int *error)
{
    // The first entries tell: the walk reads the rest (and says when it cannot).
    return VolumeWalker::canList(root, error);
}

ScanResult VolumeScanner::run()
{
    ResultBuilder result(m_request.root, {});
    if (!m_request.fileTypes.contains(FileType::temporaryFiles)) {
        walkInto(result);
        return result.take();
    }
    // The pre-search (a child process, mostly) runs beside the walk; they
    // meet once both are done, and give what one after the other would have.
    // The walk's result fills the same arena, so its items move over as they are.
    ResultBuilder walked(m_request.root, {}, &result.paths());
    BesideSearch beside;
    {
        VolumeWork *work = m_request.work.get();
        std::jthread preSearch([&] {
            preSearchInto(result);
            beside.preSearchStopped = work && work->shouldEnd();
        });
        walkInto(walked, &beside);
    }
    meet(result, walked, beside);
    return result.take();
}

void VolumeScanner::meet(ResultBuilder &result, ResultBuilder &walked, BesideSearch &beside)
{
    const QByteArray held = beside.capture.finish();
    // Stopped while the pre-search ran: the walk would not have begun.
    if (beside.preSearchStopped)
        return;
    const LogStep step;

    // The "._" files the walk met, in its order, as the walk would have
    // judged them after the pre-search; the new ones wait for their place.
    struct Added
    {
        FileType kind;
        PathArena::Node node;
        std::optional<pathhandles::ItemLook> look;
        qsizetype position;
    };
    std::vector<Added> added;
    QSet<PathArena::Node> addedPaths;
    FolderLooks looks;
    VolumeWork *work = m_request.work.get();
    qsizetype written = 0;
    qsizetype offset = 0;
    // The lines of the items the walk met, gathered and written together.
    QByteArray lines;
    const auto writeLines = [&] {
        logCaptured(lines);
        lines.resize(0);
    };
    for (const BesideSearch::Event &event : beside.events()) {
        offset += event.textBefore;
        if (offset > written) {
            writeLines();
            logCaptured(QByteArrayView(held).sliced(written, offset - written));
            written = offset;
        }
        const QByteArray path = result.paths().path(event.node);
        if (event.what == BesideSearch::What::junkLine || event.what == BesideSearch::What::macosxLine) {
            appendLogLine(lines, BesideSearch::lineHead(event.what), path);
            if (lines.size() >= 64 * 1024)
                writeLines();
            continue;
        }
        if (event.what == BesideSearch::What::rootListed) {
            if (!result.listed(event.node))
                appendLogLine(lines, "已添加隐藏垃圾文件到结果: ", path);
            continue;
        }
        if (lines.size() >= 64 * 1024)
            writeLines();
        appendLogLine(lines, "发现._文件: ", path);
        std::optional<qint64> listedSize = result.sizeAt(event.node);
        if (!listedSize && event.listedByWalk)
            listedSize = walked.sizeAt(event.node);
        std::optional<pathhandles::ItemLook> look;
        if (!listedSize) {
            const auto deep = beside.deepLooks.constFind(event.node);
            look = deep != beside.deepLooks.cend() ? std::optional(*deep) : looks.look(path);
            if (work)
                work->beat();
        }
        const bool exists = listedSize || look;
        const qint64 size = listedSize ? *listedSize : look ? look->size : 0;
        lines.append(exists ? "   ._文件是否存在: true\n" : "   ._文件是否存在: false\n");
        lines.append("   ._文件大小: ").append(QByteArray::number(size)).append(" 字节\n");
        lines.append("   ._文件是否隐藏: true\n");
        const NameText name(QByteArrayView(path).sliced(path.lastIndexOf('/') + 1));
        // The matcher may print (an exclusion): what is gathered goes first.
        if (m_matcher.hasExclusions())
            writeLines();
        if (exists) {
            if (!m_matcher.isKept(name.view())) {
                lines.append("   直接添加._文件到临时文件结果中\n");
                if (!listedSize && !addedPaths.contains(event.node)) {
                    added.push_back(Added{FileType::temporaryFiles, event.node, look, event.position});
                    addedPaths.insert(event.node);
                }
            }
            continue;
        }
        // Gone before it could be looked at: judged by its name, as the walk does.
        writeLines();
        if (const std::optional<FileType> kind =
                m_matcher.matchFile(MatchItem{name.view(), false, false}, m_request.fileTypes)) {
            if (!addedPaths.contains(event.node)) {
                appendLogLine(lines, "发现垃圾文件: ", path);
                added.push_back(Added{*kind, event.node, std::nullopt, event.position});
                addedPaths.insert(event.node);
            }
        }
    }
    writeLines();
    logCaptured(QByteArrayView(held).sliced(written));

    // The walk's items after the pre-search's, each kind in the walk's order;
    // one the walk listed after a "._" file it met already went with that file.
    ScanResult walkedItems = walked.take();
    QList<FileType> kinds = walkedItems.keys();
    for (const Added &item : added) {
        if (!kinds.contains(item.kind))
            kinds.append(item.kind);
    }
    for (FileType kind : std::as_const(kinds)) {
        QList<FileItem> items = walkedItems.take(kind);
        const bool alone = result.count(kind) == 0
                           && std::none_of(added.cbegin(), added.cend(), [&](const Added &a) { return a.kind == kind; })
                           && std::none_of(items.cbegin(), items.cend(), [&](const FileItem &item) {
                                  return result.listed(item.node()) || addedPaths.contains(item.node());
                              });
        if (alone) {
            result.adoptAll(kind, std::move(items));   // nothing copied
            continue;
        }
        auto next = added.cbegin();
        const auto addWaiting = [&](qsizetype upTo) {
            for (; next != added.cend() && (next->kind != kind || next->position <= upTo); ++next) {
                if (next->kind == kind)
                    result.add(kind, next->node, next->look);
            }
        };
        for (qsizetype i = 0; i < items.size(); ++i) {
            addWaiting(i);
            FileItem &item = items[i];
            if (addedPaths.isEmpty() || !addedPaths.contains(item.node()))
                result.adopt(kind, std::move(item));
        }
        addWaiting(std::numeric_limits<qsizetype>::max());
    }
    logSummary(result.result());
}

void VolumeScanner::logSummary(const ScanResult &result)
{
    logLine(QStringLiteral("扫描完成，找到以下垃圾文件:"));
    for (auto it = result.cbegin(); it != result.cend(); ++it) {
        const qint64 total = totalSize(it.value());
        logLine(FileTypes::displayName(it.key()) + QStringLiteral(": ") + QString::number(it.value().size())
                + QStringLiteral("个文件，总计") + formatByteCount(total));
    }
}

void VolumeScanner::preSearch(ScanResult &found)
{
    ResultBuilder result(m_request.root, found);
    found = {};
    preSearchInto(result);
    found = result.take();
}

ScanResult VolumeScanner::walk(ScanResult initial)
{
    ResultBuilder result(m_request.root, initial);
    initial = {};
    walkInto(result);
    return result.take();
}

void VolumeScanner::preSearchInto(ResultBuilder &result)
{
    const LogStep step;   // its lines go out in bursts
    const QByteArray &root = m_request.root;
    logLine(QStringLiteral("使用系统find命令查找._文件..."));
    // A hit is junk unless the user excluded its name (or it is a name never
    // deleted): the search itself knows nothing of exclusions. The hits join
    // the result as they come, so nothing else holds them; they are said to
    // have joined once the search has said how many it found.
    const qsizetype before = result.count(FileType::temporaryFiles);
    const auto addHit = [&](QByteArrayView hit, const pathhandles::ItemLook &look) {
        if (!m_matcher.isKept(NameText(hit.sliced(hit.lastIndexOf('/') + 1)).view()))
            result.add(FileType::temporaryFiles, hit, look);
    };
    const qsizetype hits = AppleDoubleSearch::findAppleDoubleFiles(root, m_request.tools, addHit, &result.paths());
    logLine(QStringLiteral("通过find命令找到 ") + QString::number(hits) + QStringLiteral(" 个._文件"));
    // Gathered: the matcher has said what it had to.
    QByteArray added;
    result.forEachFrom(FileType::temporaryFiles, before, [&](const FileItem &item) {
        appendLogLine(added, "添加._文件到结果: ", result.pathOf(item));
        if (added.size() >= 64 * 1024) {
            logCaptured(added);
            added.resize(0);
        }
    });
    logCaptured(added);

    const auto addHits = [&](const QList<QByteArray> &paths, const QList<pathhandles::ItemLook> &looksOfPaths,
                             const char *logPrefix) {
        // Their lines go out together, unless the matcher may print between them.
        const bool gather = !m_matcher.hasExclusions();
        QByteArray lines;
        for (qsizetype i = 0; i < paths.size(); ++i) {
            const QByteArray &hit = paths[i];
            if (m_matcher.isKept(NameText(QByteArrayView(hit).sliced(hit.lastIndexOf('/') + 1)).view()))
                continue;
            if (!result.add(FileType::temporaryFiles, hit, looksOfPaths[i]))
                continue;
            if (!gather) {
                logUtf8(logPrefix, hit);
                continue;
            }
            appendLogLine(lines, logPrefix, hit);
            if (lines.size() >= 64 * 1024) {
                logCaptured(lines);
                lines.resize(0);
            }
        }
        logCaptured(lines);
    };
    // What find missed at the root of a FAT or exFAT volume joins in.
    if (m_request.isFAT) {
        QList<pathhandles::ItemLook> rootLooks;
        const QList<QByteArray> rootHits = AppleDoubleSearch::findAppleDoubleFilesWithLs(
            root, m_request.tools, &rootLooks, [&](const QByteArray &path) { return result.contains(path); });
        addHits(rootHits, rootLooks, "添加额外发现的._文件到结果: ");
    }
}

void VolumeScanner::walkInto(ResultBuilder &result, BesideSearch *beside)
{
    const LogStep step;   // its lines go out in bursts
    const QByteArray &rootBytes = m_request.root;
    const FileTypeSet &types = m_request.fileTypes;
    const bool wantsTemporary = types.contains(FileType::temporaryFiles);
    const bool isFAT = m_request.isFAT;
    const FileMatcher &matcher = m_matcher;

    logLine(QStringLiteral("扫描文件使用选项: ") + QStringLiteral("skipsPackageDescendants")
            + QStringLiteral("，注意：默认应包含隐藏文件"));
    logLine(QStringLiteral("开始扫描以估算文件数量..."));

    // The two passes over the root's own entries (only hidden ones and
    // "__MACOSX" matter to them), on the walk's one reading of the root.
    bool rootPassesRan = false;
    const auto rootPasses = [&](const QList<WalkEntry> &entries, qsizetype count, int error) {
        rootPassesRan = true;
        if (wantsTemporary && error == 0) {
            for (const WalkEntry &entry : entries) {
                if (entry.name != kMacosx || matcher.isKept(QFile::decodeName(entry.name)))
                    continue;
                const QByteArray path = entry.path();
                logUtf8("在根目录找到__MACOSX目录: ", path);
                if (!result.contains(path))
                    result.add(FileType::temporaryFiles, path, looked(entry.lstat()), 0);
            }
        }

        logLine(QStringLiteral("======= 开始特别检查隐藏文件和目录 ======="));
        if (error != 0) {
            logLine(QStringLiteral("特别检查时出错: ") + errorText(error));
            cutShort(error, rootBytes);
        } else {
            logLine(QStringLiteral("根目录共有 ") + QString::number(count) + QStringLiteral(" 个文件/目录"));
            for (const WalkEntry &entry : entries) {
                if (!entry.name.startsWith('.'))
                    continue;
                const QByteArray path = entry.path();
                const QString name = QFile::decodeName(entry.name);
                logLine(QStringLiteral("发现隐藏项: ") + pathText(path) + QStringLiteral(", 是目录: ") + boolText(entry.isDirectory));
                const std::optional<FileType> kind = matcher.matchFile(MatchItem{name, entry.isDirectory, false}, types);
                if (!kind)
                    continue;
                if (isCleanMarker(entry)) {
                    logLine(QStringLiteral("跳过清理留下的标记: ") + pathText(path));
                    continue;
                }
                logLine(QStringLiteral("隐藏项匹配垃圾文件模式: ") + name + QStringLiteral(", 类型: ") + FileTypes::rawValue(*kind));
                if (indexingDisabled(name, isFAT, rootBytes)) {
                    logLine(QStringLiteral("发现 .Spotlight-V100 但索引已禁用，跳过"));
                    continue;
                }
                if (name == kTrashes)
                    logLine(QStringLiteral("🗑️ 扫描发现 .Trashes 文件夹: ") + name + QStringLiteral(" at ") + pathText(path));
                // Looked at only when it joins the result.
                if (!result.contains(path)) {
                    const std::optional<pathhandles::ItemLook> look = looked(entry.lstat());
                    if (result.add(*kind, path, look, entry.isDirectory || !look ? 0 : look->size)) {
                        // The pre-search may list a "._" file first: then it is not added here.
                        if (beside && entry.name.startsWith("._"))
                            beside->add(BesideSearch::What::rootListed, result.paths().add(path), 0);
                        else
                            logUtf8("已添加隐藏垃圾文件到结果: ", path);
                    }
                }
            }
        }
        logLine(QStringLiteral("======= 特别检查结束 ======="));
    };
    const RootPass rootPass{[](QByteArrayView name) { return name.startsWith('.') || name == kMacosx; }, rootPasses};

    // The outermost folder of the result the walk is inside, and the depth of
    // a "__MACOSX" taken whole, whose contents are not judged on their own
    // (0: none). Entries below a whole folder are noted only while something
    // is excluded; otherwise the protected name alone is kept, and a folder
    // holding it is looked at again.
    std::optional<WholeFolder> whole;
    int takenMacosxDepth = 0;
    const bool recordWhole = matcher.hasExclusions();

    const auto leaveWholeFolder = [&] {
        if (!whole)
            return;
        WholeFolder folder = std::move(*whole);
        whole.reset();
        if (!folder.holdsKept()) {
            result.setSize(folder.path(), folder.bytes());
            return;
        }
        logLine(QStringLiteral("目录中有保留项，不整体删除，逐项添加其余内容: ") + pathText(folder.path()));
        if (!folder.recording())
            folder = lookAgain(folder, result.lookOf(folder.path()), matcher, m_request.work.get());
        const std::vector<WholeFolder::Entry> &entries = folder.entries();
        QSet<QByteArray> holding{folder.path()};
        for (const WholeFolder::Entry &entry : entries) {
            if (entry.holdsKept)
                holding.insert(entry.path);
        }
        if (beside) {
            QSet<PathArena::Node> nodes;
            for (const QByteArray &path : std::as_const(holding)) {
                if (const std::optional<PathArena::Node> node = result.paths().find(path))
                    nodes.insert(*node);
            }
            std::vector<qsizetype> removed;
            qsizetype index = 0;
            result.forEachFrom(FileType::temporaryFiles, 0, [&](const FileItem &item) {
                if (nodes.contains(item.node()))
                    removed.push_back(index);
                ++index;
            });
            beside->beforeRemove(removed);
        }
        result.remove(holding);
        for (const WholeFolder::Entry &entry : entries) {
            if (!entry.holdsKept)
                result.add(folder.kind(), entry.path, entry.look, entry.bytes);
        }
    };

    // A folder the walk met that is now in the result: it goes whole.
    const auto enterWholeFolder = [&](const WalkEntry &entry, const QByteArray &path) {
        if (whole)
            return;   // inside another: the outer one answers for both
        if (const std::optional<FileType> kind = result.kindOf(path))
            whole.emplace(path, entry.depth, *kind, recordWhole);
    };

    // The line of an item the walk lists: beside the pre-search, a record of
    // it is held in the place of its text.
    const auto sayListed = [&](BesideSearch::What what, PathArena::Node node, const QByteArray &path) {
        if (beside)
            beside->add(what, node);
        else
            logUtf8(BesideSearch::lineHead(what), path);
    };

    VolumeWork *work = m_request.work.get();
    const auto onEntry = [&](const WalkEntry &entry) -> WalkDecision {
        if (work) {
            work->beat();
            if (work->shouldEnd())
                return WalkDecision{false, 0, true};
        }
        if (whole && entry.depth <= whole->depth())
            leaveWholeFolder();
        if (takenMacosxDepth > 0 && entry.depth <= takenMacosxDepth)
            takenMacosxDepth = 0;
        const bool inMacosx = entry.inheritedFlags & kInsideMacosx;
        const bool isMacosx = entry.name == kMacosx;
        const quint32 childFlags = (inMacosx || isMacosx) ? kInsideMacosx : 0;

        const NameText nameText(entry.name);
        const QStringView name = nameText.view();
        if (whole && whole->meet(entry, name, matcher)) {
            // Kept, and so is what it holds; outside a "__MACOSX" taken whole,
            // what lies inside is still judged by its own name.
            return WalkDecision{takenMacosxDepth == 0, childFlags};
        }
        if (takenMacosxDepth > 0)
            return WalkDecision{true, childFlags};   // goes with its "__MACOSX"

        if (wantsTemporary && (isMacosx || inMacosx) && !matcher.isKept(name)) {
            const QByteArray path = entry.path();
            const PathArena::Node node = result.paths().add(path);
            sayListed(BesideSearch::What::macosxLine, node, path);
            result.add(FileType::temporaryFiles, node, looked(entry.lstat()));
            if (whole && entry.isRegularFile)
                whole->listedAlone();
            if (entry.isDirectory) {
                logUtf8("跳过__MACOSX目录的内容");
                // Entered all the same, for kept names only.
                enterWholeFolder(entry, path);
                takenMacosxDepth = entry.depth;
            }
            return WalkDecision{true, childFlags};
        }

        if (entry.isRegularFile && entry.name.startsWith("._") && beside) {
            // Judged where the walk meets the pre-search, which looks at it.
            // Only the root pass may have listed it so far.
            const PathArena::Node node = result.paths().add(entry.path());
            if (entry.parentPath->size() + 1 + entry.name.size() >= PATH_MAX) {
                if (const std::optional<pathhandles::ItemLook> look = looked(entry.lstat()))
                    beside->deepLooks.insert(node, *look);
            }
            beside->add(BesideSearch::What::appleDouble, node, result.count(FileType::temporaryFiles),
                        entry.depth == 1 && result.listed(node));
            if (whole)
                whole->listedAlone();   // listed on its own at the meeting point
            return WalkDecision{true, childFlags};
        }
        if (entry.isRegularFile && entry.name.startsWith("._")) {
            const QByteArray path = entry.path();
            logUtf8("发现._文件: ", path);
            // What the pre-search found is not asked again; otherwise one
            // lstat through the folder's handle answers both questions.
            const std::optional<qint64> listedSize = result.sizeOf(path);
            const std::optional<pathhandles::ItemLook> look = listedSize ? std::nullopt : looked(entry.lstat());
            const bool exists = listedSize || look;
            logUtf8(exists ? "   ._文件是否存在: true" : "   ._文件是否存在: false");
            const qint64 size = listedSize ? *listedSize : look ? look->size : 0;
            logUtf8("   ._文件大小: " + QByteArray::number(size) + " 字节");
            logUtf8("   ._文件是否隐藏: true");   // a leading dot is what hides it
            if (wantsTemporary && exists) {
                // A kept name is never junk: the matcher would only ask again.
                if (!matcher.isKept(name)) {
                    logUtf8("   直接添加._文件到临时文件结果中");
                    if (!listedSize)
                        result.add(FileType::temporaryFiles, path, look);
                    if (whole)
                        whole->listedAlone();
                }
                return WalkDecision{true, childFlags};
            }
        }

        if (entry.depth == 1 && isCleanMarker(entry))
            return WalkDecision{false, childFlags};   // the root pass said so
        if (const std::optional<FileType> kind = matcher.matchFile(MatchItem{name, entry.isDirectory, inMacosx}, types)) {
            const QByteArray path = entry.path();
            // Checked first: the lstat costs a system call.
            const PathArena::Node node = result.paths().add(path);
            if (!result.listed(node)) {
                sayListed(BesideSearch::What::junkLine, node, path);
                result.add(*kind, node, looked(entry.lstat()));
            }
            if (whole && entry.isRegularFile)
                whole->listedAlone();
            if (entry.isDirectory)
                enterWholeFolder(entry, path);
        }
        // A matched folder is entered too: what lies inside is judged by its own name.
        return WalkDecision{true, childFlags};
    };

    const auto onError = [&](const WalkError &error) {
        if (whole && (error.depth < whole->depth() || (error.depth == whole->depth() && error.path != whole->path())))
            leaveWholeFolder();
        logLine(QStringLiteral("扫描错误: ") + errorText(error.errorNumber) + QStringLiteral(" 于 ") + pathText(error.path));
        if (error.errorNumber == ENOENT || error.errorNumber == ENOTDIR)
            return;   // gone meanwhile: nothing to add
        if (error.path == rootBytes) {
            cutShort(error.errorNumber, error.path);   // the volume itself
            return;
        }
        if (takenMacosxDepth > 0 && error.depth > takenMacosxDepth)
            return;   // goes with its "__MACOSX"
        // Inside a folder listed whole, it goes with that folder.
        const bool insideWhole = whole && error.depth > whole->depth();
        // Every other failure (no permission, or a read error) is judged by the name.
        logUtf8("权限错误，尝试将该项添加到结果中: ", error.path);
        const QString name = QFile::decodeName(error.name);
        if (indexingDisabled(name, isFAT, rootBytes)) {
            logLine(QStringLiteral("发现 .Spotlight-V100 但索引已禁用，跳过"));
            return;
        }
        if (name == kTrashes)
            logLine(QStringLiteral("🗑️ 常规扫描发现 .Trashes 文件夹: ") + name + QStringLiteral(" at ") + pathText(error.path));
        const MatchItem item{name, true, insideMacosx(rootBytes, error.path)};
        const bool refused = error.errorNumber == EACCES || error.errorNumber == EPERM;
        if (const std::optional<FileType> kind = matcher.matchFile(item, types)) {
            if (!result.contains(error.path)) {
                logUtf8("将无权限访问的垃圾文件添加到结果: ", error.path);
                result.add(*kind, error.path, looked(error.stat));
            }
            if (refused)
                return;   // junk listed whole: nothing of it was missed
        }
        if (insideWhole)
            return;
        if (refused)
            ++m_problems.unreadableFolders;
        else
            cutShort(error.errorNumber, error.path);
    };

    // The folders met outside what is listed whole, for the clean to tell
    // a folder item's own folders from aliases of these.
    auto folders = std::make_shared<ScannedFolders>();
    const auto onFolder = [&](const WalkFolder &folder) {
        if (folder.depth == 0)
            folders->device = quint64(folder.dev);
        if (whole && folder.depth >= whole->depth())
            return true;
        folders->inodes.push_back(quint64(folder.ino));
        if (folder.entries > 0)
            folders->listings.push_back(folder.listing);
        return true;
    };

    // A root that cannot be opened leaves nothing to find.
    int walkError = 0;
    const bool walked = VolumeWalker::walk(rootBytes, onEntry, onError, &walkError, &rootPass, onFolder);
    folders->finish();
    m_folders = std::move(folders);
    if (!walked) {
        if (!rootPassesRan)
            rootPasses({}, 0, walkError);
        cutShort(walkError, rootBytes);
    }
    leaveWholeFolder();
    if (!beside)   // else once the walk has met the pre-search
        logSummary(result.result());
}
