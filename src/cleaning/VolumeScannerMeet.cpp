// Where the walk meets the pre-search that ran beside it: the walk's held
// lines go out in their places, the "._" files it met are judged as the walk
// would have judged them after the pre-search, and its items join the result
// after the pre-search's, as if the walk had come second.
#include "cleaning/VolumeScanner.h"

#include "cleaning/AppleDoubleSearch.h"
#include "cleaning/ScanParts.h"
#include "cleaning/VolumeScannerBeside.h"
#include "cleaning/VolumeScannerResult.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"

#include <QSet>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <vector>

#include <sys/stat.h>

using scanparts::NameText;

// The meeting of the pre-search's result and the walk's.
class VolumeScanner::Meeting
{
public:
    Meeting(const VolumeScanner &scanner, ResultBuilder &result, ResultBuilder &walked, const BesideSearch &beside,
            const QByteArray &held)
        : m_matcher(scanner.m_matcher)
        , m_types(scanner.m_request.fileTypes)
        , m_work(scanner.m_request.work.get())
        , m_result(result)
        , m_walked(walked)
        , m_beside(beside)
        , m_held(held)
        , m_reader(*result.paths().arena())
    {
    }

    // The walk's lines in their places, with those of the "._" files it met.
    void sayWhatWasHeld();
    // The walk's items after the pre-search's.
    void addWalked();

private:
    // A "._" file the walk met, judged after the pre-search, that joins the
    // result at its place among the walk's items.
    struct Added
    {
        FileType kind;
        PathArena::Node node;
        std::optional<pathhandles::ItemLook> look;
        qsizetype position;
    };

    void writeHeldUpTo(qsizetype offset);
    void writeLines();
    std::optional<PathArena::Node> preSearchNode(QByteArrayView path);
    bool listedByPreSearch(const FileItem &item);
    void judgeAppleDouble(const BesideSearch::Event &event, QByteArrayView path);
    std::optional<pathhandles::ItemLook> lookAt(PathArena::Node node, QByteArrayView path);
    void waitForPlace(FileType kind, const BesideSearch::Event &event, const std::optional<pathhandles::ItemLook> &look);
    void addKind(FileType kind, QList<FileItem> items);

    const FileMatcher &m_matcher;
    const FileTypeSet &m_types;
    VolumeWork *const m_work;
    ResultBuilder &m_result;
    ResultBuilder &m_walked;
    const BesideSearch &m_beside;
    const QByteArray &m_held;   // the walk's own lines, as text

    // The "._" files the walk met, in its order, as the walk would have
    // judged them after the pre-search; the new ones wait for their place.
    std::vector<Added> m_added;
    QSet<PathArena::Node> m_addedPaths;
    AppleDoubleSearch::FolderLooks m_looks;   // `path` NUL-terminated
    qsizetype m_written = 0;   // of the held text
    qsizetype m_offset = 0;
    // The lines of the items the walk met, gathered and written together.
    QByteArray m_lines;
    // The paths of the walk's nodes, folder by folder.
    PathReader m_reader;
    PathArena::Node m_lastFound = PathArena::kNone;   // in the pre-search's index
};

void VolumeScanner::meet(ResultBuilder &result, ResultBuilder &walked, BesideSearch &beside)
{
    const QByteArray held = beside.capture.finish();
    // Stopped while the pre-search ran: the walk would not have begun.
    if (beside.preSearchStopped)
        return;
    const LogStep step;
    Meeting meeting(*this, result, walked, beside, held);
    meeting.sayWhatWasHeld();
    meeting.addWalked();
    logSummary(result.result());
}

void VolumeScanner::Meeting::sayWhatWasHeld()
{
    static const LineHead kRootListed("已添加隐藏垃圾文件到结果: ");
    for (const BesideSearch::Event &event : m_beside.events()) {
        writeHeldUpTo(m_offset += event.textBefore);
        const QByteArrayView path = m_reader.path(event.node);
        switch (event.what) {
        case BesideSearch::What::junkLine:
        case BesideSearch::What::macosxLine:
            m_reader.appendLine(m_lines, BesideSearch::lineHeadOf(event.what));
            if (m_lines.size() >= 64 * 1024)
                writeLines();
            break;
        case BesideSearch::What::rootListed:
            if (const std::optional<PathArena::Node> found = preSearchNode(path); !found || !m_result.listed(*found))
                m_reader.appendLine(m_lines, kRootListed);
            break;
        case BesideSearch::What::appleDouble:
            judgeAppleDouble(event, path);
            break;
        }
    }
    writeLines();
    logCaptured(QByteArrayView(m_held).sliced(m_written));
}

// The node the pre-search's index holds for a path the walk met (read last
// by m_reader), if it holds one: the two threads filled parts of their own.
// They mostly meet them in the same order, so each is looked for first
// right after the one found before.
std::optional<PathArena::Node> VolumeScanner::Meeting::preSearchNode(QByteArrayView path)
{
    const qsizetype name = m_reader.nameStart();
    const std::optional<PathArena::Node> found =
        name == 0 ? m_result.paths().find(path)
                  : m_result.paths().findAfter(m_lastFound, path.first(name - 1), path.sliced(name));
    if (found)
        m_lastFound = *found;
    return found;
}

// Does the pre-search list the path of an item of the walk? It lists only
// "._" files (what find, ls and the in-process search look for), so no other
// name is looked for.
bool VolumeScanner::Meeting::listedByPreSearch(const FileItem &item)
{
    if (!item.nameBytes().startsWith("._"))
        return false;
    const std::optional<PathArena::Node> found = preSearchNode(m_reader.path(item.node()));
    return found && m_result.listed(*found);
}

// The walk's own text up to `offset`, after the lines gathered before it.
void VolumeScanner::Meeting::writeHeldUpTo(qsizetype offset)
{
    if (offset <= m_written)
        return;
    writeLines();
    logCaptured(QByteArrayView(m_held).sliced(m_written, offset - m_written));
    m_written = offset;
}

void VolumeScanner::Meeting::writeLines()
{
    logCaptured(m_lines);
    m_lines.resize(0);
}

// A "._" file the walk met: its lines, and its verdict.
void VolumeScanner::Meeting::judgeAppleDouble(const BesideSearch::Event &event, QByteArrayView path)
{
    static const LineHead kMet("发现._文件: ");
    if (m_lines.size() >= 64 * 1024)
        writeLines();
    m_reader.appendLine(m_lines, kMet);
    std::optional<qint64> listedSize;
    if (const std::optional<PathArena::Node> found = preSearchNode(path))
        listedSize = m_result.sizeAt(*found);
    if (!listedSize && event.listedByWalk)
        listedSize = m_walked.sizeAt(event.node);
    std::optional<pathhandles::ItemLook> look;
    if (!listedSize)
        look = lookAt(event.node, path);
    const bool exists = listedSize || look;
    const qint64 size = listedSize ? *listedSize : look ? look->size : 0;
    // Its next three lines, made in place.
    static constexpr QByteArrayView kThere = "   ._文件是否存在: true\n   ._文件大小: ";
    static constexpr QByteArrayView kNotThere = "   ._文件是否存在: false\n   ._文件大小: ";
    static constexpr QByteArrayView kHidden = " 字节\n   ._文件是否隐藏: true\n";
    char block[160];
    char *at = std::copy_n((exists ? kThere : kNotThere).data(), (exists ? kThere : kNotThere).size(), block);
    at = std::to_chars(at, at + 24, size).ptr;
    at = std::copy_n(kHidden.data(), kHidden.size(), at);
    m_lines.append(block, at - block);
    const NameText name(path.sliced(m_reader.nameStart()));
    // The matcher may print (an exclusion): what is gathered goes first.
    if (m_matcher.hasExclusions())
        writeLines();
    if (exists) {
        if (!m_matcher.isKept(name.view())) {
            m_lines.append(QByteArrayView("   直接添加._文件到临时文件结果中\n"));
            if (!listedSize && !m_addedPaths.contains(event.node))
                waitForPlace(FileType::temporaryFiles, event, look);
        }
        return;
    }
    // Gone before it could be looked at: judged by its name, as the walk does.
    writeLines();
    if (const std::optional<FileType> kind = m_matcher.matchFile(MatchItem{name.view(), false, false}, m_types)) {
        if (!m_addedPaths.contains(event.node)) {
            appendLogLine(m_lines, "发现垃圾文件: ", path);
            waitForPlace(*kind, event, std::nullopt);
        }
    }
}

// The walk's own look at a path too long to be looked up again, else a look now.
std::optional<pathhandles::ItemLook> VolumeScanner::Meeting::lookAt(PathArena::Node node, QByteArrayView path)
{
    const auto deep = m_beside.deepLooks.constFind(node);
    std::optional<pathhandles::ItemLook> look;
    if (deep != m_beside.deepLooks.cend())
        look = *deep;
    else if (const std::optional<struct stat> st = m_looks.lstat(path, path.data() + path.lastIndexOf('/') + 1))
        look = pathhandles::lookOf(*st);
    if (m_work)
        m_work->beat();
    return look;
}

void VolumeScanner::Meeting::waitForPlace(FileType kind, const BesideSearch::Event &event,
                                          const std::optional<pathhandles::ItemLook> &look)
{
    m_added.push_back(Added{kind, event.node, look, event.position});
    m_addedPaths.insert(event.node);
}

// The walk's items after the pre-search's, each kind in the walk's order;
// one the walk listed after a "._" file it met already went with that file.
void VolumeScanner::Meeting::addWalked()
{
    ScanResult walkedItems = m_walked.take();
    QList<FileType> kinds = walkedItems.keys();
    for (const Added &item : m_added) {
        if (!kinds.contains(item.kind))
            kinds.append(item.kind);
    }
    for (FileType kind : std::as_const(kinds))
        addKind(kind, walkedItems.take(kind));
}

// One kind of the walk's items, with the "._" files that wait among them.
void VolumeScanner::Meeting::addKind(FileType kind, QList<FileItem> items)
{
    const bool alone = m_result.count(kind) == 0
                       && std::none_of(m_added.cbegin(), m_added.cend(), [&](const Added &a) { return a.kind == kind; })
                       && std::none_of(items.cbegin(), items.cend(), [&](const FileItem &item) {
                              return listedByPreSearch(item) || m_addedPaths.contains(item.node());
                          });
    if (alone) {
        m_result.adoptAll(kind, std::move(items));   // nothing copied
        return;
    }
    auto next = m_added.cbegin();
    const auto addWaiting = [&](qsizetype upTo) {
        for (; next != m_added.cend() && (next->kind != kind || next->position <= upTo); ++next) {
            if (next->kind == kind)
                m_result.add(kind, next->node, next->look);
        }
    };
    for (qsizetype i = 0; i < items.size(); ++i) {
        addWaiting(i);
        FileItem &item = items[i];
        if ((m_addedPaths.isEmpty() || !m_addedPaths.contains(item.node())) && !listedByPreSearch(item))
            m_result.adopt(kind, std::move(item));
    }
    addWaiting(std::numeric_limits<qsizetype>::max());
}
