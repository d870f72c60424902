#include "cleaning/DotClean.h"

#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"

#include <QSet>
#include <QStringDecoder>

#include <cerrno>

namespace {

// The name an `ls -la` line shows (C locale): everything after the mode, link
// count, owner, group, size (a device's "major, minor") and the three date
// fields, spaces and all. Empty for a line that names nothing ("total 12").
QString listedName(const QString &line)
{
    int fields = 8;
    qsizetype at = 0;
    for (int field = 0; field < fields; ++field) {
        while (at < line.size() && line.at(at) == u' ')
            ++at;
        const qsizetype start = at;
        while (at < line.size() && line.at(at) != u' ')
            ++at;
        if (at == start)
            return {};
        if (field == 4 && line.at(at - 1) == u',')
            ++fields;
    }
    return line.mid(at + 1);
}

} // namespace

namespace DotClean {

QString defaultToolPath()
{
    return QStringLiteral(SWEEPBROOK_TOOLS_DIR "/dot_clean");
}

Run runDotClean(const Tools &tools, HeldVolume &volume, const QList<FileItem> &items)
{
    logLine(QStringLiteral("使用dot_clean命令处理exFAT设备上的._文件: ") + pathText(volume.root()));

    // The tool takes paths relative to its working directory, the held root.
    CleanRequest request;
    request.root = ".";
    request.device = volume.device();
    request.rootInode = volume.rootInode();
    QList<const FileItem *> asked;   // by request index
    QSet<QByteArray> named;          // the tool refuses a request that names an item twice
    for (const FileItem &item : items) {
        const std::optional<QByteArray> relative = volume.relativePath(item.fsPath());
        if (!relative || !item.hasIdentity()) {
            logLine(QStringLiteral("跳过不在设备内的路径: ") + item.path());
            continue;
        }
        if (named.contains(*relative))
            continue;   // the ordinary removal finds it gone
        named.insert(*relative);
        request.items.append(CleanRequest::Item::of(*relative, item));
        asked.append(&item);
    }

    ProcessRequest run;
    run.program = tools.dotClean;
    run.workingDirectoryFd = volume.rootFd();
    run.standardInput = request.encode();
    VolumeWork *work = volume.work();
    CleanAnswer::Stream stream;
    if (work) {
        // Each item it answered removed is known gone at once: a clean given
        // up half-way still counts it.
        work->watch(run, [&](const QByteArray &piece, bool error) {
            if (error)
                return;
            const QHash<qsizetype, int> answers = stream.feed(piece);
            for (auto it = answers.cbegin(); it != answers.cend(); ++it) {
                if (it.value() == 0 && it.key() < asked.size())
                    work->removed(*asked.at(it.key()));
            }
        });
    }
    const ProcessResult result = work ? work->run(run) : runProcess(run);
    if (!result.started) {
        logLine(QStringLiteral("启动dot_clean命令失败: ") + result.errorString);
        return {};
    }
    if (result.givenUp) {
        // The volume stopped answering: its word is all there is.
        logLine(QStringLiteral("dot_clean命令已放弃：设备没有响应"));
        Run outcome;
        const QHash<qsizetype, int> answers = CleanAnswer::parse(result.standardOutput);
        for (qsizetype i = 0; i < asked.size(); ++i) {
            if (answers.value(i, -1) == 0)
                outcome.removed.append(*asked.at(i));
        }
        return outcome;
    }
    if (!result.standardOutput.isEmpty())
        logLine(QStringLiteral("dot_clean命令输出: ") + QString::fromUtf8(result.standardOutput));
    if (!result.standardError.isEmpty())
        logLine(QStringLiteral("dot_clean命令错误输出: ") + QString::fromUtf8(result.standardError));

    // A child ended by a signal reports the signal's number as its status.
    const int status = result.signal != 0 ? result.signal : result.exitCode;
    Run outcome;
    // A run stopped on request is no clean root: the listing would prove nothing.
    outcome.ok = result.succeeded() || (!(work && work->shouldEnd()) && verifyAppleDoubleFilesCleaned(tools, volume));
    logLine(QStringLiteral("dot_clean命令执行") + (outcome.ok ? QStringLiteral("成功") : QStringLiteral("失败"))
            + QStringLiteral("，状态码: ") + QString::number(status));
    // Each "removed" the tool gave stands, unless the item is plainly still
    // there: a volume that stopped answering cannot say otherwise.
    // The looks go folder by folder, as the tool went; the results keep the caller's order.
    const QHash<qsizetype, int> answers = CleanAnswer::parse(result.standardOutput);
    QList<QByteArray> relatives;
    for (const CleanRequest::Item &item : std::as_const(request.items))
        relatives << item.relative;
    QList<bool> gone(asked.size(), false);
    for (const qsizetype i : byFolder(relatives)) {
        if (answers.value(i, -1) != 0)
            continue;
        if (volume.look(request.items.at(i).relative).error != 0)
            gone[i] = true;
        else if (work)
            work->stillPresent(*asked.at(i));
    }
    for (qsizetype i = 0; i < asked.size(); ++i) {
        if (gone.at(i))
            outcome.removed.append(*asked.at(i));
    }
    return outcome;
}

bool verifyAppleDoubleFilesCleaned(const Tools &tools, const HeldVolume &volume)
{
    logLine(QStringLiteral("检查._文件是否已被清理: ") + pathText(volume.root()));

    ProcessRequest request;
    request.program = tools.ls;
    request.arguments = {QStringLiteral("-la"), QStringLiteral(".")};
    request.workingDirectoryFd = volume.rootFd();
    request.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    if (VolumeWork *work = volume.work())
        work->watch(request);
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        logLine(QStringLiteral("检查._文件清理状态失败: ") + result.errorString);
        return false;
    }
    // A listing that failed (a volume gone, a folder that cannot be read)
    // shows nothing, which proves nothing.
    if (!result.succeeded()) {
        logLine(QStringLiteral("检查._文件清理状态失败: ") + QString::fromUtf8(result.standardError).trimmed());
        return false;
    }

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(result.standardOutput);
    if (decoder.hasError())
        return false;

    int remaining = 0;
    for (const QString &line : text.split(u'\n')) {
        const QString name = listedName(line);
        if (name.startsWith(QStringLiteral("._"))) {
            ++remaining;
            logLine(QStringLiteral("发现仍存在的._文件: ") + name);
        }
    }
    logLine(QStringLiteral("._文件清理状态: ")
            + (remaining == 0 ? QStringLiteral("成功")
                              : QStringLiteral("失败，还有") + QString::number(remaining) + QStringLiteral("个文件未清理")));
    return remaining == 0;
}

std::pair<QList<FileItem>, QList<FileItem>> checkAppleDoubleItemsRemoved(HeldVolume &volume,
                                                                        const QList<FileItem> &items)
{
    QList<FileItem> removed;
    QList<FileItem> remaining;
    for (const FileItem &item : items) {
        if (volume.work() && volume.work()->shouldEnd()) {
            remaining.append(item);   // not looked at: the clean stops here
            continue;
        }
        const std::optional<QByteArray> relative = volume.relativePath(item.fsPath());
        const int error = relative ? volume.look(*relative).error : EINVAL;
        if (error == ENOENT) {
            logLine(QStringLiteral("._文件已被成功清理: ") + item.path());
            removed.append(item);
            if (volume.work())
                volume.work()->removed(item);
        } else {
            logLine(QStringLiteral("._文件清理失败，仍然存在: ") + item.path());
            remaining.append(item);
        }
    }
    return {removed, remaining};
}

} // namespace DotClean
