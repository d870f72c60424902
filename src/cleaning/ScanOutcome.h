#pragma once

#include "cleaning/FileType.h"
#include "cleaning/ScannedFolders.h"

#include <QByteArray>

#include <memory>
#include <utility>

// What a scan found and how it ended. A scan is complete unless the volume
// went away under it, stopped answering, the walk was cut short or the scan
// was asked to stop; folders it could not read for
// lack of permission are counted either way. A bare result is a complete scan.
struct ScanOutcome
{
    enum class End {
        complete,     // every folder that could be read was read
        volumeGone,   // the volume is no longer there (unmounted, or its file system's daemon gone)
        cutShort,     // the walk could not go on somewhere: `error` at `errorPath`
        notAnswering, // the volume stopped answering within the time limit: nothing found counts
        stopped,      // asked to stop before the end (the app quits): what was found so far
    };

    ScanOutcome() = default;
    ScanOutcome(ScanResult result) : found(std::move(result)) {}   // NOLINT: implicit on purpose

    ScanResult found;
    // The folders the walk met outside the junk it lists whole (none when it
    // did not walk), for the clean's alias check.
    std::shared_ptr<const ScannedFolders> folders;
    End end = End::complete;
    qint64 unreadableFolders = 0;   // skipped: the user may not read them
    int error = 0;                  // errno of what cut the walk short
    QByteArray errorPath;
};
