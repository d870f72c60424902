// SystemCleanHelper's batches: the ordinary removal of what the user may
// remove, folder by folder through the volume the clean holds, then the
// administrator step for the rest (SystemCleanHelperTool.cpp).
#include "cleaning/SystemCleanHelper.h"
#include "cleaning/SystemCleanHelperImpl.h"

#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/JunkRule.h"
#include "cleaning/PathHandles.h"
#include "cleaning/SafeRemove.h"
#include "cleaning/VolumeWork.h"
#include "platform/FileNames.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using pathhandles::lastComponent;

bool isProtectedName(const QByteArray &path)
{
    return SystemCleanHelper::neverDeleteNames().contains(QString::fromUtf8(lastComponent(path)));
}

// The same for an item, by the name its path ends in: no path is built. A
// name holds no replacement character, so its bytes compare alike.
bool isProtectedName(const FileItem &item)
{
    const QByteArrayView name = item.nameBytes();
    if (name.isEmpty())
        return isProtectedName(item.fsPath());
    static const QList<QByteArray> names = [] {
        QList<QByteArray> bytes;
        for (const QString &protectedName : SystemCleanHelper::neverDeleteNames())
            bytes << protectedName.toUtf8();
        return bytes;
    }();
    return std::any_of(names.cbegin(), names.cend(), [&](const QByteArray &bytes) { return name == bytes; });
}

// Why an item the clean did not get to stays: the volume stopped answering,
// or the clean was asked to stop before it.
int notReachedReason(const VolumeWork &work)
{
    return work.isGivenUp() ? ETIMEDOUT : EINTR;
}

// The items but those with a name never deleted, each of which is said once.
SystemCleanHelper::Items withoutProtectedNames(const SystemCleanHelper::Items &files)
{
    SystemCleanHelper::Items kept;
    SystemCleanHelper::Paths dropped;
    for (qsizetype i = 0; i < files.size(); ++i) {
        const FileItem &item = files.at(i);
        if (isProtectedName(item)) {
            if (dropped.isEmpty())
                kept = files.first(i);
            dropped << item.fsPath();
        } else if (!dropped.isEmpty()) {
            kept << item;
        }
    }
    if (dropped.isEmpty())
        return files;   // as it is, not copied
    std::sort(dropped.begin(), dropped.end());
    dropped.erase(std::unique(dropped.begin(), dropped.end()), dropped.end());
    for (const QByteArray &path : std::as_const(dropped))
        logLine(QStringLiteral("SystemCleanHelper: Skipping protected file: ") + pathText(path));
    return kept;
}

// The administrator tool's request for `items` (at `relatives` below the
// volume's root). The tool refuses a request that names an item twice: a
// batch that holds one twice asks once, and both take its answer; `itemsOf`
// gets the items of each request index.
CleanRequest privilegedRequest(const HeldVolume &volume, const SystemCleanHelper::Items &items,
                               const QList<QByteArray> &relatives, QList<QList<qsizetype>> &itemsOf)
{
    CleanRequest request;
    request.root = volume.root();
    request.device = volume.device();
    request.rootInode = volume.rootInode();
    QList<std::pair<QByteArray, bool>> named;
    QHash<QByteArray, qsizetype> requestIndex;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const FileItem &item = items.at(i);
        logPieces({"SystemCleanHelper: File to delete: ", loggedFileName(item.fsPath())});
        const QByteArray &relative = relatives.at(i);
        qsizetype at = requestIndex.value(relative, -1);
        if (at < 0) {
            at = request.items.size();
            requestIndex.insert(relative, at);
            request.items.append(CleanRequest::Item::of(relative, item));
            named.append({relative, item.kind == ItemKind::folder});
            itemsOf.append(QList<qsizetype>());
        }
        itemsOf[at].append(i);
    }
    // The tool removes by the catalogue, and files by the extensions the user added to it.
    request.customExtensions = JunkRule::extensionsFor(named);
    // Only a folder item is checked against what the scan saw (and a file
    // key for each file it met takes room in the request).
    const bool anyFolder = std::any_of(named.cbegin(), named.cend(), [](const auto &item) { return item.second; });
    if (const std::shared_ptr<const ScannedFolders> &scanned = volume.scannedFolders(); scanned && anyFolder)
        request.scannedFolders = *scanned;
    return request;
}

} // namespace

// ---- The ordinary removal ----

// One pass, folder by folder: each folder is reached once, its items are
// looked at and, unless they need the administrator, removed right away.
// Its lines are told in the order of the two steps they stand for (what
// each item needs, then the removals), and every result in the caller's
// order. The first step's lines go out as they are made; a removal is kept
// as its item's result, and its lines are made from the results once the
// first step's are out. No item's path is held: it is read from its arena
// whenever a look or a line needs it (`ItemPaths`).
class SystemCleanHelper::Impl::OrdinaryPass
{
public:
    OrdinaryPass(Batch &batch, const ProbeEnvironment &environment);

    // What the pass is handed, an item a line.
    void announce();
    void run();
    // Each item's fate into the batch, then the pass's lines.
    void tell();

private:
    enum class Fate : quint8 { notReached, removed, privileged, failed };
    struct Result
    {
        Fate fate = Fate::notReached;
        bool removalTold = false;   // the removal step has lines of it
        int error = 0;
    };

    void orderByFolder();
    std::optional<SafeRemove::Outcome> remove(qsizetype i);
    std::optional<SafeRemove::Outcome> removeExamined(qsizetype i, const ShownPath &shown);
    void enterFolder(QByteArrayView folder);
    void record(qsizetype i, const SafeRemove::Outcome &outcome);
    void sayRegular(const ShownPath &shown);
    void appendRemovalLines(QByteArray &lines, qsizetype i);
    // The item's path (read again), valid until the next read.
    const ShownPath &shown(qsizetype i) { return m_paths.read(m_batch.kept.at(i)); }
    // The part of the item's path (`shown`) below the volume's root; empty when it lies outside.
    QByteArrayView relative(qsizetype i, const ShownPath &shown) const
    {
        const qsizetype at = m_relativeAt.at(i);
        return at < 0 ? QByteArrayView() : shown.path.sliced(at);
    }

    Batch &m_batch;
    HeldVolume *const m_volume;
    VolumeWork *const m_work;
    const int m_total;
    ItemPaths m_paths;
    QList<qsizetype> m_relativeAt;   // where relative() starts in the path; -1: none
    QList<qsizetype> m_order;        // folder by folder
    QList<Result> m_results;
    QHash<qsizetype, QByteArray> m_failures;   // why each failed removal failed, as logged
    QByteArray m_sorting;    // what each item needs, written in bursts
    uid_t m_me = 0;
    bool m_kernelDecides = false;
    SafeRemove::Options m_options;

    // The folder of the items at hand.
    QByteArray m_folder;
    bool m_inFolder = false;
    int m_folderFd = -1;
    int m_folderError = 0;
    struct stat m_folderSt{};

    int m_done = 0;
    qsizetype m_regular = 0;
};

SystemCleanHelper::Impl::OrdinaryPass::OrdinaryPass(Batch &batch, const ProbeEnvironment &environment)
    : m_batch(batch)
    , m_volume(batch.volume.get())
    , m_work(m_volume ? m_volume->work() : nullptr)
    , m_total(int(batch.kept.size()))
{
    m_results.resize(batch.kept.size());
    orderByFolder();
    m_me = environment.effectiveUid();
    m_kernelDecides = m_volume && m_me == ::geteuid() && m_volume->isFuse();
    if (m_work)
        m_options.onEntry = [work = m_work] { work->beat(); };
    m_options.aliases = m_volume ? m_volume->aliases() : nullptr;
    if (m_volume)
        m_options.numbers = m_volume->numbers();
}

// Where each item lies below the volume's root, and the order byFolder
// gives the items: the items of a folder mostly come together, so it is
// asked of one path for each run of them (the run's folder), never of every
// item's.
void SystemCleanHelper::Impl::OrdinaryPass::orderByFolder()
{
    const qsizetype itemCount = m_batch.kept.size();
    m_relativeAt.reserve(itemCount);
    QList<QByteArray> runFolders;   // each ending in '/', but the root's (empty)
    QList<qsizetype> runStarts;
    for (qsizetype i = 0; i < itemCount; ++i) {
        // An item outside the volume (or with no volume held) is never
        // examined; the removal step reports it.
        const QByteArrayView path = shown(i).path;
        const std::optional<QByteArrayView> part = m_volume ? m_volume->relativePart(path) : std::nullopt;
        m_relativeAt.append(part ? part->data() - path.data() : -1);
        const QByteArrayView folder = part ? part->first(part->lastIndexOf('/') + 1) : QByteArrayView();
        if (runFolders.isEmpty() || runFolders.constLast() != folder) {
            runFolders.append(folder.toByteArray());
            runStarts.append(i);
        }
    }
    runStarts.append(itemCount);
    m_order.reserve(itemCount);
    for (const qsizetype run : byFolder(runFolders)) {
        for (qsizetype i = runStarts.at(run); i < runStarts.at(run + 1); ++i)
            m_order.append(i);
    }
}

void SystemCleanHelper::Impl::OrdinaryPass::announce()
{
    QByteArray lines;
    for (qsizetype i = 0; i < m_batch.kept.size(); ++i) {
        appendLogPieces(lines, {"SystemCleanHelper: Processing file: ", shown(i).asName});
        logBurst(lines);
    }
    logBurst(lines, 1);
}

void SystemCleanHelper::Impl::OrdinaryPass::run()
{
    if (m_volume)
        m_volume->confirmAnew();   // what earlier steps left open is confirmed again
    for (const qsizetype i : std::as_const(m_order)) {
        if (m_work && m_work->shouldEnd())
            continue;   // not begun: the clean stops before it
        const std::optional<SafeRemove::Outcome> outcome = remove(i);
        logBurst(m_sorting);
        if (!outcome)
            continue;   // the administrator's
        record(i, *outcome);
        if (m_batch.progress)
            m_batch.progress(++m_done, m_total);
    }
}

// Removes the item, unless it needs the administrator (nothing then).
std::optional<SafeRemove::Outcome> SystemCleanHelper::Impl::OrdinaryPass::remove(qsizetype i)
{
    const FileItem &item = m_batch.kept.at(i);
    const ShownPath &shown = this->shown(i);
    if (!m_volume) {
        sayRegular(shown);
        return SafeRemove::Outcome{ENODEV, QStringLiteral("Not removing \"%1\": the volume it was scanned on is not there")
                                               .arg(item.path())};
    }
    if (m_relativeAt.at(i) < 0) {
        sayRegular(shown);
        return SafeRemove::Outcome{EINVAL, QStringLiteral("Not removing \"%1\": it is not inside \"%2\"")
                                               .arg(item.path(), pathText(m_volume->root()))};
    }
    if (!item.hasIdentity()) {
        sayRegular(shown);
        return SafeRemove::removeScanned(*m_volume, relative(i, shown).toByteArray(), item);   // refused: never examined
    }
    return removeExamined(i, shown);
}

// An item looked at through its folder's handle: what it needs, then its removal.
std::optional<SafeRemove::Outcome> SystemCleanHelper::Impl::OrdinaryPass::removeExamined(qsizetype i,
                                                                                          const ShownPath &shown)
{
    const QByteArrayView part = relative(i, shown);
    const qsizetype slash = part.lastIndexOf('/');
    enterFolder(part.first(std::max<qsizetype>(slash, 0)));
    // The name ends the path, so it ends in the path's NUL.
    const QByteArray name = QByteArray::fromRawData(part.data() + slash + 1, part.size() - slash - 1);
    const QByteArray path = QByteArray::fromRawData(shown.path.data(), shown.path.size());
    struct stat st{};
    int lookError = m_folderError;
    if (lookError == 0 && ::fstatat(m_folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        lookError = errno;
    if (m_work)
        m_work->beat();
    const bool privileged = judgeAccess(shown, lookError, st, m_folderError == 0 ? m_folderFd : -1, m_folderSt,
                                        name.constData(), m_me, m_kernelDecides, m_sorting);
    if (privileged) {
        appendLogPieces(m_sorting, {"SystemCleanHelper: File requires privileges: ", shown.asName});
        m_results[i].fate = Fate::privileged;
        return std::nullopt;
    }
    sayRegular(shown);
    if (m_folderError != 0)
        return SafeRemove::unreachable(m_folderError, path);
    if (lookError == ENOENT)
        return SafeRemove::Outcome{};
    if (lookError != 0)
        return SafeRemove::unreachable(lookError, path);
    return SafeRemove::removeLooked(m_folderFd, name, st, m_batch.kept.at(i), m_options, path);
}

// The folder of the next item, reached from the volume's root unless the
// item before was in it too.
void SystemCleanHelper::Impl::OrdinaryPass::enterFolder(QByteArrayView folder)
{
    if (m_inFolder && folder == m_folder)
        return;
    m_folder = folder.toByteArray();
    m_inFolder = true;
    m_folderFd = m_volume->enterFolder(m_folder, &m_folderSt);
    m_folderError = m_folderFd < 0 ? errno : 0;
}

void SystemCleanHelper::Impl::OrdinaryPass::sayRegular(const ShownPath &shown)
{
    appendLogPieces(m_sorting, {"SystemCleanHelper: File is regular: ", shown.asName});
    ++m_regular;
}

void SystemCleanHelper::Impl::OrdinaryPass::record(qsizetype i, const SafeRemove::Outcome &outcome)
{
    m_results[i].removalTold = true;
    if (outcome.removed()) {
        m_results[i].fate = Fate::removed;
        if (m_work)
            m_work->removed(m_batch.kept.at(i));
        return;
    }
    m_failures.insert(i, loggedText(outcome.message));
    // Refused: an immutable or append-only flag (only the administrator
    // may clear one, also on the user's own files and when we are root),
    // or something inside a folder the user may not change.
    if (outcome.error == EPERM || outcome.error == EACCES) {
        m_results[i].fate = Fate::privileged;
    } else {
        m_results[i].fate = Fate::failed;
        m_results[i].error = outcome.error;
        if (m_work)
            m_work->failed();
    }
}

// The removal step's lines of item i, made from its result.
void SystemCleanHelper::Impl::OrdinaryPass::appendRemovalLines(QByteArray &lines, qsizetype i)
{
    const QByteArrayView shown = this->shown(i).asName;
    if (m_results.at(i).fate == Fate::removed) {
        appendLogPieces(lines, {"SystemCleanHelper: Deleted regular file: ", shown});
        return;
    }
    appendLogPieces(lines, {"SystemCleanHelper: Failed to delete regular file: ", shown, ", error: ", m_failures.value(i)});
    if (m_results.at(i).fate == Fate::privileged)
        appendLogPieces(lines, {"SystemCleanHelper: File requires privileges: ", shown});
}

void SystemCleanHelper::Impl::OrdinaryPass::tell()
{
    for (qsizetype i = 0; i < m_results.size(); ++i) {
        const FileItem &item = m_batch.kept.at(i);
        switch (m_results.at(i).fate) {
        case Fate::notReached:
            m_batch.failed << failedWith(item, notReachedReason(*m_work));
            m_work->failed();
            break;
        case Fate::removed:
            m_batch.deleted << item;
            break;
        case Fate::privileged:
            m_batch.privileged << item;
            m_batch.privilegedRelative << relative(i, shown(i)).toByteArray();
            break;
        case Fate::failed:
            m_batch.failed << failedWith(item, m_results.at(i).error);
            break;
        }
    }
    logBurst(m_sorting, 1);
    logLine(QStringLiteral("SystemCleanHelper: %1 regular files, %2 privileged files")
                .arg(m_regular)
                .arg(m_batch.privileged.size()));
    QByteArray lines;
    for (const qsizetype i : std::as_const(m_order)) {
        if (m_results.at(i).removalTold) {
            appendRemovalLines(lines, i);
            logBurst(lines);
        }
    }
    logBurst(lines, 1);
}

// ---- Batches ----

void SystemCleanHelper::batchClean(const std::shared_ptr<HeldVolume> &volume, const Items &files,
                                   const std::optional<QString> &fileSystemType, Progress progress,
                                   BatchCompletion completion)
{
    const LogStep step;   // a line per item and step: they go out in bursts
    auto batch = std::make_shared<Batch>();
    batch->volume = volume;
    batch->progress = std::move(progress);
    batch->completion = std::move(completion);
    batch->kept = withoutProtectedNames(files);

    const QString typeText = fileSystemType.value_or(QStringLiteral("unknown"));
    Impl::OrdinaryPass pass(*batch, d->environment);
    logLine(QStringLiteral("SystemCleanHelper: Starting batch clean for %1 files (after protection filter)")
                .arg(int(batch->kept.size())));
    logLine(QStringLiteral("SystemCleanHelper: File system type: ") + typeText);
    pass.announce();
    pass.run();
    pass.tell();

    if (batch->privileged.isEmpty()) {
        logLine(QStringLiteral("SystemCleanHelper: No privileged files to delete"));
        batch->logSummary();
        batch->complete();
        return;
    }

    const qsizetype count = batch->privileged.size();
    logLine(QStringLiteral("SystemCleanHelper: Requesting admin privileges to delete %1 system files").arg(count));
    logLine(QStringLiteral("SystemCleanHelper: Attempting to delete %1 privileged files using enhanced method").arg(count));
    logLine(QStringLiteral("SystemCleanHelper: File system: ") + typeText);
    for (const FileItem &item : std::as_const(batch->privileged))
        logPieces({"SystemCleanHelper: Will attempt to delete: ", loggedFileName(item.fsPath())});
    d->deletePrivilegedFiles(batch);
}

// ---- The administrator step ----

void SystemCleanHelper::Impl::deletePrivilegedFiles(const std::shared_ptr<Batch> &batch)
{
    const Items &items = batch->privileged;
    if (VolumeWork *work = batch->volume ? batch->volume->work() : nullptr; work && work->shouldEnd()) {
        logLine(QStringLiteral("SystemCleanHelper: The clean stops before the administrator step"));
        for (qsizetype i = 0; i < items.size(); ++i)
            work->failed();
        batch->failed << failedWith(items, notReachedReason(*work));
        finishBatch(*batch);
        return;
    }
    logLine(QStringLiteral("SystemCleanHelper: Attempting to clean %1 system files (after protection filter)")
                .arg(items.size()));
    const bool hasFullDiskAccess = owner->checkFullDiskAccess();
    logLine(QStringLiteral("SystemCleanHelper: Full Disk Access status: ") + boolText(hasFullDiskAccess));
    if (privilegedStepRefused(batch))
        return;

    logLine(QStringLiteral("SystemCleanHelper: Using administrator privileges for deletion"));
    auto itemsOf = std::make_shared<QList<QList<qsizetype>>>();   // by request index
    const CleanRequest request = privilegedRequest(*batch->volume, items, batch->privilegedRelative, *itemsOf);
    logLine(QStringLiteral("SystemCleanHelper: Executing script: ") + adminToolPath()
            + QStringLiteral(" with %1 items on ").arg(items.size()) + pathText(request.root));
    runTool(batch, request.encode(), hasFullDiskAccess, itemsOf);
}

// True when the administrator tool may not run here: the batch's items fail.
bool SystemCleanHelper::Impl::privilegedStepRefused(const std::shared_ptr<Batch> &batch)
{
    const Items &items = batch->privileged;
    // A sandboxed app cannot start an administrator tool.
    if (environment.hasEnvironmentVariable("APP_SANDBOX_CONTAINER_ID")
        || environment.hasEnvironmentVariable("FLATPAK_ID")) {
        logLine(QStringLiteral("SystemCleanHelper: Cannot delete system files in current configuration"));
        recordPrivilegedOutcome(batch, {}, failedWith(items, EPERM), QStringLiteral("System file deletion not available"));
        return true;
    }

    // Asked again right before it runs: root runs only a tool root alone can change.
    if (const std::optional<QString> problem = toolProblem()) {
        logLine(QStringLiteral("SystemCleanHelper: Cannot delete system files in current configuration"));
        batch->failed << failedWith(items, EPERM);
        scheduler.post([this, batch, problem = *problem] {
            owner->showToolRefusedAlert(problem, [batch] {
                logLine(QStringLiteral("SystemCleanHelper: Failed to delete privileged files: the administrator "
                                       "tool cannot be trusted"));
                finishBatch(*batch);
            });
        });
        return true;
    }
    return false;
}

// Runs the tool with `request` on the main thread's word; what it answered
// removed counts as it comes, however its run ends.
void SystemCleanHelper::Impl::runTool(const std::shared_ptr<Batch> &batch, const QByteArray &request,
                                      bool hasFullDiskAccess,
                                      const std::shared_ptr<const QList<QList<qsizetype>>> &itemsOf)
{
    ToolWatch watch;
    watch.work = batch->volume->sharedWork();
    watch.onRemoved = [batch, itemsOf](qsizetype index) {
        VolumeWork *work = batch->volume->work();
        for (const qsizetype item : itemsOf->value(index)) {
            if (work && item < batch->privileged.size())
                work->removed(batch->privileged.at(item));
        }
    };
    scheduler.post([this, batch, request, hasFullDiskAccess, watch, itemsOf] {
        owner->runAdministratorTool(
            request,
            [this, batch, hasFullDiskAccess, itemsOf](bool ran, const std::optional<QString> &message,
                                                      const QHash<qsizetype, int> &asked) {
                toolAnswered(batch, hasFullDiskAccess, *itemsOf, ran, message, asked);
            },
            watch);
    });
}

// The tool has run (or not): its answers are checked on the volume.
void SystemCleanHelper::Impl::toolAnswered(const std::shared_ptr<Batch> &batch, bool hasFullDiskAccess,
                                           const QList<QList<qsizetype>> &itemsOf, bool ran,
                                           const std::optional<QString> &message, const QHash<qsizetype, int> &asked)
{
    // The answers by the batch's own items.
    QHash<qsizetype, int> answers;
    for (auto it = asked.cbegin(); it != asked.cend(); ++it) {
        for (const qsizetype item : itemsOf.value(it.key()))
            answers.insert(item, it.value());
    }
    if (!ran) {
        // A dismissed authentication is the user's choice, and the reasons of
        // our own say what kept the tool from the items; anything else did too.
        const int ours = SystemCleanHelper::failureOfMessage(message);
        batch->systemFilesSkipped =
            (ours == SystemCleanHelper::elevationMissing || ours == SystemCleanHelper::noPolkitAuthority)
            && std::any_of(batch->privilegedRelative.cbegin(), batch->privilegedRelative.cend(),
                           [](const QByteArray &relative) { return namesSystemFolder(relative); });
        recordPrivilegedOutcome(batch, {}, failedWith(batch->privileged, ours != 0 ? ours : EPERM), message);
        return;
    }
    // What stays of what a run that ended early did not answer for: it was
    // stopped with the clean, or it stopped by itself.
    int unanswered = 0;
    if (message == SystemCleanHelper::toolStoppedMessage) {
        const VolumeWork *work = batch->volume->work();
        unanswered = work && work->shouldEnd() ? notReachedReason(*work) : SystemCleanHelper::toolStopped;
    }
    // Give the file system a moment before looking.
    scheduler.after(std::chrono::milliseconds(1500), [this, batch, answers, hasFullDiskAccess, unanswered] {
        verify(batch->volume, batch->privileged, answers, unanswered, [this, batch, hasFullDiskAccess](const Check &check) {
            std::optional<QString> verdict;
            protectedFilesFailureMessage(check.failed, hasFullDiskAccess,
                                         [&verdict](bool, const std::optional<QString> &text) { verdict = text; });
            batch->systemFoldersLeft = check.systemFoldersLeft;
            recordPrivilegedOutcome(batch, check.deleted, check.failed, verdict);
        });
    });
}

void SystemCleanHelper::Impl::recordPrivilegedOutcome(const std::shared_ptr<Batch> &batch, const Items &removed,
                                                      const Items &failed, const std::optional<QString> &message)
{
    // Each item counts for itself: what the administrator step removed is
    // cleaned, whatever else of the batch it could not remove.
    batch->deleted << removed;
    if (failed.isEmpty()) {
        logLine(QStringLiteral("SystemCleanHelper: Successfully deleted privileged files"));
        batch->reportProgress();
        batch->logSummary();
        batch->complete();
        return;
    }
    logLine(QStringLiteral("SystemCleanHelper: Failed to delete privileged files: ")
            + message.value_or(QStringLiteral("Unknown error")));
    batch->failed << failed;
    // The dialog about system files comes only where it is true: system
    // folders the administrator step tried and the volume kept, or that it
    // skipped because privileged deletion does not work here; never for
    // items it did not get to. Without a password nothing was tried: that is
    // what the user hears, not that system files resisted the administrator.
    const bool systemFolders = !batch->systemFoldersLeft.isEmpty() || batch->systemFilesSkipped;
    const bool notAsked = message && message->startsWith(SystemCleanHelper::noAuthenticationAgentMessage);
    VolumeWork *work = batch->volume ? batch->volume->work() : nullptr;
    if (work) {
        for (qsizetype i = 0; i < failed.size(); ++i)
            work->failed();
    }
    if ((systemFolders || notAsked) && !(work && work->shouldEnd())) {
        // The user reads the dialog: no time limit runs meanwhile.
        if (work)
            work->setWaitingForUser(true);
        auto then = [batch, work] {
            if (work)
                work->setWaitingForUser(false);
            finishBatch(*batch);
        };
        if (notAsked) {
            const QString pkexecSaid = message->mid(SystemCleanHelper::noAuthenticationAgentMessage.size() + 2);
            scheduler.post([this, pkexecSaid, then] { owner->showPasswordNotAskedAlert(pkexecSaid, then); });
        } else if (batch->systemFoldersLeft.isEmpty()) {
            scheduler.post([this, then] { owner->showSystemFilesSkippedAlert(then); });
        } else {
            QList<QByteArray> left;
            for (const QByteArray &name : SystemCleanHelper::systemFolderNames()) {
                if (batch->systemFoldersLeft.contains(name))
                    left << name;
            }
            scheduler.post([this, left, then] { owner->showSystemFoldersLeftAlert(left, then); });
        }
    } else {
        finishBatch(*batch);
    }
}

void SystemCleanHelper::Impl::finishBatch(const Batch &batch)
{
    batch.reportProgress();
    {
        const LogStep step;   // a line per item: in bursts
        batch.logSummary();
        ItemPaths paths;
        for (const FileItem &item : batch.deleted)
            logPieces({"SystemCleanHelper: Successfully deleted: ", paths.read(item).asName});
        for (const FileItem &item : batch.failed)
            logPieces({"SystemCleanHelper: Failed to delete: ", paths.read(item).asName});
    }
    batch.complete();
}
