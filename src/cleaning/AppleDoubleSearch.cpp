#include "cleaning/AppleDoubleSearch.h"

#include "cleaning/PathHandles.h"
#include "cleaning/SafeRemove.h"
#include "cleaning/VolumeWalker.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"

#include <QFile>

#include <algorithm>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

namespace AppleDoubleSearch {

namespace {

using pathhandles::childPath;
using pathhandles::lastComponent;
using pathhandles::withoutTrailingSlashes;

// Keeps the hit, and what the look at it saw when the caller wants that.
void keep(QList<QByteArray> &hits, QList<pathhandles::ItemLook> *looks, const QByteArray &path,
          const pathhandles::ItemLook &look)
{
    hits.append(path);
    if (looks)
        looks->append(look);
}

// Is `path` strictly below `root`, component by component, with no "." or
// ".." step that could lead back out, and does its last component start with "._"?
bool isAppleDoubleBelow(const QByteArray &root, const QByteArray &path)
{
    return SafeRemove::isInside(root, path) && lastComponent(path).startsWith("._");
}

// Looks (lstat) at hits folder by folder: find lists the hits of a folder
// together, and they are looked at through one handle on it, so the path
// to the folder is resolved once, not once per hit (on a FUSE volume every
// step of a path whose cached entry has expired is a round trip).
class FolderLooks
{
public:
    std::optional<struct stat> lstat(QByteArrayView path)
    {
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArrayView folder = path.first(std::max<qsizetype>(slash, 1));
        if (!m_opened || folder != m_folder) {
            m_opened = true;
            m_folder = folder.toByteArray();
            m_fd.reset(::open(m_folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        struct stat st;
        const QByteArray name = path.sliced(slash + 1).toByteArray();
        if (m_fd.get() < 0 || ::fstatat(m_fd.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return std::nullopt;
        return st;
    }

private:
    QByteArray m_folder;
    pathhandles::Handle m_fd;
    bool m_opened = false;
};

// find's NUL-separated output, taken a piece at a time as find writes it:
// each whole field is checked and looked at as soon as it is there, so the
// looks go on while find still searches.
class FindOutput
{
public:
    FindOutput(QByteArray base, QList<pathhandles::ItemLook> *looks, VolumeWork *work)
        : m_base(std::move(base)), m_looks(looks), m_work(work)
    {
    }

    void feed(QByteArrayView piece)
    {
        for (;;) {
            const qsizetype end = piece.indexOf('\0');
            if (end < 0) {
                m_partial.append(piece);
                return;
            }
            if (m_partial.isEmpty()) {
                field(piece.first(end));
            } else {
                m_partial.append(piece.first(end));
                field(m_partial);
                m_partial.clear();
            }
            piece = piece.sliced(end + 1);
        }
    }

    // The hits, once the last field (which need not end in NUL) is in.
    QList<QByteArray> finish()
    {
        if (!m_partial.isEmpty())
            field(std::exchange(m_partial, QByteArray()));
        return std::move(m_hits);
    }

private:
    void field(QByteArrayView bytes)
    {
        if (bytes.isEmpty())
            return;
        const QByteArray path = bytes.toByteArray();
        logUtf8("找到._文件: ", path);
        if (m_work)
            m_work->beat();
        const std::optional<struct stat> st = isAppleDoubleBelow(m_base, path) ? m_folders.lstat(path) : std::nullopt;
        if (st)
            keep(m_hits, m_looks, path, pathhandles::lookOf(*st));
        else
            logUtf8("警告: 文件不存在或无法访问: ", path);
    }

    QByteArray m_base;
    QList<pathhandles::ItemLook> *m_looks;
    VolumeWork *m_work;
    QByteArray m_partial;
    QList<QByteArray> m_hits;
    FolderLooks m_folders;
};

} // namespace

std::optional<QList<QByteArray>> findAppleDoubleFilesWithFind(const QByteArray &root, const Tools &tools,
                                                              QList<pathhandles::ItemLook> *looks)
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
    // The hits are checked while find runs; their lines wait until it is
    // known whether its output counts (their count comes first).
    QList<pathhandles::ItemLook> streamedLooks;
    FindOutput streamed(base, looks ? &streamedLooks : nullptr, tools.work);
    std::optional<LogCapture> hitLines(std::in_place);
    const auto onOutput = [&](const QByteArray &piece, bool error) {
        if (!error)
            streamed.feed(piece);
    };
    if (tools.work)
        tools.work->watch(request, onOutput);
    else
        request.onOutput = onOutput;
    const ProcessResult result = runProcess(request);
    QList<QByteArray> streamedHits = streamed.finish();
    const QByteArray heldLines = hitLines->finish();
    hitLines.reset();
    const auto takeStreamed = [&] {
        logLine(QStringLiteral("find命令执行成功，找到 ") + QString::number(result.standardOutput.count('\0') + 1)
                + QStringLiteral(" 个可能的._文件"));
        logCaptured(heldLines);
        if (looks)
            *looks = std::move(streamedLooks);
        return std::move(streamedHits);
    };

    if (!result.started) {
        logLine(QStringLiteral("启动find命令失败: ") + result.errorString);
        return std::nullopt;
    }
    if (result.timedOut)
        logLine(QStringLiteral("find命令执行超时，强制终止"));
    if (!result.standardError.isEmpty())
        logLine(QStringLiteral("find命令错误输出: ") + QString::fromUtf8(result.standardError));

    QList<QByteArray> hits;
    if (result.timedOut) {
        // Whatever it printed before the limit is not trusted to be complete.
        logLine(QStringLiteral("find命令因超时而终止"));
    } else if (tools.work && tools.work->shouldEnd()) {
        logLine(QStringLiteral("find命令随扫描一同结束"));
    } else if (result.exitedNormally() && result.exitCode == 0) {
        hits = takeStreamed();
    } else {
        // Unreadable folders make find exit 1; what it did print still counts.
        const int status = result.exitedNormally() ? result.exitCode : 128 + result.signal;
        logLine(QStringLiteral("find命令可能部分成功，状态码: ") + QString::number(status));
        if (!result.standardOutput.isEmpty())
            hits = takeStreamed();
    }
    logLine(QStringLiteral("find命令查找完成，有效._文件数量: ") + QString::number(hits.size()));
    return hits;
}

QList<QByteArray> parseFindOutput(const QByteArray &root, const QByteArray &output, QList<pathhandles::ItemLook> *looks,
                                  VolumeWork *work)
{
    const QByteArray base = withoutTrailingSlashes(root);
    logLine(QStringLiteral("find命令执行成功，找到 ") + QString::number(output.count('\0') + 1)
            + QStringLiteral(" 个可能的._文件"));
    FindOutput parsed(base, looks, work);
    parsed.feed(output);
    return parsed.finish();
}

QList<QByteArray> findAppleDoubleFilesFallback(const QByteArray &root, QList<pathhandles::ItemLook> *looks, VolumeWork *work)
{
    QList<QByteArray> hits;
    const auto onEntry = [&](const WalkEntry &entry) {
        if (work) {
            work->beat();
            if (work->shouldEnd())
                return WalkDecision{false, 0, true};
        }
        if (entry.isRegularFile && entry.name.startsWith("._")) {
            const QByteArray path = entry.path();
            logUtf8("备用方法找到._文件: ", path);
            if (!looks)
                hits.append(path);
            else if (const std::optional<struct stat> st = entry.lstat())
                keep(hits, looks, path, pathhandles::lookOf(*st));
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
    if (std::optional<QList<QByteArray>> hits = findAppleDoubleFilesWithFind(root, tools, looks))
        return *hits;
    logLine(QStringLiteral("尝试使用备用方法查找._文件..."));
    const QList<QByteArray> hits = findAppleDoubleFilesFallback(root, looks, tools.work);
    logLine(QStringLiteral("备用方法找到 ") + QString::number(hits.size()) + QStringLiteral(" 个._文件"));
    return hits;
}

QList<QByteArray> findAppleDoubleFilesWithLs(const QByteArray &root, const Tools &tools, QList<pathhandles::ItemLook> *looks,
                                             const std::function<bool(const QByteArray &)> &known)
{
    const QByteArray base = withoutTrailingSlashes(root);
    logLine(QStringLiteral("使用ls命令搜索额外的._文件..."));
    QList<QByteArray> hits;
    if (!base.startsWith('/')) {
        logLine(QStringLiteral("ls命令执行失败: ") + QStringLiteral("not an absolute path: ") + pathText(base));
        return hits;
    }

    ProcessRequest request;
    request.program = tools.ls;
    request.argumentBytes = {"-la", "--", base};
    // Plain "C" output: no translated dates, no locale quoting of names.
    request.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    request.timeout = tools.findTimeout;
    request.killGrace = std::chrono::milliseconds(500);
    if (tools.work)
        tools.work->watch(request);
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        logLine(QStringLiteral("ls命令执行失败: ") + result.errorString);
        return hits;
    }
    if (tools.work && tools.work->shouldEnd())
        return hits;

    for (const QByteArray &line : result.standardOutput.split('\n')) {
        if (!line.contains("._"))
            continue;
        const QList<QByteArray> words = line.split(' ');
        QByteArray name;
        for (auto it = words.crbegin(); it != words.crend(); ++it) {
            if (!it->isEmpty()) {
                name = *it;
                break;
            }
        }
        // Only a plain name of the root itself; what ls shows is checked
        // against the file system before it counts.
        if (!name.startsWith("._") || name.contains('/'))
            continue;
        const QByteArray path = childPath(base, name);
        if (hits.contains(path))
            continue;   // a link's line names its target too
        pathhandles::ItemLook look;
        if (!known || !known(path)) {
            struct stat st;
            if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            look = pathhandles::lookOf(st);
        }
        logUtf8("ls命令找到额外._文件: ", path);
        keep(hits, looks, path, look);
    }
    return hits;
}

} // namespace AppleDoubleSearch
