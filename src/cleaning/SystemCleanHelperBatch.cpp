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
    for (const FileItem &item : files) {
        if (isProtectedName(item))
            dropped << item.fsPath();
        else
            kept << item;
    }
    if (!dropped.isEmpty()) {
        std::sort(dropped.begin(), dropped.end());
        dropped.erase(std::unique(dropped.begin(), dropped.end()), dropped.end());
        for (const QByteArray &path : std::as_const(dropped))
            logLine(QStringLiteral("SystemCleanHelper: Skipping protected file: ") + pathText(path));
    }
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
            request.items.append(CleanRequest::Item{relative, item.kind, item.device, item.inode});
            named.append({relative, item.kind == ItemKind::folder});
            itemsOf.append(QList<qsizetype>());
        }
        itemsOf[at].append(i);
    }
    // The tool removes by the catalogue, and files by the extensions the user added to it.
    request.customExtensions = JunkRule::extensionsFor(named);
    if (const std::shared_ptr<const ScannedFolders> &scanned = volume.scannedFolders())
        request.scannedFolders = *scanned;
    return request;
}

} // namespace

// ---- The ordinary removal ----

// One pass, folder by folder: each folder is reached once, its items are
// looked at and, unless they need the administrator, removed right away.
// Its lines are told in the order of the two steps they stand for (what
// each item needs, then the removals), and every result in the caller's
// order. Each item's path is built and read for its lines once; its
// progress is kept by its index.
class SystemCleanHelper::Impl::OrdinaryPass
{
public:
    OrdinaryPass(Batch &batch, const ProbeEnvironment &environment);

    // What the pass is handed, an item a line.
    void announce() const;
    void run();
    // Each item's fate into the batch, then the pass's lines.
    void tell();

private:
    enum class Fate { notReached, removed, privileged, failed };
    struct Result
    {
        Fate fate = Fate::notReached;
        int error = 0;
    };

    std::optional<SafeRemove::Outcome> remove(qsizetype i);
    std::optional<SafeRemove::Outcome> removeExamined(qsizetype i);
    void enterFolder(QByteArrayView folder);
    void record(qsizetype i, const SafeRemove::Outcome &outcome);
    void sayRegular(qsizetype i);
    // The item's path below the volume's root; empty when it lies outside.
    QByteArrayView relative(qsizetype i) const
    {
        const qsizetype at = m_relativeAt.at(i);
        return at < 0 ? QByteArrayView() : QByteArrayView(m_shown.at(i).path).sliced(at);
    }

    Batch &m_batch;
    HeldVolume *const m_volume;
    VolumeWork *const m_work;
    const int m_total;
    QList<ShownPath> m_shown;
    QList<qsizetype> m_relativeAt;   // where relative() starts in the path; -1: none
    QList<Result> m_results;
    QByteArray m_sorting;    // what each item needs
    QByteArray m_removing;   // the removals
    uid_t m_me = 0;
    bool m_kernelDecides = false;
    SafeRemove::Options m_options;

    // The folder of the items at hand.
    QByteArrayView m_folder;
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
    const qsizetype itemCount = batch.kept.size();
    m_shown.reserve(itemCount);
    m_relativeAt.reserve(itemCount);
    for (qsizetype i = 0; i < itemCount; ++i) {
        m_shown.append(ShownPath(batch.kept.at(i).fsPath()));
        // An item outside the volume (or with no volume held) is never
        // examined; the removal step reports it.
        const QByteArray &path = m_shown.constLast().path;
        const std::optional<QByteArrayView> part = m_volume ? m_volume->relativePart(path) : std::nullopt;
        m_relativeAt.append(part ? part->data() - path.constData() : -1);
    }
    m_results.resize(itemCount);
    m_me = environment.effectiveUid();
    m_kernelDecides = m_volume && m_me == ::geteuid() && m_volume->isFuse();
    if (m_work)
        m_options.onEntry = [work = m_work] { work->beat(); };
    m_options.aliases = m_volume ? m_volume->aliases() : nullptr;
}

void SystemCleanHelper::Impl::OrdinaryPass::announce() const
{
    for (const ShownPath &shown : m_shown)
        logPieces({"SystemCleanHelper: Processing file: ", shown.asName});
}

void SystemCleanHelper::Impl::OrdinaryPass::run()
{
    if (m_volume)
        m_volume->confirmAnew();   // what earlier steps left open is confirmed again
    QList<QByteArrayView> relatives(m_shown.size());
    for (qsizetype i = 0; i < relatives.size(); ++i)
        relatives[i] = relative(i);
    for (const qsizetype i : byFolder(relatives)) {
        if (m_work && m_work->shouldEnd())
            continue;   // not begun: the clean stops before it
        const std::optional<SafeRemove::Outcome> outcome = remove(i);
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
    if (!m_volume) {
        sayRegular(i);
        return SafeRemove::Outcome{ENODEV, QStringLiteral("Not removing \"%1\": the volume it was scanned on is not there")
                                               .arg(item.path())};
    }
    if (m_relativeAt.at(i) < 0) {
        sayRegular(i);
        return SafeRemove::Outcome{EINVAL, QStringLiteral("Not removing \"%1\": it is not inside \"%2\"")
                                               .arg(item.path(), pathText(m_volume->root()))};
    }
    if (!item.hasIdentity()) {
        sayRegular(i);
        return SafeRemove::removeScanned(*m_volume, relative(i).toByteArray(), item);   // refused: never examined
    }
    return removeExamined(i);
}

// An item looked at through its folder's handle: what it needs, then its removal.
std::optional<SafeRemove::Outcome> SystemCleanHelper::Impl::OrdinaryPass::removeExamined(qsizetype i)
{
    const ShownPath &shown = m_shown.at(i);
    const QByteArrayView part = relative(i);
    const qsizetype slash = part.lastIndexOf('/');
    enterFolder(part.first(std::max<qsizetype>(slash, 0)));
    // The name ends the path, so it ends in the path's NUL.
    const QByteArray name = QByteArray::fromRawData(part.data() + slash + 1, part.size() - slash - 1);
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
    sayRegular(i);
    if (m_folderError != 0)
        return SafeRemove::unreachable(m_folderError, shown.path);
    if (lookError == ENOENT)
        return SafeRemove::Outcome{};
    if (lookError != 0)
        return SafeRemove::unreachable(lookError, shown.path);
    return SafeRemove::removeLooked(m_folderFd, name, st, m_batch.kept.at(i), m_options, shown.path);
}

// The folder of the next item, reached from the volume's root unless the
// item before was in it too.
void SystemCleanHelper::Impl::OrdinaryPass::enterFolder(QByteArrayView folder)
{
    if (m_inFolder && folder == m_folder)
        return;
    m_folder = folder;
    m_inFolder = true;
    m_folderFd = m_volume->enterFolder(m_folder, &m_folderSt);
    m_folderError = m_folderFd < 0 ? errno : 0;
}

void SystemCleanHelper::Impl::OrdinaryPass::sayRegular(qsizetype i)
{
    appendLogPieces(m_sorting, {"SystemCleanHelper: File is regular: ", m_shown.at(i).asName});
    ++m_regular;
}

void SystemCleanHelper::Impl::OrdinaryPass::record(qsizetype i, const SafeRemove::Outcome &outcome)
{
    const QByteArray &shown = m_shown.at(i).asName;
    if (outcome.removed()) {
        m_results[i].fate = Fate::removed;
        if (m_work)
            m_work->removed(m_batch.kept.at(i));
        appendLogPieces(m_removing, {"SystemCleanHelper: Deleted regular file: ", shown});
        return;
    }
    appendLogPieces(m_removing, {"SystemCleanHelper: Failed to delete regular file: ", shown, ", error: ",
                                 loggedText(outcome.message)});
    // Refused: an immutable or append-only flag (only the administrator
    // may clear one, also on the user's own files and when we are root),
    // or something inside a folder the user may not change.
    if (outcome.error == EPERM || outcome.error == EACCES) {
        appendLogPieces(m_removing, {"SystemCleanHelper: File requires privileges: ", shown});
        m_results[i].fate = Fate::privileged;
    } else {
        m_results[i] = Result{Fate::failed, outcome.error};
        if (m_work)
            m_work->failed();
    }
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
            m_batch.deletedShown << m_shown.at(i).asName;
            break;
        case Fate::privileged:
            m_batch.privileged << item;
            m_batch.privilegedRelative << relative(i).toByteArray();
            break;
        case Fate::failed:
            m_batch.failed << failedWith(item, m_results.at(i).error);
            break;
        }
    }
    logCaptured(m_sorting);
    logLine(QStringLiteral("SystemCleanHelper: %1 regular files, %2 privileged files")
                .arg(m_regular)
                .arg(m_batch.privileged.size()));
    logCaptured(m_removing);
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
        // A dismissed authentication is the user's choice; anything else kept the tool from the items.
        const int why = message == SystemCleanHelper::cancelledMessage ? ECANCELED
                        : message && message->startsWith(SystemCleanHelper::noAuthenticationAgentMessage)
                            ? SystemCleanHelper::noAuthenticationAgent
                            : EPERM;
        recordPrivilegedOutcome(batch, {}, failedWith(batch->privileged, why), message);
        return;
    }
    // Give the file system a moment before looking.
    scheduler.after(std::chrono::milliseconds(1500), [this, batch, answers, hasFullDiskAccess] {
        owner->verifyDeletion(batch->volume, batch->privileged, answers,
                              [this, batch, hasFullDiskAccess](const Items &deleted, const Items &failed) {
                                  std::optional<QString> verdict;
                                  protectedFilesFailureMessage(
                                      failed, hasFullDiskAccess,
                                      [&verdict](bool, const std::optional<QString> &text) { verdict = text; });
                                  recordPrivilegedOutcome(batch, deleted, failed, verdict);
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
    const bool systemFolders = std::any_of(batch->failed.cbegin(), batch->failed.cend(),
                                           [](const FileItem &item) { return namesSystemFolder(item.fsPath()); });
    // Without a password nothing was tried: that is what the user hears, not
    // that system files resisted the administrator.
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
        } else {
            owner->showSystemFilesAlertOnMain(then);
        }
    } else {
        finishBatch(*batch);
    }
}

void SystemCleanHelper::Impl::finishBatch(const Batch &batch)
{
    batch.reportProgress();
    batch.logSummary();
    for (qsizetype i = 0; i < batch.deleted.size(); ++i) {
        logPieces({"SystemCleanHelper: Successfully deleted: ", i < batch.deletedShown.size()
                                                                    ? batch.deletedShown.at(i)
                                                                    : loggedFileName(batch.deleted.at(i).fsPath())});
    }
    for (const FileItem &item : batch.failed)
        logPieces({"SystemCleanHelper: Failed to delete: ", loggedFileName(item.fsPath())});
    batch.complete();
}
