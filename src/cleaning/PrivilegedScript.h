#pragma once

#include <QByteArray>
#include <QList>

#include <functional>

// The shell script (POSIX sh) that deletes what the user may not delete, run
// as root in one go. Each path gets command groups chosen by its last path
// component (".Spotlight-V100", ".Trashes", ".fseventsd", "._*", anything
// else). Every path reaches the shell as one single-quoted literal word and
// every file operand follows "--", so no name can run anything; a symbolic
// link is removed itself and nothing is done through it.
namespace PrivilegedScript {

// 'text' with each ' written as '\''. Works on bytes: invalid UTF-8 and
// newlines pass unchanged.
QByteArray shellQuote(const QByteArray &text);

// The lines for one path. `newBackupName` makes the name of the temporary
// folder a Spotlight folder is moved to (a fresh one per Spotlight path).
QList<QByteArray> linesForPath(const QByteArray &path, const std::function<QByteArray()> &newBackupName);

// The whole script for a batch: the lines of all paths, path after path,
// joined with line feeds.
QByteArray buildScript(const QList<QByteArray> &paths);

} // namespace PrivilegedScript
