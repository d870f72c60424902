#include "cleaning/AppleDoubleSearch.h"

#include "cleaning/HeldVolume.h"
#include "cleaning/HitLooks.h"
#include "cleaning/PathArena.h"
#include "cleaning/PathHandles.h"
#include "cleaning/VolumeWalker.h"
#include "cleaning/VolumeWork.h"
#include "platform/LinesInOrder.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>

#include <new>
#include <type_traits>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace AppleDoubleSearch {

namespace {

using pathhandles::childPath;
using pathhandles::lastComponent;
using pathhandles::withoutTrailingSlashes;

// Keeps the hit, and what the look at it saw when the caller wants that.
void keep(QList<QByteArray> &hits, QList<pathhandles::ItemLook> *looks, QByteArrayView path,
          const pathhandles::ItemLook &look)
{
    hits.append(path.toByteArray());
    if (looks)
        looks->append(look);
}

// Gathers the hits handed out into lists.
OnHit collector(QList<QByteArray> &hits, QList<pathhandles::ItemLook> *looks)
{
    return [&hits, looks](QByteArrayView path, const pathhandles::ItemLook &look, PathArena::Node) {
        keep(hits, looks, path, look);
    };
}

// Is `path` strictly below `root`, component by component, with no "." or
// ".." step that could lead back out, and does its last component start with "._"?
// (Asked of every field find prints: nothing is copied.)
bool isAppleDoubleBelow(const QByteArray &root, QByteArrayView path)
{
    return path.sliced(lastSlashOf(path) + 1).startsWith("._") && HeldVolume::relativePart(root, path).has_value();
}

// A child's output as it comes, cut into fields at a separator: each field
// goes whole to take(), whichever pieces it came in; what follows the last
// separator is a field too, once the output has ended.
class OutputFields
{
public:
    explicit OutputFields(char separator) : m_separator(separator) {}
    virtual ~OutputFields() = default;
    OutputFields(const OutputFields &) = delete;
    OutputFields &operator=(const OutputFields &) = delete;

    void feed(QByteArrayView piece)
    {
        m_received += piece.size();
        for (;;) {
            const qsizetype end = piece.indexOf(m_separator);
            if (end < 0) {
                m_partial.append(piece);
                return;
            }
            ++m_separators;
            if (m_partial.isEmpty()) {
                take(piece.first(end));
            } else {
                m_partial.append(piece.first(end));
                take(m_partial);
                m_partial.resize(0);
            }
            piece = piece.sliced(end + 1);
        }
    }

    // After the last piece.
    void finish()
    {
        take(m_partial);
        m_partial.clear();
    }

    bool receivedAny() const { return m_received > 0; }
    qsizetype separators() const { return m_separators; }

protected:
    virtual void take(QByteArrayView field) = 0;

private:
    char m_separator;
    QByteArray m_partial;
    qsizetype m_separators = 0;
    qsizetype m_received = 0;
};

// Records queued in blocks of pages of their own, each handed back to the
// system as soon as it has been read: find's fields are as many as the
// scan's items on a volume of "._" files, and memory freed into the
// allocator would stay the process's beside the items made from them.
template <typename T>
class PageQueue
{
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    PageQueue() = default;
    PageQueue(const PageQueue &) = delete;
    PageQueue &operator=(const PageQueue &) = delete;
    ~PageQueue()
    {
        for (T *block : m_blocks)
            ::munmap(block, kBlockBytes);
    }

    bool empty() const { return m_blocks.empty(); }
    const T &front() const { return m_blocks.front()[m_head]; }
    // How many records it holds; none popped yet.
    size_t size() const { return m_blocks.empty() ? 0 : (m_blocks.size() - 1) * kPerBlock + m_tail - m_head; }

    // The record stays where it is until it is popped.
    T &push_back(const T &value)
    {
        if (m_blocks.empty() || m_tail == kPerBlock) {
            void *block = ::mmap(nullptr, kBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (block == MAP_FAILED)
                throw std::bad_alloc();
            m_blocks.push_back(static_cast<T *>(block));
            m_tail = 0;
        }
        T &placed = m_blocks.back()[m_tail++];
        placed = value;
        return placed;
    }

    void pop_front()
    {
        ++m_head;
        if (m_head == (m_blocks.size() == 1 ? m_tail : kPerBlock)) {
            ::munmap(m_blocks.front(), kBlockBytes);
            m_blocks.pop_front();
            m_head = 0;
            if (m_blocks.empty())
                m_tail = 0;
        }
    }

    // The records as they stand, read by index from any thread while
    // nothing is pushed or popped; the blocks below a record are handed
    // back (by the thread that owns the queue) once no thread reads them.
    class Pages
    {
    public:
        explicit Pages(PageQueue &queue) : m_queue(queue), m_blocks(queue.m_blocks.cbegin(), queue.m_blocks.cend())
        {
            Q_ASSERT(queue.m_head == 0);
        }
        const T &at(size_t index) const { return m_blocks[index / kPerBlock][index % kPerBlock]; }
        void dropAll() { dropBelow(m_blocks.size() * kPerBlock); }
        void dropBelow(size_t index)
        {
            for (; m_dropped < m_blocks.size() && (m_dropped + 1) * kPerBlock <= index; ++m_dropped) {
                ::munmap(m_queue.m_blocks.front(), kBlockBytes);
                m_queue.m_blocks.pop_front();
            }
        }

    private:
        PageQueue &m_queue;
        const std::vector<T *> m_blocks;
        size_t m_dropped = 0;
    };

private:
    static constexpr size_t kBlockBytes = size_t(1) << 20;
    static constexpr size_t kPerBlock = kBlockBytes / sizeof(T);
    std::deque<T *> m_blocks;
    size_t m_head = 0;   // in the first block
    size_t m_tail = 0;   // in the last block
};

// What one of find's fields gave, held by its node until find has ended.
struct Field
{
    PathArena::Node node;
    HitLook seen;
};

// The hits among find's fields, handed to onHit in order on a thread of
// their own while the fields' lines are made and written piece by piece
// (linesinorder); never more than a few pieces ahead of the writing, so the
// items made from them do not stand beside records not yet handed back.
// Where the system gives no thread, each piece's hits go in its turn.
class Joining
{
public:
    Joining(const PageQueue<Field>::Pages &pages, size_t count, const PathArena &arena, const OnHit &onHit)
        : m_pages(pages), m_count(count), m_reader(arena), m_onHit(onHit)
    {
        try {
            m_thread = std::thread([this] { joinAll(); });
        } catch (const std::system_error &) {
        }
    }
    ~Joining()
    {
        writing(std::numeric_limits<size_t>::max());   // nothing holds it back
        if (m_thread.joinable())
            m_thread.join();
    }
    Joining(const Joining &) = delete;
    Joining &operator=(const Joining &) = delete;

    static constexpr size_t kPerPiece = 4096;

    // Piece `piece` is about to be written (those before it are): its hits
    // go now when there is no thread, which may go further now.
    void writing(size_t piece)
    {
        if (!m_thread.joinable() && piece < pieces()) {
            joinPiece(piece);
            return;
        }
        m_writing.store(piece, std::memory_order_release);
        m_writing.notify_one();
    }
    // The fields below this one were handed over.
    size_t joined() const { return m_joined.load(std::memory_order_acquire); }
    // The number of hits, once all are handed over; what onHit threw comes back.
    qsizetype finish()
    {
        writing(std::numeric_limits<size_t>::max());
        if (m_thread.joinable())
            m_thread.join();
        if (m_failure)
            std::rethrow_exception(std::exchange(m_failure, nullptr));
        return m_hits;
    }

private:
    static constexpr size_t kAhead = 2;   // pieces

    size_t pieces() const { return (m_count + kPerPiece - 1) / kPerPiece; }

    void joinAll()
    {
        try {
            for (size_t piece = 0; piece < pieces(); ++piece) {
                for (size_t writing; piece > kAhead && (writing = m_writing.load(std::memory_order_acquire)) < piece - kAhead;)
                    m_writing.wait(writing);
                joinPiece(piece);
            }
        } catch (...) {
            m_failure = std::current_exception();
        }
    }

    void joinPiece(size_t piece)
    {
        const size_t end = std::min(m_count, (piece + 1) * kPerPiece);
        for (size_t at = piece * kPerPiece; at < end; ++at) {
            const Field &field = m_pages.at(at);
            if (field.seen.exists) {
                m_onHit(m_reader.path(field.node), field.seen.look, field.node);
                ++m_hits;
            }
        }
        m_joined.store(end, std::memory_order_release);
    }

    const PageQueue<Field>::Pages &m_pages;
    const size_t m_count;
    PathReader m_reader;
    const OnHit &m_onHit;
    qsizetype m_hits = 0;
    std::atomic<size_t> m_writing{0};
    std::atomic<size_t> m_joined{0};
    std::exception_ptr m_failure;
    std::thread m_thread;
};

// find's NUL-separated output as it comes: each field goes into a path index
// (the one the hits join, where a hit then costs nothing more) and is checked
// at once, and its look (lstat) is handed to threads of its own (HitLooks),
// so the looks go on while find still searches and its output is read. What
// a field gave is held in a small record by its node until find has ended
// and what it printed can be trusted; its lines are made then, from the index.
class FindFields : public OutputFields
{
public:
    FindFields(PathIndex &paths, QByteArray base, VolumeWork *work)
        : OutputFields('\0'), m_paths(paths), m_base(std::move(base)), m_work(work), m_looks(work)
    {
    }

    // Keeps the fields that lie inside root (whole components), whose last
    // component starts with "._" and that exist, handing each to `onHit`,
    // with the lines find's fields get; the number kept. The records go as
    // they are reported. Unless `onHitLogs`, the lines are made in pieces on
    // threads of their own while the hits join (linesinorder).
    qsizetype report(const OnHit &onHit, bool onHitLogs)
    {
        m_looks.finish();
        logLine(QStringLiteral("find命令执行成功，找到 ") + QString::number(separators() + 1)
                + QStringLiteral(" 个可能的._文件"));
        return onHitLogs ? reportInOrder(onHit) : reportInPieces(onHit);
    }

private:
    // A field's lines; its path, as `reader` read it.
    static QByteArrayView appendLines(PathReader &reader, QByteArray &lines, const Field &field)
    {
        static const LineHead kFound("找到._文件: ");
        static const LineHead kMissing("警告: 文件不存在或无法访问: ");
        const QByteArrayView path = reader.path(field.node);
        reader.appendLine(lines, kFound);
        if (!field.seen.exists)
            reader.appendLine(lines, kMissing);
        return path;
    }

    // Each hit handed over after its lines: what onHit says goes between them.
    qsizetype reportInOrder(const OnHit &onHit)
    {
        PathReader reader(*m_paths.arena());
        QByteArray lines;
        qsizetype hits = 0;
        for (; !m_fields.empty(); m_fields.pop_front()) {
            const Field &field = m_fields.front();
            const QByteArrayView path = appendLines(reader, lines, field);
            if (field.seen.exists) {
                logBurst(lines, 1);
                onHit(path, field.seen.look, field.node);
                ++hits;
            }
        }
        logBurst(lines, 1);
        return hits;
    }

    // The hits join (Joining) while the lines are made in pieces and written;
    // a block of records goes once both are past it.
    qsizetype reportInPieces(const OnHit &onHit)
    {
        constexpr size_t kPerPiece = Joining::kPerPiece;
        const size_t count = m_fields.size();
        PageQueue<Field>::Pages pages(m_fields);
        const PathArena &arena = *m_paths.arena();
        Joining joining(pages, count, arena, onHit);
        const auto make = [&](qsizetype piece, QByteArray &lines) {
            PathReader reader(arena);
            for (size_t at = size_t(piece) * kPerPiece, end = std::min(count, at + kPerPiece); at < end; ++at)
                appendLines(reader, lines, pages.at(at));
            return true;
        };
        const auto inTurn = [&](qsizetype piece, bool made) {
            joining.writing(size_t(piece));
            if (!made) {   // its maker failed: made here, in its turn
                QByteArray lines;
                make(piece, lines);
                logCaptured(lines);
            }
            // Every piece before is written, and no thread reads it again.
            pages.dropBelow(std::min(size_t(piece) * kPerPiece, joining.joined()));
        };
        linesinorder::write(qsizetype((count + kPerPiece - 1) / kPerPiece), make, inTurn);
        const qsizetype hits = joining.finish();
        pages.dropAll();
        return hits;
    }

    void take(QByteArrayView bytes) override
    {
        if (bytes.isEmpty())
            return;
        const PathArena::Node node = m_paths.add(bytes);
        if (m_work)
            m_work->beat();
        Field &field = m_fields.push_back(Field{node, HitLook{}});
        if (isAppleDoubleBelow(m_base, bytes)) {
            const qsizetype slash = lastSlashOf(bytes);
            m_looks.add(bytes.first(std::max<qsizetype>(slash, 1)), bytes.sliced(slash + 1), &field.seen);
        }
    }

    PathIndex &m_paths;
    QByteArray m_base;
    VolumeWork *m_work;
    PageQueue<Field> m_fields;   // handed back block by block as they are reported
    HitLooks m_looks;            // writing into m_fields: gone before them
};

// `ls -la`'s output as it comes, line by line: a line that names a "._"
// file of the root (its last word) is checked against the file system at
// once and kept as a hit; nothing else of the output is held.
class LsLines : public OutputFields
{
public:
    LsLines(QByteArray base, const std::function<bool(const QByteArray &)> &known)
        : OutputFields('\n'), m_base(std::move(base)), m_known(known)
    {
    }

    const QList<QByteArray> &hits() const { return m_hits; }
    QList<QByteArray> takeHits() { return std::exchange(m_hits, {}); }
    QList<pathhandles::ItemLook> takeLooks() { return std::exchange(m_looks, {}); }

private:
    void take(QByteArrayView line) override
    {
        if (!line.contains("._"))
            return;
        // The last word (split at spaces).
        qsizetype end = line.size();
        while (end > 0 && line[end - 1] == ' ')
            --end;
        const QByteArrayView name = line.first(end).sliced(line.first(end).lastIndexOf(' ') + 1);
        // Only a plain name of the root itself; what ls shows is checked
        // against the file system before it counts.
        if (!name.startsWith("._") || name.contains('/'))
            return;
        QByteArray path = childPath(m_base, name);
        if (m_seen.contains(path))
            return;   // a link's line names its target too
        pathhandles::ItemLook look;
        if (!m_known || !m_known(path)) {
            struct stat st;
            if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
                return;
            look = pathhandles::lookOf(st);
        }
        m_hits.append(std::move(path));
        m_looks.append(look);
        // The hits' bytes stay where they are when the list grows.
        m_seen.insert(QByteArrayView(m_hits.last()));
    }

    QByteArray m_base;
    const std::function<bool(const QByteArray &)> &m_known;
    QList<QByteArray> m_hits;
    QList<pathhandles::ItemLook> m_looks;
    QSet<QByteArrayView> m_seen;
};

} // namespace

std::optional<struct stat> FolderLooks::lstat(QByteArrayView path, const char *name)
{
    return lstatIn(path.first(std::max<qsizetype>(lastSlashOf(path), 1)), name);
}

std::optional<struct stat> FolderLooks::lstatIn(QByteArrayView folder, const char *name)
{
    if (!m_opened || folder != m_folder) {
        m_opened = true;
        m_folder = folder.toByteArray();
        m_fd.reset(::open(m_folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    struct stat st;
    if (m_fd.get() < 0 || ::fstatat(m_fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return st;
}

// The in-process search; without `look` the hits are handed out unlooked at.
qsizetype findAppleDoubleFilesFallback(const QByteArray &root, const OnHit &onHit, VolumeWork *work, bool look);

std::optional<QList<QByteArray>> findAppleDoubleFilesWithFind(const QByteArray &root, const Tools &tools,
                                                              QList<pathhandles::ItemLook> *looks)
{
    QList<QByteArray> hits;
    if (!findAppleDoubleFilesWithFind(root, tools, collector(hits, looks)))
        return std::nullopt;
    return hits;
}

std::optional<qsizetype> findAppleDoubleFilesWithFind(const QByteArray &root, const Tools &tools, const OnHit &onHit,
                                                      PathIndex *held, bool onHitLogs)
{
    const QByteArray base = withoutTrailingSlashes(root);
    logLine(QStringLiteral("开始使用find命令搜索._文件在路径: ") + pathText(base));

    ProcessRequest request;
    request.program = tools.find;
    // Only absolute roots: anything else could read as one of find's expressions.
    if (!base.startsWith('/')) {
        logLine(QStringLiteral("启动find命令失败: ") + QStringLiteral("not an absolute path: ") + pathText(base));
        return std::nullopt;
    }
    // NUL-separated so that no file name can split into several hits; -xdev
    // keeps find on this volume.
    request.argumentBytes = {base, "-xdev", "-name", "._*", "-type", "f", "-print0"};
    request.timeout = tools.findTimeout;
    request.killGrace = std::chrono::milliseconds(500);
    // Its output is held as it comes, not whole: on a volume of many "._"
    // files it would be most of the scan's memory.
    PathIndex local(PathIndex::Threads::one);
    PathIndex &paths = held ? *held : local;
    FindFields found(paths, base, tools.work);
    request.collectStandardOutput = false;
    const auto onOutput = [&found](const QByteArray &piece, bool error) {
        if (!error)
            found.feed(piece);
    };
    if (tools.work)
        tools.work->watch(request, onOutput);
    else
        request.onOutput = onOutput;
    const ProcessResult result = runProcess(request);
    found.finish();

    if (!result.started) {
        logLine(QStringLiteral("启动find命令失败: ") + result.errorString);
        return std::nullopt;
    }
    if (result.timedOut)
        logLine(QStringLiteral("find命令执行超时，强制终止"));
    if (!result.standardError.isEmpty())
        logLine(QStringLiteral("find命令错误输出: ") + QString::fromUtf8(result.standardError));

    qsizetype hits = 0;
    if (result.timedOut) {
        // Whatever it printed before the limit is not trusted to be complete.
        logLine(QStringLiteral("find命令因超时而终止"));
    } else if (tools.work && tools.work->shouldEnd()) {
        logLine(QStringLiteral("find命令随扫描一同结束"));
    } else if (result.exitedNormally() && result.exitCode == 0) {
        hits = found.report(onHit, onHitLogs);
    } else {
        // Unreadable folders make find exit 1; what it did print still counts.
        const int status = result.exitedNormally() ? result.exitCode : 128 + result.signal;
        logLine(QStringLiteral("find命令可能部分成功，状态码: ") + QString::number(status));
        if (found.receivedAny())
            hits = found.report(onHit, onHitLogs);
    }
    logLine(QStringLiteral("find命令查找完成，有效._文件数量: ") + QString::number(hits));
    return hits;
}

QList<QByteArray> parseFindOutput(const QByteArray &root, const QByteArray &output, QList<pathhandles::ItemLook> *looks,
                                  VolumeWork *work)
{
    QList<QByteArray> hits;
    parseFindOutput(root, output, collector(hits, looks), work);
    return hits;
}

qsizetype parseFindOutput(const QByteArray &root, const QByteArray &output, const OnHit &onHit, VolumeWork *work)
{
    PathIndex paths(PathIndex::Threads::one);
    FindFields found(paths, withoutTrailingSlashes(root), work);
    found.feed(output);
    found.finish();
    return found.report(onHit, true);
}

QList<QByteArray> findAppleDoubleFilesFallback(const QByteArray &root, QList<pathhandles::ItemLook> *looks, VolumeWork *work)
{
    QList<QByteArray> hits;
    findAppleDoubleFilesFallback(root, collector(hits, looks), work, looks != nullptr);
    return hits;
}

qsizetype findAppleDoubleFilesFallback(const QByteArray &root, const OnHit &onHit, VolumeWork *work)
{
    return findAppleDoubleFilesFallback(root, onHit, work, true);
}

qsizetype findAppleDoubleFilesFallback(const QByteArray &root, const OnHit &onHit, VolumeWork *work, bool look)
{
    qsizetype hits = 0;
    const auto onEntry = [&](const WalkEntry &entry) {
        if (work) {
            work->beat();
            if (work->shouldEnd())
                return WalkDecision{false, 0, true};
        }
        if (entry.isRegularFile && entry.name.startsWith("._")) {
            const QByteArray path = entry.path();
            logUtf8("备用方法找到._文件: ", path);
            if (!look) {
                onHit(path, {}, PathArena::kNone);
                ++hits;
            } else if (const std::optional<struct stat> st = entry.lstat()) {
                onHit(path, pathhandles::lookOf(*st), PathArena::kNone);
                ++hits;
            }
        }
        return WalkDecision{};
    };
    const auto onError = [](const WalkError &error) {
        logLine(QStringLiteral("备用查找方法错误: ") + errorText(error.errorNumber)
                + QStringLiteral(" 于 ") + pathText(error.path));
    };
    VolumeWalker::walk(withoutTrailingSlashes(root), onEntry, onError);
    return hits;
}

QList<QByteArray> findAppleDoubleFiles(const QByteArray &root, const Tools &tools, QList<pathhandles::ItemLook> *looks)
{
    QList<QByteArray> hits;
    if (findAppleDoubleFilesWithFind(root, tools, collector(hits, looks)))
        return hits;
    logLine(QStringLiteral("尝试使用备用方法查找._文件..."));
    findAppleDoubleFilesFallback(root, collector(hits, looks), tools.work, looks != nullptr);
    logLine(QStringLiteral("备用方法找到 ") + QString::number(hits.size()) + QStringLiteral(" 个._文件"));
    return hits;
}

qsizetype findAppleDoubleFiles(const QByteArray &root, const Tools &tools, const OnHit &onHit, PathIndex *held,
                               bool onHitLogs)
{
    if (const std::optional<qsizetype> hits = findAppleDoubleFilesWithFind(root, tools, onHit, held, onHitLogs))
        return *hits;
    logLine(QStringLiteral("尝试使用备用方法查找._文件..."));
    const qsizetype hits = findAppleDoubleFilesFallback(root, onHit, tools.work);
    logLine(QStringLiteral("备用方法找到 ") + QString::number(hits) + QStringLiteral(" 个._文件"));
    return hits;
}

QList<QByteArray> findAppleDoubleFilesWithLs(const QByteArray &root, const Tools &tools, QList<pathhandles::ItemLook> *looks,
                                             const std::function<bool(const QByteArray &)> &known)
{
    const QByteArray base = withoutTrailingSlashes(root);
    logLine(QStringLiteral("使用ls命令搜索额外的._文件..."));
    if (!base.startsWith('/')) {
        logLine(QStringLiteral("ls命令执行失败: ") + QStringLiteral("not an absolute path: ") + pathText(base));
        return {};
    }

    ProcessRequest request;
    request.program = tools.ls;
    request.argumentBytes = {"-la", "--", base};
    // Plain "C" output: no translated dates, no locale quoting of names.
    request.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    request.timeout = tools.findTimeout;
    request.killGrace = std::chrono::milliseconds(500);
    LsLines lines(base, known);
    request.collectStandardOutput = false;
    const auto onOutput = [&lines](const QByteArray &piece, bool error) {
        if (!error)
            lines.feed(piece);
    };
    if (tools.work)
        tools.work->watch(request, onOutput);
    else
        request.onOutput = onOutput;
    const ProcessResult result = runProcess(request);
    lines.finish();
    if (!result.started) {
        logLine(QStringLiteral("ls命令执行失败: ") + result.errorString);
        return {};
    }
    if (tools.work && tools.work->shouldEnd())
        return {};
    QByteArray said;
    for (const QByteArray &path : lines.hits()) {
        appendLogLine(said, "ls命令找到额外._文件: ", path);
        logBurst(said);
    }
    logBurst(said, 1);
    if (looks)
        looks->append(lines.takeLooks());
    return lines.takeHits();
}

} // namespace AppleDoubleSearch
