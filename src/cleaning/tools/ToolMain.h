#pragma once

#include "cleaning/CleanRequest.h"

#include <QByteArray>
#include <QList>

#include <functional>

class HeldVolume;

// What our deleting tools share: the request read from standard input, its
// volume opened and checked, one answer per item on standard output, the exit
// status (0: every item gone, 1: some are not, 2: the request or the volume
// cannot be used).
namespace ToolMain {

struct Tool
{
    const char *name;          // prefix of its messages
    const char *purpose;       // the usage text's second line
    bool absoluteRoot = false; // the root must be an absolute path (not ".")
};

// Runs `clean` (0 when the item is gone afterwards, else why not) for the
// items `order` lists (all of them, in request order, without an `order`).
int run(const Tool &tool, int argc, char **argv, const std::function<int(HeldVolume &, const CleanRequest::Item &)> &clean,
        const std::function<QList<qsizetype>(const CleanRequest &)> &order = {});

// A line on standard error.
void say(const QByteArray &line);

// A path for those lines: control characters and backslashes written as
// \xNN, so no name can forge a line.
QByteArray shown(const QByteArray &path);

} // namespace ToolMain
