#pragma once

#include "cleaning/CleanRequest.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class HeldVolume;

// What our deleting tools share: the request read from standard input (at
// most CleanRequest::kMaxBytes), its volume opened and checked, one answer per
// item on standard output and nothing else there (diagnostics, ours and the
// engine's, go to standard error with control characters escaped), and the
// exit status (CleanAnswer::Exit: 0, every item gone; 1, some are not; 2, the
// request or the volume cannot be used; 3, stopped before its last item). A
// "working" line says the tool runs (once the request is read, and now and
// then inside a large folder item); each answer is written as soon as its
// item is done; SIGTERM, or answers that can no longer be written, stop the
// run before the next item (status 3).
namespace ToolMain {

struct Tool
{
    const char *name;          // prefix of its messages
    const char *purpose;       // the usage text's second line
    // Opens the request's volume, or says why not.
    std::function<std::unique_ptr<HeldVolume>(const CleanRequest &, QString *why)> openVolume;
};

// Runs `clean` (0 when the item is gone afterwards, else why not) for the
// items `order` lists (all of them, in request order, without an `order`).
int run(const Tool &tool, int argc, char **argv,
        const std::function<int(HeldVolume &, const CleanRequest &, const CleanRequest::Item &)> &clean,
        const std::function<QList<qsizetype>(const CleanRequest &)> &order = {});

// Shows progress inside an item now and then (a line the app counts as a
// sign of life, no answer): for the removal of a folder with many entries.
void working();

// A line on standard error, control characters escaped.
void say(const QByteArray &line);

// A path for those lines: control characters and backslashes written as
// \xNN, so no name can forge a line and every name reads back exactly.
QByteArray shown(const QByteArray &path);

} // namespace ToolMain
