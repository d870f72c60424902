#pragma once

// The processes bench_scan times, each beside the others in the same run:
// the floors (a bare walk, find, ls, xargs rm, find and rm together) and the
// benchmark's own child, which scans (and cleans) as the app does.

#include "cleaning/FileType.h"
#include "platform/ProcessRunner.h"

#include "StickTree.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <optional>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace bench::timedprocesses {

using bench::say;

struct Timed
{
    double milliseconds = 0;
    ProcessResult result;
};

// Standard output read as it comes and dropped, not held: holding a scan's
// hundreds of MB of lines, this process would take longer to store them
// (memory faulted in as the buffer grows) than the scan takes to make them,
// and the child would wait for it.
inline void dropOutput(ProcessRequest &request)
{
    request.collectStandardOutput = false;
    request.onOutput = [](const QByteArray &, bool) {};
}

// The newlines in a piece, 16 bytes at a time: the reader should cost no
// more than `wc -l` does, or a scan's hundreds of MB of lines would wait for
// this process rather than the pipe.
inline qint64 newlinesIn(const QByteArray &piece)
{
    const char *at = piece.constData();
    const char *const end = at + piece.size();
    qint64 count = 0;
#ifdef __SSE2__
    const __m128i newline = _mm_set1_epi8('\n');
    for (; end - at >= 16; at += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        count += __builtin_popcount(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(block, newline))));
    }
#endif
    return count + std::count(at, end, '\n');
}

// The same, counted in lines (`lines`).
inline void countLines(ProcessRequest &request, qint64 &lines)
{
    request.collectStandardOutput = false;
    request.onOutput = [&lines](const QByteArray &piece, bool error) {
        if (!error)
            lines += newlinesIn(piece);
    };
}

inline Timed timed(ProcessRequest request)
{
    request.timeout = std::chrono::minutes(30);
    QElapsedTimer timer;
    timer.start();
    Timed out;
    out.result = runProcess(request);
    out.milliseconds = double(timer.nsecsElapsed()) / 1e6;
    if (!out.result.succeeded() && !out.result.started)
        say(request.program + QStringLiteral(": ") + out.result.errorString);
    return out;
}

inline Timed floorWalk(const QString &root, bool statFiles)
{
    ProcessRequest request;
    request.program = QStringLiteral(SWEEPBROOK_FLOOR_WALK);
    request.arguments = statFiles ? QStringList{QStringLiteral("-l"), root} : QStringList{root};
    return timed(request);
}

// The AppleDouble pre-search's own find, as the scan runs it.
inline Timed findAppleDouble(const QString &root)
{
    ProcessRequest request;
    dropOutput(request);
    request.program = QStringLiteral("find");
    request.arguments = {root, "-xdev", "-name", "._*", "-type", "f", "-print0"};
    return timed(request);
}

inline Timed findEverything(const QString &root)
{
    ProcessRequest request;
    dropOutput(request);
    request.program = QStringLiteral("find");
    request.arguments = {root, QStringLiteral("-xdev")};
    return timed(request);
}

// The look at a FAT or exFAT root the pre-search makes after find, as it runs it.
inline Timed listRoot(const QString &root)
{
    ProcessRequest request;
    dropOutput(request);
    request.program = QStringLiteral("ls");
    request.arguments = {QStringLiteral("-la"), QStringLiteral("--"), root};
    request.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    return timed(request);
}

inline Timed findCatalogue(const QString &root)
{
    ProcessRequest request;
    dropOutput(request);
    request.program = QStringLiteral("find");
    request.arguments = {root, QStringLiteral("-xdev"), QStringLiteral("(")};
    bool first = true;
    for (auto it = FileTypes::junkFilePatterns().cbegin(); it != FileTypes::junkFilePatterns().cend(); ++it) {
        for (const QString &pattern : it.value()) {
            if (pattern.contains('/'))
                continue;
            if (!first)
                request.arguments << QStringLiteral("-o");
            first = false;
            request.arguments << (pattern.contains('*') ? QStringLiteral("-iname") : QStringLiteral("-name")) << pattern;
        }
    }
    request.arguments << QStringLiteral(")") << QStringLiteral("-print");
    return timed(request);
}

// `xargs -0 rm -rf --` of a NUL-separated list.
inline Timed removeList(const QByteArray &list)
{
    ProcessRequest request;
    request.program = QStringLiteral("xargs");
    request.arguments = {QStringLiteral("-0"), QStringLiteral("rm"), QStringLiteral("-rf"), QStringLiteral("--")};
    request.standardInput = list;
    return timed(request);
}

// The whole job done by hand: `find <root> -xdev -name .DS_Store -print0 |
// xargs -0 rm --` (the root is the shell's argument, never its text).
inline Timed findAndRemove(const QString &root)
{
    ProcessRequest request;
    request.program = QStringLiteral("sh");
    request.arguments = {QStringLiteral("-c"), QStringLiteral("find \"$1\" -xdev -name .DS_Store -print0 | xargs -0 rm --"),
                         QStringLiteral("sh"), root};
    return timed(request);
}

// What a child reports on the last line of its standard error.
struct ChildFigures
{
    double milliseconds = 0;
    qint64 items = 0;
    qint64 peakKiB = 0;     // peak memory above the start
    qint64 writes = 0;      // scan: write calls during it
    qint64 failed = 0;      // clean: items reported failed
    qint64 scanPeakKiB = 0; // clean: the peak of the scan before it
    double scanMilliseconds = 0;   // clean: the scan before it
    qint64 stdoutLines = 0;
};

inline std::optional<ChildFigures> runChild(const QStringList &args)
{
    ProcessRequest request;
    request.program = QCoreApplication::applicationFilePath();
    request.arguments = args;
    qint64 lines = 0;
    countLines(request, lines);
    const Timed run = timed(request);
    const QList<QByteArray> fields = run.result.standardError.trimmed().split('\n').constLast().split(' ');
    const bool isScan = args.first() == QLatin1String("--scan");
    if (!run.result.succeeded() || fields.size() != (isScan ? 4 : 6)) {
        say(QStringLiteral("child %1 failed: %2").arg(args.join(' '), QString::fromUtf8(run.result.standardError.right(2000))));
        return std::nullopt;
    }
    ChildFigures figures{fields[0].toDouble(), fields[1].toLongLong(), 0, 0, 0, 0, 0, lines};
    figures.peakKiB = fields[2].toLongLong();
    if (isScan) {
        figures.writes = fields[3].toLongLong();
    } else {
        figures.failed = fields[3].toLongLong();
        figures.scanPeakKiB = fields[4].toLongLong();
        figures.scanMilliseconds = fields[5].toDouble();
    }
    return figures;
}

} // namespace bench::timedprocesses
