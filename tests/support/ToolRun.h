#pragma once

// Our deleting tools (dot_clean, sweepbrook-admin-clean) and the test probes,
// run as child processes on a clean request: as root, or as the unprivileged
// account 65534 (setpriv).

#include "BytePaths.h"
#include "TestGuard.h"

#include "cleaning/CleanRequest.h"
#include "platform/ProcessRunner.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

// A folder only root can change, with every folder above it: the app runs a
// tool with administrator rights only from such a place, and the build tree
// may lie anywhere (below /tmp on some machines). Under /run, which root
// alone may write; readable and searchable by everyone, so an ordinary
// account can run what lies there. Removed when the test ends (by the
// guard, should it be killed).
inline QString trustedFolder()
{
    static QTemporaryDir folder(QStringLiteral("/run/sweepbrook-tools-XXXXXX"));
    static const QString path = [] {
        if (!folder.isValid())
            return QString();
        ::chmod(QFile::encodeName(folder.path()).constData(), 0755);
        guardRemoves(QFile::encodeName(folder.path()));
        return folder.path();
    }();
    return path;
}

// A copy of a built tool in trustedFolder(), owned by root and changed by no
// one else; the tool itself when there is no such folder (not root).
inline QString trustedCopyOf(const QString &tool)
{
    const QString folder = trustedFolder();
    if (folder.isEmpty() || ::geteuid() != 0)
        return tool;
    const QString copy = folder + u'/' + QFileInfo(tool).fileName();
    if (!QFileInfo::exists(copy) && QFile::copy(tool, copy))
        ::chmod(QFile::encodeName(copy).constData(), 0755);
    return copy;
}

// setpriv with the arguments that make what follows run as the account 65534.
inline QStringList asNobody()
{
    return {findExecutable(QStringLiteral("setpriv")), QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
            QStringLiteral("--clear-groups")};
}

// Why `probe` cannot be run as the account 65534 here; empty when it can.
// Started without arguments, a probe exits 2.
inline QString whyNotAsNobody(const QString &probe)
{
    if (::geteuid() != 0)
        return QStringLiteral("running as another account needs root");
    if (findExecutable(QStringLiteral("setpriv")).isEmpty())
        return QStringLiteral("setpriv (util-linux) is not installed");
    QStringList command = asNobody() << probe;
    ProcessRequest request;
    request.program = command.takeFirst();
    request.arguments = command;
    request.timeout = std::chrono::seconds(30);
    // Anything else means the account cannot run it here (a build folder it
    // may not enter, for instance).
    return runProcess(request).exitCode == 2 ? QString() : QStringLiteral("the probe does not run as nobody here");
}

// The request our tools read for `items` of the volume at `root`, with
// `rootField` as its root ("." for a tool started in the held root; the
// root's path when empty). Each item goes by its path below the root as it is
// written (also with "." or ".."), one elsewhere by its whole path; one that
// is not there as a file of the root's device, whose inode is never looked at.
inline CleanRequest requestFor(const QByteArray &root, const QList<FileItem> &items, const QByteArray &rootField = {})
{
    const FileItem top = scannedItem(root);
    CleanRequest request;
    request.root = rootField.isEmpty() ? root : rootField;
    request.device = top.device;
    request.rootInode = top.inode;
    for (const FileItem &item : items) {
        const QByteArray path = item.fsPath();
        const QByteArray relative = path.startsWith(root + '/') ? path.mid(root.size() + 1) : path;
        request.items.append(item.hasIdentity() ? CleanRequest::Item::of(relative, item)
                                                : CleanRequest::Item{relative, ItemKind::file, top.device, 1});
    }
    return request;
}

struct ToolRun
{
    int exitCode = -1;   // -1: it did not exit normally
    QHash<qsizetype, int> answers;
    QByteArray output;
    QByteArray errors;

    // The items it answered removed, or (removed false) did not.
    QList<FileItem> answered(const QList<FileItem> &items, bool removed) const
    {
        QList<FileItem> chosen;
        for (qsizetype i = 0; i < items.size(); ++i) {
            if ((answers.value(i, -1) == 0) == removed)
                chosen << items.at(i);
        }
        return chosen;
    }
};

// Runs `command` (a program and its arguments) with `input` on its standard
// input; `prepare` may set more of the process (its working directory).
inline ToolRun runTool(QStringList command, const QByteArray &input,
                       const std::function<void(ProcessRequest &)> &prepare = {})
{
    ProcessRequest process;
    process.program = command.takeFirst();
    process.arguments = command;
    process.standardInput = input;
    process.timeout = std::chrono::seconds(60);
    if (prepare)
        prepare(process);
    const ProcessResult result = runProcess(process);
    return {result.exitedNormally() ? result.exitCode : -1, CleanAnswer::parse(result.standardOutput),
            result.standardOutput, result.standardError};
}

} // namespace testsupport
