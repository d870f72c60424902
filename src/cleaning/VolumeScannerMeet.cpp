// Where the walk meets the pre-search that ran beside it: the walk's held
// lines go out in their places, the "._" files it met are judged as the walk
// would have judged them after the pre-search, and its items join the result
// after the pre-search's, as if the walk had come second.
#include "cleaning/VolumeScanner.h"

#include "cleaning/ScanParts.h"
#include "cleaning/VolumeScannerBeside.h"
#include "cleaning/VolumeScannerResult.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"

#include <QSet>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using scanparts::NameText;

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
    void judgeAppleDouble(const BesideSearch::Event &event, const QByteArray &path);
    std::optional<pathhandles::ItemLook> lookAt(PathArena::Node node, const QByteArray &path);
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
    FolderLooks m_looks;
    qsizetype m_written = 0;   // of the held text
    qsizetype m_offset = 0;
    // The lines of the items the walk met, gathered and written together.
    QByteArray m_lines;
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
    for (const BesideSearch::Event &event : m_beside.events()) {
        writeHeldUpTo(m_offset += event.textBefore);
        const QByteArray path = m_result.paths().path(event.node);
        switch (event.what) {
        case BesideSearch::What::junkLine:
        case BesideSearch::What::macosxLine:
            appendLogLine(m_lines, BesideSearch::lineHead(event.what), path);
            if (m_lines.size() >= 64 * 1024)
                writeLines();
            break;
        case BesideSearch::What::rootListed:
            if (!m_result.listed(event.node))
                appendLogLine(m_lines, "已添加隐藏垃圾文件到结果: ", path);
            break;
        case BesideSearch::What::appleDouble:
            judgeAppleDouble(event, path);
            break;
        }
    }
    writeLines();
    logCaptured(QByteArrayView(m_held).sliced(m_written));
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
void VolumeScanner::Meeting::judgeAppleDouble(const BesideSearch::Event &event, const QByteArray &path)
{
    if (m_lines.size() >= 64 * 1024)
        writeLines();
    appendLogLine(m_lines, "发现._文件: ", path);
    std::optional<qint64> listedSize = m_result.sizeAt(event.node);
    if (!listedSize && event.listedByWalk)
        listedSize = m_walked.sizeAt(event.node);
    std::optional<pathhandles::ItemLook> look;
    if (!listedSize)
        look = lookAt(event.node, path);
    const bool exists = listedSize || look;
    const qint64 size = listedSize ? *listedSize : look ? look->size : 0;
    m_lines.append(exists ? "   ._文件是否存在: true\n" : "   ._文件是否存在: false\n");
    m_lines.append("   ._文件大小: ").append(QByteArray::number(size)).append(" 字节\n");
    m_lines.append("   ._文件是否隐藏: true\n");
    const NameText name(QByteArrayView(path).sliced(path.lastIndexOf('/') + 1));
    // The matcher may print (an exclusion): what is gathered goes first.
    if (m_matcher.hasExclusions())
        writeLines();
    if (exists) {
        if (!m_matcher.isKept(name.view())) {
            m_lines.append("   直接添加._文件到临时文件结果中\n");
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
std::optional<pathhandles::ItemLook> VolumeScanner::Meeting::lookAt(PathArena::Node node, const QByteArray &path)
{
    const auto deep = m_beside.deepLooks.constFind(node);
    const std::optional<pathhandles::ItemLook> look =
        deep != m_beside.deepLooks.cend() ? std::optional(*deep) : m_looks.look(path);
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
                              return m_result.listed(item.node()) || m_addedPaths.contains(item.node());
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
        if (m_addedPaths.isEmpty() || !m_addedPaths.contains(item.node()))
            m_result.adopt(kind, std::move(item));
    }
    addWaiting(std::numeric_limits<qsizetype>::max());
}
