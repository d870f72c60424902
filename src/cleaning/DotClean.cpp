#include "cleaning/DotClean.h"

#include "cleaning/PathHandles.h"
#include "cleaning/SafeRemove.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringDecoder>

#include <sys/stat.h>

namespace DotClean {

QString defaultToolPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/dot_clean");
}

bool runDotClean(const Tools &tools, const QByteArray &root, const QList<QByteArray> &paths)
{
    logLine(QStringLiteral("使用dot_clean命令处理exFAT设备上的._文件: ") + pathText(root));

    // The tool takes paths relative to its working directory, the root.
    const QByteArray base = pathhandles::withoutTrailingSlashes(root);
    const qsizetype prefixLength = base == "/" ? 1 : base.size() + 1;
    QByteArray input;
    for (const QByteArray &path : paths) {
        if (!SafeRemove::isInside(root, path)) {
            logLine(QStringLiteral("跳过不在设备内的路径: ") + pathText(path));
            continue;
        }
        input += path.mid(prefixLength);
        input += '\0';
    }

    ProcessRequest request;
    request.program = tools.dotClean;
    request.workingDirectory = pathText(root);
    request.standardInput = input;
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        logLine(QStringLiteral("启动dot_clean命令失败: ") + result.errorString);
        return false;
    }
    if (!result.standardOutput.isEmpty())
        logLine(QStringLiteral("dot_clean命令输出: ") + QString::fromUtf8(result.standardOutput));
    if (!result.standardError.isEmpty())
        logLine(QStringLiteral("dot_clean命令错误输出: ") + QString::fromUtf8(result.standardError));

    // A child ended by a signal reports the signal's number as its status.
    const int status = result.signal != 0 ? result.signal : result.exitCode;
    const bool ok = result.succeeded() || verifyAppleDoubleFilesCleaned(tools, root);
    logLine(QStringLiteral("dot_clean命令执行") + (ok ? QStringLiteral("成功") : QStringLiteral("失败"))
            + QStringLiteral("，状态码: ") + QString::number(status));
    return ok;
}

bool verifyAppleDoubleFilesCleaned(const Tools &tools, const QByteArray &root)
{
    logLine(QStringLiteral("检查._文件是否已被清理: ") + pathText(root));

    ProcessRequest request;
    request.program = tools.ls;
    request.arguments = {QStringLiteral("-la"), pathText(root)};
    request.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    const ProcessResult result = runProcess(request);
    if (!result.started) {
        logLine(QStringLiteral("检查._文件清理状态失败: ") + result.errorString);
        return false;
    }

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(result.standardOutput);
    if (decoder.hasError())
        return false;

    int remaining = 0;
    for (const QString &line : text.split(u'\n')) {
        const QStringList words = line.split(u' ', Qt::SkipEmptyParts);
        if (!words.isEmpty() && words.last().startsWith(QStringLiteral("._"))) {
            ++remaining;
            logLine(QStringLiteral("发现仍存在的._文件: ") + words.last());
        }
    }
    logLine(QStringLiteral("._文件清理状态: ")
            + (remaining == 0 ? QStringLiteral("成功")
                              : QStringLiteral("失败，还有") + QString::number(remaining) + QStringLiteral("个文件未清理")));
    return remaining == 0;
}

std::pair<QList<FileItem>, QList<FileItem>> checkAppleDoubleItemsRemoved(const QList<FileItem> &items)
{
    QList<FileItem> removed;
    QList<FileItem> remaining;
    for (const FileItem &item : items) {
        struct stat st;
        if (::lstat(item.fsPath().constData(), &st) == 0) {
            logLine(QStringLiteral("._文件清理失败，仍然存在: ") + item.path);
            remaining.append(item);
        } else {
            logLine(QStringLiteral("._文件已被成功清理: ") + item.path);
            removed.append(item);
        }
    }
    return {removed, remaining};
}

} // namespace DotClean
