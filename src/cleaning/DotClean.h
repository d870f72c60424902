#pragma once

#include "cleaning/FileType.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// Our dot_clean tool (tools/dot_clean.cpp) and the checks around it. The tool
// runs with the volume root as its working directory and removes exactly the
// AppleDouble files it is handed (paths relative to the root, NUL-separated
// on standard input); it exits 0 when all are gone and 1 when some remain.
namespace DotClean {

struct Tools
{
    QString dotClean;                       // path of our tool
    QString ls = QStringLiteral("ls");
};

// Where the app finds the tool: beside its own executable.
QString defaultToolPath();

// Runs the tool for `paths` (absolute, inside root). True when it exited 0,
// or exited otherwise but the root listing shows no "._" name; false when it
// could not be started or the listing still shows one (or fails).
bool runDotClean(const Tools &tools, const QByteArray &root, const QList<QByteArray> &paths);

// True when `ls -la root` shows no name starting with "._".
bool verifyAppleDoubleFilesCleaned(const Tools &tools, const QByteArray &root);

// Splits the items into (removed, remaining) by whether anything is still at
// their path, in input order.
std::pair<QList<FileItem>, QList<FileItem>> checkAppleDoubleItemsRemoved(const QList<FileItem> &items);

} // namespace DotClean
