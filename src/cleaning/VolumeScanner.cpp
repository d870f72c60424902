// The scan of a volume: the pre-search beside the walk, and what they found.
// The walk is in VolumeScannerWalk.cpp, where the two meet in
// VolumeScannerMeet.cpp, the result they build in VolumeScannerResult.h.
#include "cleaning/VolumeScanner.h"

#include "cleaning/VolumeScannerBeside.h"
#include "cleaning/VolumeScannerResult.h"
#include "cleaning/VolumeWalker.h"
#include "cleaning/VolumeWork.h"
#include "localization/ByteCountFormat.h"
#include "platform/LinesInOrder.h"
#include "platform/Log.h"

#include <thread>

VolumeScanner::VolumeScanner(Request request)
    : m_request(std::move(request))
    , m_matcher(FileTypes::junkFilePatterns(), m_request.fileTypes, m_request.customExtensions,
                m_request.excludedPatterns)
{
    m_request.root = pathhandles::withoutTrailingSlashes(m_request.root);
    m_request.tools.work = m_request.work.get();
}

VolumeScanner::~VolumeScanner() = default;

ScanOutcome VolumeScanner::outcome(ScanResult found) const
{
    ScanOutcome outcome(std::move(found));
    outcome.folders = m_folders;
    outcome.unreadableFolders = m_problems.unreadableFolders;
    if (m_problems.error != 0) {
        outcome.end = ScanOutcome::End::cutShort;
        outcome.error = m_problems.error;
        outcome.errorPath = m_problems.errorPath;
    }
    if (m_request.work && m_request.work->shouldEnd())
        outcome.end = ScanOutcome::End::stopped;
    return outcome;
}

void VolumeScanner::cutShort(int error, const QByteArray &path)
{
    if (m_problems.error != 0)
        return;   // the first one says where
    m_problems.error = error;
    m_problems.errorPath = path;
}

bool VolumeScanner::canScan(const QByteArray &root, int *error)
{
    // The first entries tell: the walk reads the rest (and says when it cannot).
    return VolumeWalker::canList(root, error);
}

ScanResult VolumeScanner::run()
{
    ResultBuilder result(m_request.root, {});
    if (!m_request.fileTypes.contains(FileType::temporaryFiles)) {
        walkInto(result);
        return result.take();
    }
    // The pre-search (a child process, mostly) runs beside the walk; they
    // meet once both are done, and give what one after the other would have.
    // The walk's result fills a part of the same arena, so its items move
    // over as they are.
    ResultBuilder walked(m_request.root, {}, &result);
    BesideSearch beside;
    {
        VolumeWork *work = m_request.work.get();
        std::jthread preSearch([&] {
            preSearchInto(result);
            beside.preSearchStopped = work && work->shouldEnd();
        });
        walkInto(walked, &beside);
    }
    meet(result, walked, beside);
    return result.take();
}

void VolumeScanner::logSummary(const ScanResult &result)
{
    logLine(QStringLiteral("扫描完成，找到以下垃圾文件:"));
    for (auto it = result.cbegin(); it != result.cend(); ++it) {
        const qint64 total = totalSize(it.value());
        logLine(FileTypes::displayName(it.key()) + QStringLiteral(": ") + QString::number(it.value().size())
                + QStringLiteral("个文件，总计") + formatByteCount(total));
    }
}

void VolumeScanner::preSearch(ScanResult &found)
{
    ResultBuilder result(m_request.root, found);
    found = {};
    preSearchInto(result);
    found = result.take();
}

ScanResult VolumeScanner::walk(ScanResult initial)
{
    ResultBuilder result(m_request.root, initial);
    initial = {};
    walkInto(result);
    return result.take();
}

void VolumeScanner::preSearchInto(ResultBuilder &result)
{
    const LogStep step;   // its lines go out in bursts
    const QByteArray &root = m_request.root;
    logLine(QStringLiteral("使用系统find命令查找._文件..."));
    // A hit is junk unless the user excluded its name (or it is a name never
    // deleted): the search itself knows nothing of exclusions. The hits join
    // the result as they come, so nothing else holds them; they are said to
    // have joined once the search has said how many it found.
    const qsizetype before = result.count(FileType::temporaryFiles);
    const auto addHit = [&](QByteArrayView hit, const pathhandles::ItemLook &look, PathArena::Node node) {
        if (m_matcher.isKeptName(hit.sliced(lastSlashOf(hit) + 1)))
            return;
        if (node != PathArena::kNone)
            result.add(FileType::temporaryFiles, node, look);   // held by the index already
        else
            result.add(FileType::temporaryFiles, hit, look);
    };
    const qsizetype hits = AppleDoubleSearch::findAppleDoubleFiles(root, m_request.tools, addHit, &result.paths(),
                                                                   m_matcher.hasExclusions());
    logLine(QStringLiteral("通过find命令找到 ") + QString::number(hits) + QStringLiteral(" 个._文件"));
    // Gathered: the matcher has said what it had to. Their lines are made
    // in pieces, on threads of their own, while the pieces before go out.
    static const LineHead kAdded("添加._文件到结果: ");
    constexpr qsizetype kPerPiece = 4096;
    const qsizetype added = result.count(FileType::temporaryFiles) - before;
    const PathArena &arena = *result.paths().arena();
    linesinorder::write((added + kPerPiece - 1) / kPerPiece, [&](qsizetype piece, QByteArray &lines) {
        PathReader reader(arena);
        const qsizetype from = before + piece * kPerPiece;
        result.forEachFrom(FileType::temporaryFiles, from, [&](const FileItem &item) {
            reader.path(item.node());
            reader.appendLine(lines, kAdded);
        }, from + kPerPiece);
        return true;
    });

    const auto addHits = [&](const QList<QByteArray> &paths, const QList<pathhandles::ItemLook> &looksOfPaths,
                             const char *logPrefix) {
        // Their lines go out together, unless the matcher may print between them.
        const bool gather = !m_matcher.hasExclusions();
        QByteArray lines;
        for (qsizetype i = 0; i < paths.size(); ++i) {
            const QByteArray &hit = paths[i];
            if (m_matcher.isKeptName(QByteArrayView(hit).sliced(lastSlashOf(hit) + 1)))
                continue;
            if (!result.add(FileType::temporaryFiles, hit, looksOfPaths[i]))
                continue;
            if (!gather) {
                logUtf8(logPrefix, hit);
                continue;
            }
            appendLogLine(lines, logPrefix, hit);
            logBurst(lines);
        }
        logBurst(lines, 1);
    };
    // What find missed at the root of a FAT or exFAT volume joins in.
    if (m_request.isFAT) {
        QList<pathhandles::ItemLook> rootLooks;
        const QList<QByteArray> rootHits = AppleDoubleSearch::findAppleDoubleFilesWithLs(
            root, m_request.tools, &rootLooks, [&](const QByteArray &path) { return result.contains(path); });
        addHits(rootHits, rootLooks, "添加额外发现的._文件到结果: ");
    }
}
