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
#include "platform/LinesInOrder.h"
#include "platform/Log.h"

#include <QSet>

#include <algorithm>
#include <charconv>
#include <deque>
#include <limits>
#include <optional>
#include <vector>

#include <sys/stat.h>

using scanparts::NameText;

namespace {

// The line of a "._" file the walk met, and the one saying it joins the
// temporary files.
const LineHead kMet("发现._文件: ");
constexpr QByteArrayView kJoins = "   直接添加._文件到临时文件结果中\n";

// The three lines after a "._" file the walk met (there or not, its
// size), and the line saying it joins the temporary files when it does.
void appendLooked(QByteArray &lines, bool exists, qint64 size, bool joins = false)
{
    static constexpr QByteArrayView kThere = "   ._文件是否存在: true\n   ._文件大小: ";
    static constexpr QByteArrayView kNotThere = "   ._文件是否存在: false\n   ._文件大小: ";
    static constexpr QByteArrayView kHidden = " 字节\n   ._文件是否隐藏: true\n";
    char block[224];
    char *at = std::copy_n((exists ? kThere : kNotThere).data(), (exists ? kThere : kNotThere).size(), block);
    at = std::to_chars(at, at + 24, size).ptr;
    at = std::copy_n(kHidden.data(), kHidden.size(), at);
    if (joins)
        at = std::copy_n(kJoins.data(), kJoins.size(), at);
    lines.append(block, at - block);
}

} // namespace

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
        , m_reading(result)
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
    // The paths of the walk's nodes, folder by folder, and where the
    // pre-search's index holds them: one for each thread that makes lines.
    struct Reading
    {
        explicit Reading(const ResultBuilder &result) : reader(*result.paths().arena()), finder(result.paths()) {}
        PathReader reader;
        PathIndex::Finder finder;
        PathArena::Node lastFound = PathArena::kNone;   // in the pre-search's index
    };
    static constexpr qsizetype kEventsPerPiece = 2048;

    void sayInPieces();
    bool makePiece(qsizetype piece, QByteArray &lines) const;
    void sayInOrder(qsizetype from, qsizetype to);
    bool sayAsRead(const BesideSearch::Event &event, Reading &reading, QByteArray &lines) const;
    void writeHeldUpTo(qsizetype offset);
    void writeLines();
    std::optional<PathArena::Node> preSearchNode(Reading &reading, QByteArrayView path) const;
    std::optional<qint64> listedSize(const BesideSearch::Event &event, Reading &reading, QByteArrayView path) const;
    bool listedByPreSearch(const FileItem &item);
    void judgeAppleDouble(const BesideSearch::Event &event, QByteArrayView path, std::optional<qint64> listedSize);
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
    Reading m_reading;   // this thread's
    // Where each piece's held text starts (and, last, where the last ends).
    std::vector<qsizetype> m_pieceStarts;
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
    const qsizetype events = qsizetype(m_beside.events().size());
    // The matcher may print (an exclusion): then every line is made in turn.
    if (m_matcher.hasExclusions() || events <= kEventsPerPiece)
        sayInOrder(0, events);
    else
        sayInPieces();
    writeLines();
    logCaptured(QByteArrayView(m_held).sliced(m_written));
}

// The events' lines made in pieces on threads of their own (linesinorder)
// while the pieces before them go out; a piece holding a "._" file that
// needs a look, or may join the result, is said in its turn on this thread.
void VolumeScanner::Meeting::sayInPieces()
{
    const std::deque<BesideSearch::Event> &events = m_beside.events();
    const qsizetype count = qsizetype(events.size());
    const qsizetype pieces = (count + kEventsPerPiece - 1) / kEventsPerPiece;
    m_pieceStarts.assign(size_t(pieces + 1), 0);
    qsizetype offset = 0;
    for (qsizetype i = 0; i < count; ++i) {
        if (i % kEventsPerPiece == 0)
            m_pieceStarts[size_t(i / kEventsPerPiece)] = offset;
        offset += events[size_t(i)].textBefore;
    }
    m_pieceStarts.back() = offset;
    const auto make = [this](qsizetype piece, QByteArray &lines) { return makePiece(piece, lines); };
    const auto inTurn = [&](qsizetype piece, bool made) {
        if (!made) {
            m_written = m_offset = m_pieceStarts[size_t(piece)];
            sayInOrder(piece * kEventsPerPiece, std::min(count, (piece + 1) * kEventsPerPiece));
            writeLines();
        }
        m_written = m_offset = m_pieceStarts[size_t(piece + 1)];
    };
    linesinorder::write(pieces, make, inTurn);
}

// One piece of events, with the held text before each, on any thread.
bool VolumeScanner::Meeting::makePiece(qsizetype piece, QByteArray &lines) const
{
    const std::deque<BesideSearch::Event> &events = m_beside.events();
    Reading reading(m_result);
    qsizetype offset = m_pieceStarts[size_t(piece)];
    const qsizetype end = std::min(qsizetype(events.size()), (piece + 1) * kEventsPerPiece);
    for (qsizetype i = piece * kEventsPerPiece; i < end; ++i) {
        const BesideSearch::Event &event = events[size_t(i)];
        if (event.textBefore > 0) {
            lines.append(QByteArrayView(m_held).sliced(offset, event.textBefore));
            offset += event.textBefore;
        }
        if (!sayAsRead(event, reading, lines))
            return false;
    }
    return true;
}

// The events from `from` to `to` in turn, the held text before each.
void VolumeScanner::Meeting::sayInOrder(qsizetype from, qsizetype to)
{
    const std::deque<BesideSearch::Event> &events = m_beside.events();
    for (qsizetype i = from; i < to; ++i) {
        const BesideSearch::Event &event = events[size_t(i)];
        writeHeldUpTo(m_offset += event.textBefore);
        logBurst(m_lines);
        if (event.what != BesideSearch::What::appleDouble) {
            sayAsRead(event, m_reading, m_lines);
            continue;
        }
        const QByteArrayView path = m_reading.reader.path(event.node);
        judgeAppleDouble(event, path, listedSize(event, m_reading, path));
    }
}

// An event's lines when reading tells them (what the pre-search or the walk
// listed); false, with nothing added, for a "._" file that needs more.
bool VolumeScanner::Meeting::sayAsRead(const BesideSearch::Event &event, Reading &reading, QByteArray &lines) const
{
    static const LineHead kRootListed("已添加隐藏垃圾文件到结果: ");
    const QByteArrayView path = reading.reader.path(event.node);
    switch (event.what) {
    case BesideSearch::What::junkLine:
    case BesideSearch::What::macosxLine:
        reading.reader.appendLine(lines, BesideSearch::lineHeadOf(event.what));
        return true;
    case BesideSearch::What::rootListed:
        if (const std::optional<PathArena::Node> found = preSearchNode(reading, path); !found || !m_result.listed(*found))
            reading.reader.appendLine(lines, kRootListed);
        return true;
    case BesideSearch::What::appleDouble:
        break;
    }
    // Listed already, so there, with its size: it joins nothing anew. An
    // exclusion prints: such a file is judged in turn.
    const std::optional<qint64> size = m_matcher.hasExclusions() ? std::nullopt : listedSize(event, reading, path);
    if (!size)
        return false;
    reading.reader.appendLine(lines, kMet);
    appendLooked(lines, true, *size, !m_matcher.isKeptName(path.sliced(reading.reader.nameStart())));
    return true;
}

// The node the pre-search's index holds for a path the walk met (read last
// by the reading's reader), if it holds one: the two threads filled parts of
// their own. They mostly meet them in the same order, so each is looked for
// first right after the one found before.
std::optional<PathArena::Node> VolumeScanner::Meeting::preSearchNode(Reading &reading, QByteArrayView path) const
{
    const qsizetype name = reading.reader.nameStart();
    const std::optional<PathArena::Node> found =
        name == 0 ? reading.finder.find(path)
                  : reading.finder.findAfter(reading.lastFound, path.first(name - 1), path.sliced(name));
    if (found)
        reading.lastFound = *found;
    return found;
}

// The size a "._" file the walk met is listed with: by the pre-search, or
// by the walk's root pass.
std::optional<qint64> VolumeScanner::Meeting::listedSize(const BesideSearch::Event &event, Reading &reading,
                                                         QByteArrayView path) const
{
    std::optional<qint64> size;
    if (const std::optional<PathArena::Node> found = preSearchNode(reading, path))
        size = m_result.sizeAt(*found);
    if (!size && event.listedByWalk)
        size = m_walked.sizeAt(event.node);
    return size;
}

// Does the pre-search list the path of an item of the walk? It lists only
// "._" files (what find, ls and the in-process search look for), so no other
// name is looked for.
bool VolumeScanner::Meeting::listedByPreSearch(const FileItem &item)
{
    if (!item.nameBytes().startsWith("._"))
        return false;
    const std::optional<PathArena::Node> found = preSearchNode(m_reading, m_reading.reader.path(item.node()));
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
    logBurst(m_lines, 1);
}

// A "._" file the walk met that reading alone does not tell: its lines,
// and its verdict.
void VolumeScanner::Meeting::judgeAppleDouble(const BesideSearch::Event &event, QByteArrayView path,
                                              std::optional<qint64> listedSize)
{
    m_reading.reader.appendLine(m_lines, kMet);
    std::optional<pathhandles::ItemLook> look;
    if (!listedSize)
        look = lookAt(event.node, path);
    const bool exists = listedSize || look;
    appendLooked(m_lines, exists, listedSize ? *listedSize : look ? look->size : 0);
    const NameText name(path.sliced(m_reading.reader.nameStart()));
    // The matcher may print (an exclusion): what is gathered goes first.
    if (m_matcher.hasExclusions())
        writeLines();
    if (exists) {
        if (!m_matcher.isKept(name.view())) {
            m_lines.append(kJoins);
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
    else if (const std::optional<struct stat> st = m_looks.lstat(path, path.data() + lastSlashOf(path) + 1))
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
