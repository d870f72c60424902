#pragma once

#include "cleaning/AppleDoubleSearch.h"
#include "cleaning/FileMatcher.h"
#include "cleaning/FileType.h"
#include "cleaning/ScanOutcome.h"

#include <QByteArray>
#include <QStringList>

#include <memory>

class VolumeWork;

// The scan of one mounted volume: the AppleDouble pre-search (when temporary
// files are wanted), the two passes over the root and the walk, each item
// asked of the matcher. A folder listed whole (and so deleted with all it
// holds) holds no kept name: one that does is listed piece by piece instead.
// Every item found records what it was (kind, device, inode), so a clean can
// refuse what changed since. Blocking: runs on a background thread.
class VolumeScanner
{
public:
    struct Request
    {
        QByteArray root;                 // the volume's mount path
        FileTypeSet fileTypes;           // the kinds of this scan
        QStringList customExtensions;
        QStringList excludedPatterns;
        bool isFAT = false;              // FAT or exFAT: the `ls` look and the Spotlight rule
        AppleDoubleSearch::Tools tools;
        // Whoever waits for the scan: every entry read is its progress, and
        // it ends the walk early when asked to stop. May be none.
        std::shared_ptr<VolumeWork> work;
    };

    explicit VolumeScanner(Request request);
    ~VolumeScanner();
    VolumeScanner(const VolumeScanner &) = delete;
    VolumeScanner &operator=(const VolumeScanner &) = delete;

    // Can the volume be scanned at all: it exists and its root can be listed
    // (else the errno in *error).
    static bool canScan(const QByteArray &root, int *error = nullptr);

    // The pre-search (when temporary files are wanted), then the walk.
    ScanResult run();

    // The walk alone, after `initial` (what a pre-search found).
    ScanResult walk(ScanResult initial);

    // The pre-search alone: find (or its fallback), and on FAT volumes the
    // `ls` look at the root; the hits join `result` as temporary files.
    void preSearch(ScanResult &result);

    // What the walks so far could not read: folders refused for lack of
    // permission (junk ones aside, they are listed whole), and the first error
    // of any other kind, which cut the walk short there. Folders gone
    // meanwhile are neither.
    struct Problems
    {
        qint64 unreadableFolders = 0;
        int error = 0;
        QByteArray errorPath;
    };
    const Problems &problems() const { return m_problems; }
    // `found` with those problems: an error cut the walk short.
    ScanOutcome outcome(ScanResult found) const;

private:
    class ResultBuilder;   // VolumeScannerResult.h
    class BesideSearch;    // VolumeScannerBeside.h
    class Walk;            // VolumeScannerWalk.cpp
    class Meeting;         // VolumeScannerMeet.cpp
    void preSearchInto(ResultBuilder &result);
    // `beside`: the pre-search runs meanwhile; `result` is then the walk's own.
    void walkInto(ResultBuilder &result, BesideSearch *beside = nullptr);
    // The pre-search's result and the walk's, as if the walk had come after.
    void meet(ResultBuilder &result, ResultBuilder &walked, BesideSearch &beside);
    void logSummary(const ScanResult &result);
    void cutShort(int error, const QByteArray &path);

    Request m_request;
    FileMatcher m_matcher;
    Problems m_problems;
    std::shared_ptr<const ScannedFolders> m_folders;   // of the last walk
};
