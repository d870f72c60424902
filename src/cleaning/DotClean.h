#pragma once

#include "cleaning/FileType.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

class HeldVolume;

// Our dot_clean tool (tools/dot_clean.cpp) and the checks around it. The tool
// starts in the held volume's root (its working directory is the held handle,
// never the root looked up again by path) and removes exactly the AppleDouble
// files of the clean request on its standard input; it exits 0 when all are
// gone and 1 when some remain.
namespace DotClean {

struct Tools
{
    QString dotClean;                       // path of our tool
    QString ls = QStringLiteral("ls");
};

// Where the app finds the tool: where `cmake --install` puts it.
QString defaultToolPath();

struct Run
{
    // The tool exited 0, or exited otherwise but the root listing shows no
    // "._" name; false when it could not be started or the listing still
    // shows one (or fails).
    bool ok = false;
    // What the tool answered "removed", whatever its exit status (it may have
    // stopped half-way, its volume gone), less anything the volume still
    // shows at that path.
    QList<FileItem> removed;
};

// Runs the tool for `items` (inside the volume).
Run runDotClean(const Tools &tools, HeldVolume &volume, const QList<FileItem> &items);

// True when `ls -la` of the held root ran and shows no name starting with "._".
bool verifyAppleDoubleFilesCleaned(const Tools &tools, const HeldVolume &volume);

// Splits the items into (removed, remaining), in input order: removed only
// when the held volume answers that nothing is at its path any more.
std::pair<QList<FileItem>, QList<FileItem>> checkAppleDoubleItemsRemoved(HeldVolume &volume,
                                                                        const QList<FileItem> &items);

} // namespace DotClean
