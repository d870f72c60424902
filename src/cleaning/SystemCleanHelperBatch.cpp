// SystemCleanHelper's batches: the ordinary removal, the administrator tool
// for what the user may not remove, and the check after it, all through the
// volume the clean holds.
#include "cleaning/SystemCleanHelper.h"
#include "cleaning/SystemCleanHelperImpl.h"

#include "cleaning/PathHandles.h"
#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/JunkRule.h"
#include "cleaning/SafeRemove.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using pathhandles::lastComponent;

bool isProtectedName(const QByteArray &path)
{
    return SystemCleanHelper::neverDeleteNames().contains(QString::fromUtf8(lastComponent(path)));
}

bool namesSystemFolder(const QByteArray &path)
{
    return path.contains(".Spotlight-V100") || path.contains(".Trashes");
}

// Why an item the clean did not get to stays: the volume stopped answering,
// or the clean was asked to stop before it.
int notReachedReason(const VolumeWork &work)
{
    return work.isGivenUp() ? ETIMEDOUT : EINTR;
}

// The account name of a uid; nothing when the system knows no name.
std::optional<QString> accountName(uid_t uid)
{
    // A batch logs the owner of every file, and a volume's files mostly share
    // one: the last answer saves reading the account database again.
    thread_local std::optional<std::pair<uid_t, std::optional<QString>>> last;
    if (last && last->first == uid)
        return last->second;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    std::optional<QString> name;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        name = QString::fromLocal8Bit(found->pw_name);
    last.emplace(uid, name);
    return name;
}

// The groups `uid` belongs to: ours when it is us, else those of its account.
std::vector<gid_t> groupsOf(uid_t uid)
{
    std::vector<gid_t> groups;
    if (uid == ::geteuid()) {
        groups.push_back(::getegid());
        const int count = ::getgroups(0, nullptr);
        if (count > 0) {
            std::vector<gid_t> more(static_cast<size_t>(count));
            const int got = ::getgroups(count, more.data());
            if (got > 0)
                groups.insert(groups.end(), more.begin(), more.begin() + got);
        }
        return groups;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return groups;
    int count = 64;
    groups.resize(size_t(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        ::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count);
    }
    groups.resize(size_t(std::max(count, 0)));
    return groups;
}

// May `uid` write and search this folder (removing entries needs both)?
bool mayChangeEntries(const struct stat &folder, uid_t uid)
{
    if (uid == 0)
        return true;
    mode_t bits = folder.st_mode & 07;
    if (folder.st_uid == uid) {
        bits = (folder.st_mode >> 6) & 07;
    } else {
        const std::vector<gid_t> groups = groupsOf(uid);
        if (std::find(groups.begin(), groups.end(), folder.st_gid) != groups.end())
            bits = (folder.st_mode >> 3) & 07;
    }
    return (bits & 03) == 03;
}

// Does removing the item `path` need the administrator? `error` and `item`:
// a look at it now (its errno, else its lstat); `folderFd`, its folder (-1
// when it could not be examined) with `folder` its stat; `name` its name in
// it. With `kernelDecides` (a FUSE volume, judged as ourselves) the kernel's
// access answer counts, not the owner and mode bits shown. Its lines go to `lines`.
bool judgeAccess(const QByteArray &path, int error, const struct stat &item, int folderFd, const struct stat &folder,
                 const QByteArray &name, uid_t me, bool kernelDecides, QStringList &lines)
{
    if (error == ENOENT || error == ENOTDIR) {
        lines << QStringLiteral("SystemCleanHelper: File does not exist: ") + pathText(path);
        return false;
    }
    if (error != 0) {
        lines << QStringLiteral("SystemCleanHelper: Cannot read attributes for file: ") + pathText(path)
                     + QStringLiteral(", error: ") + errorText(error);
        // Only a refusal is the administrator's to lift; a volume gone or a
        // link on the way is not, and the ordinary removal reports it.
        return error == EACCES || error == EPERM;
    }
    lines << QStringLiteral("SystemCleanHelper: File ") + pathText(path) + QStringLiteral(" - Owner: ")
                 + accountName(item.st_uid).value_or(QString::number(item.st_uid));
    if (folderFd < 0) {
        lines << QStringLiteral("SystemCleanHelper: No write permission for parent directory: ")
                     + pathText(pathhandles::parentOf(path));
        return true;
    }
    // On a FUSE volume the owner and mode bits shown are the daemon's, and
    // the kernel's own answer decides: a FAT stick the user mounted through
    // fusefat shows every entry as root's with mode 0700 although its user
    // may remove all of them. The sticky bit is no access check, so it
    // still counts.
    const auto kernelAllows = [&](const char *entry) {
        return kernelDecides && ::faccessat(folderFd, entry, W_OK | X_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
    };
    const bool folderAllowed = kernelAllows(".");
    const bool itemAllowed = !S_ISDIR(item.st_mode) || kernelAllows(name.constData());
    if (item.st_uid == 0 && me != 0 && !(folderAllowed && itemAllowed)) {
        lines << QStringLiteral("SystemCleanHelper: File owned by system user: ") + pathText(path);
        return true;
    }
    // A folder goes with its contents, so its own entries must be removable too.
    if (S_ISDIR(item.st_mode) && !itemAllowed && !mayChangeEntries(item, me)) {
        lines << QStringLiteral("SystemCleanHelper: No write permission for file: ") + pathText(path);
        return true;
    }
    // Whether an entry may be removed is decided by its folder: write and
    // search, and with the sticky bit also owning the entry or the folder.
    if ((!folderAllowed && !mayChangeEntries(folder, me))
        || ((folder.st_mode & S_ISVTX) && me != 0 && me != item.st_uid && me != folder.st_uid)) {
        lines << QStringLiteral("SystemCleanHelper: No write permission for parent directory: ")
                     + pathText(pathhandles::parentOf(path));
        return true;
    }
    return false;
}

} // namespace

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

    Paths dropped;
    for (const FileItem &item : files) {
        if (isProtectedName(item.fsPath()))
            dropped << item.fsPath();
        else
            batch->kept << item;
    }
    if (!dropped.isEmpty()) {
        std::sort(dropped.begin(), dropped.end());
        dropped.erase(std::unique(dropped.begin(), dropped.end()), dropped.end());
        for (const QByteArray &path : std::as_const(dropped))
            logLine(QStringLiteral("SystemCleanHelper: Skipping protected file: ") + pathText(path));
    }

    const QString typeText = fileSystemType.value_or(QStringLiteral("unknown"));
    const int total = int(batch->kept.size());
    logLine(QStringLiteral("SystemCleanHelper: Starting batch clean for %1 files (after protection filter)").arg(total));
    logLine(QStringLiteral("SystemCleanHelper: File system type: ") + typeText);

    for (const FileItem &item : std::as_const(batch->kept))
        logLine(QStringLiteral("SystemCleanHelper: Processing file: ") + item.path());

    // One pass, folder by folder: each folder is reached once, its items are
    // looked at and, unless they need the administrator, removed right away.
    // Its lines are told in the order of the two steps they stand for (what
    // each item needs, then the removals), and every result in the caller's order.
    VolumeWork *work = volume ? volume->work() : nullptr;
    const qsizetype itemCount = batch->kept.size();
    QList<QByteArray> paths(itemCount);
    QList<QByteArray> relatives(itemCount);
    for (qsizetype i = 0; i < itemCount; ++i) {
        const FileItem &item = batch->kept.at(i);
        paths[i] = item.fsPath();
        // An item outside the volume (or with no volume held) is never
        // examined; the removal step reports it.
        if (volume)
            relatives[i] = volume->relativePath(paths.at(i)).value_or(QByteArray());
    }
    enum class Fate { notReached, removed, privileged, failed };
    struct Result
    {
        Fate fate = Fate::notReached;
        int error = 0;
    };
    QList<Result> results(itemCount);
    QStringList sorting;
    QStringList removing;
    const uid_t me = d->environment.effectiveUid();
    const bool kernelDecides = volume && me == ::geteuid() && volume->isFuse();
    SafeRemove::Options options;
    if (work)
        options.onEntry = [work] { work->beat(); };
    options.aliases = volume ? volume->aliases() : nullptr;

    QByteArrayView folder;
    bool inFolder = false;
    int folderFd = -1;
    int folderError = 0;
    struct stat folderSt{};
    int done = 0;
    qsizetype regular = 0;
    for (const qsizetype i : byFolder(relatives)) {
        const FileItem &item = batch->kept.at(i);
        const QByteArray &relative = relatives.at(i);
        if (work && work->shouldEnd())
            continue;   // not begun: the clean stops before it
        const QString shown = item.path();   // for the lines: decoded once
        SafeRemove::Outcome outcome;
        if (!volume) {
            sorting << QStringLiteral("SystemCleanHelper: File is regular: ") + shown;
            ++regular;
            outcome = {ENODEV, QStringLiteral("Not removing \"%1\": the volume it was scanned on is not there")
                                   .arg(shown)};
        } else if (relative.isEmpty()) {
            sorting << QStringLiteral("SystemCleanHelper: File is regular: ") + shown;
            ++regular;
            outcome = {EINVAL, QStringLiteral("Not removing \"%1\": it is not inside \"%2\"")
                                   .arg(shown, pathText(volume->root()))};
        } else if (!item.hasIdentity()) {
            sorting << QStringLiteral("SystemCleanHelper: File is regular: ") + shown;
            ++regular;
            outcome = SafeRemove::removeScanned(*volume, relative, item);   // refused: never examined
        } else {
            const qsizetype slash = relative.lastIndexOf('/');
            const QByteArrayView itemFolder = QByteArrayView(relative).first(std::max<qsizetype>(slash, 0));
            if (!inFolder || itemFolder != folder) {
                folder = itemFolder;
                inFolder = true;
                folderFd = volume->enterFolder(folder, &folderSt);
                folderError = folderFd < 0 ? errno : 0;
            }
            const QByteArray name = relative.mid(slash + 1);
            struct stat st{};
            int lookError = folderError;
            if (lookError == 0 && ::fstatat(folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                lookError = errno;
            if (work)
                work->beat();
            const bool privileged = judgeAccess(paths.at(i), lookError, st, folderError == 0 ? folderFd : -1, folderSt,
                                                name, me, kernelDecides, sorting);
            if (privileged) {
                sorting << QStringLiteral("SystemCleanHelper: File requires privileges: ") + shown;
                results[i].fate = Fate::privileged;
                continue;
            }
            sorting << QStringLiteral("SystemCleanHelper: File is regular: ") + shown;
            ++regular;
            if (folderError != 0)
                outcome = SafeRemove::unreachable(folderError, paths.at(i));
            else if (lookError == ENOENT)
                outcome = {};
            else if (lookError != 0)
                outcome = SafeRemove::unreachable(lookError, paths.at(i));
            else
                outcome = SafeRemove::removeLooked(folderFd, name, st, item, options, paths.at(i));
        }
        if (outcome.removed()) {
            results[i].fate = Fate::removed;
            if (work)
                work->removed(item, paths.at(i));
            removing << QStringLiteral("SystemCleanHelper: Deleted regular file: ") + shown;
        } else {
            removing << QStringLiteral("SystemCleanHelper: Failed to delete regular file: ") + shown
                            + QStringLiteral(", error: ") + outcome.message;
            // Refused: an immutable or append-only flag (only the administrator
            // may clear one, also on the user's own files and when we are root),
            // or something inside a folder the user may not change.
            if (outcome.error == EPERM || outcome.error == EACCES) {
                removing << QStringLiteral("SystemCleanHelper: File requires privileges: ") + shown;
                results[i].fate = Fate::privileged;
            } else {
                results[i] = Result{Fate::failed, outcome.error};
                if (work)
                    work->failed();
            }
        }
        if (batch->progress)
            batch->progress(++done, total);
    }
    for (qsizetype i = 0; i < itemCount; ++i) {
        const FileItem &item = batch->kept.at(i);
        switch (results.at(i).fate) {
        case Fate::notReached:
            batch->failed << failedWith(item, notReachedReason(*work));
            work->failed();
            break;
        case Fate::removed:
            batch->deleted << item;
            break;
        case Fate::privileged:
            batch->privileged << item;
            batch->privilegedRelative << relatives.at(i);
            break;
        case Fate::failed:
            batch->failed << failedWith(item, results.at(i).error);
            break;
        }
    }
    for (const QString &line : std::as_const(sorting))
        logLine(line);
    logLine(QStringLiteral("SystemCleanHelper: %1 regular files, %2 privileged files")
                .arg(regular)
                .arg(batch->privileged.size()));
    for (const QString &line : std::as_const(removing))
        logLine(line);

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
        logLine(QStringLiteral("SystemCleanHelper: Will attempt to delete: ") + item.path());
    d->deletePrivilegedFiles(batch);
}

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

    // A sandboxed app cannot start an administrator tool.
    if (environment.hasEnvironmentVariable("APP_SANDBOX_CONTAINER_ID")
        || environment.hasEnvironmentVariable("FLATPAK_ID")) {
        logLine(QStringLiteral("SystemCleanHelper: Cannot delete system files in current configuration"));
        recordPrivilegedOutcome(batch, {}, failedWith(items, EPERM), QStringLiteral("System file deletion not available"));
        return;
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
        return;
    }

    logLine(QStringLiteral("SystemCleanHelper: Using administrator privileges for deletion"));
    CleanRequest request;
    request.root = batch->volume->root();
    request.device = batch->volume->device();
    request.rootInode = batch->volume->rootInode();
    QList<std::pair<QByteArray, bool>> named;
    // The tool refuses a request that names an item twice: a batch that
    // holds one twice asks once, and both take its answer.
    QHash<QByteArray, qsizetype> requestIndex;
    auto itemsOf = std::make_shared<QList<QList<qsizetype>>>();   // by request index
    for (qsizetype i = 0; i < items.size(); ++i) {
        const FileItem &item = items.at(i);
        logLine(QStringLiteral("SystemCleanHelper: File to delete: ") + item.path());
        const QByteArray &relative = batch->privilegedRelative.at(i);
        qsizetype at = requestIndex.value(relative, -1);
        if (at < 0) {
            at = request.items.size();
            requestIndex.insert(relative, at);
            request.items.append(CleanRequest::Item{relative, item.kind, item.device, item.inode});
            named.append({relative, item.kind == ItemKind::folder});
            itemsOf->append(QList<qsizetype>());
        }
        (*itemsOf)[at].append(i);
    }
    // The tool removes by the catalogue, and files by the extensions the user added to it.
    request.customExtensions = JunkRule::extensionsFor(named);
    if (const std::shared_ptr<const ScannedFolders> &scanned = batch->volume->scannedFolders())
        request.scannedFolders = *scanned;
    logLine(QStringLiteral("SystemCleanHelper: Executing script: ") + adminToolPath()
            + QStringLiteral(" with %1 items on ").arg(items.size()) + pathText(request.root));

    // What the tool answered removed counts as it comes, however its run ends.
    ToolWatch watch;
    watch.work = batch->volume->sharedWork();
    watch.onRemoved = [batch, itemsOf](qsizetype index) {
        VolumeWork *work = batch->volume->work();
        for (const qsizetype item : itemsOf->value(index)) {
            if (work && item < batch->privileged.size())
                work->removed(batch->privileged.at(item));
        }
    };
    scheduler.post([this, batch, request = request.encode(), hasFullDiskAccess, watch, itemsOf] {
        owner->runAdministratorTool(request, [this, batch, hasFullDiskAccess, itemsOf](bool ran, const std::optional<QString> &message,
                                                                                     const QHash<qsizetype, int> &asked) {
            // The answers by the batch's own items.
            QHash<qsizetype, int> answers;
            for (auto it = asked.cbegin(); it != asked.cend(); ++it) {
                for (const qsizetype item : itemsOf->value(it.key()))
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
        }, watch);
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
    for (const FileItem &item : batch.deleted)
        logLine(QStringLiteral("SystemCleanHelper: Successfully deleted: ") + item.path());
    for (const FileItem &item : batch.failed)
        logLine(QStringLiteral("SystemCleanHelper: Failed to delete: ") + item.path());
    batch.complete();
}

bool SystemCleanHelper::requiresPrivileges(HeldVolume &volume, const QByteArray &relative) const
{
    const QByteArray path = pathhandles::childPath(volume.root(), relative);
    const HeldVolume::Look item = volume.look(relative);
    QByteArray name;
    struct stat folder{};
    int parentFd = -1;
    if (item.error == 0) {
        parentFd = volume.openParent(relative, &name);
        if (parentFd >= 0 && ::fstat(parentFd, &folder) != 0)
            parentFd = -1;
    }
    const uid_t me = d->environment.effectiveUid();
    QStringList lines;
    const bool privileged = judgeAccess(path, item.error, item.st, parentFd, folder, name, me,
                                        me == ::geteuid() && volume.isFuse(), lines);
    for (const QString &line : std::as_const(lines))
        logLine(line);
    return privileged;
}

// ---- The administrator tool ----

namespace {

void reportToolOutcome(const ProcessResult &result, const SystemCleanHelper::ToolCompletion &completion)
{
    if (!result.started) {
        logLine(QStringLiteral("SystemCleanHelper: Failed to create script: ") + result.errorString);
        completion(false, QStringLiteral("Failed to create script"), {});
        return;
    }
    const QString errorText = QString::fromUtf8(result.standardError).trimmed();
    const int code = result.exitedNormally() ? result.exitCode : -1;
    const QHash<qsizetype, int> answers = CleanAnswer::parse(result.standardOutput);
    // 0: every item gone; 1: some are not (the answers say which). A run
    // that ended otherwise (stopped, or its volume gone) still counts every
    // answer it gave; without any it did not get to the items.
    if (code == 0 || code == 1 || !answers.isEmpty()) {
        logLine(QStringLiteral("SystemCleanHelper: Script executed successfully"));
        // What the tool said, line by line as it wrote it.
        const QStringList lines = errorText.split(u'\n');
        for (const QString &line : lines)
            logLine(QStringLiteral("SystemCleanHelper: Script result: ")
                    + (errorText.isEmpty() ? QStringLiteral("no result") : line));
        if (code != 0 && code != 1)
            logLine(QStringLiteral("SystemCleanHelper: Script ended early (%1 answers): ").arg(answers.size())
                    + (result.signal != 0 ? QStringLiteral("signal %1").arg(result.signal) : QStringLiteral("exit %1").arg(code)));
        completion(true, std::nullopt, answers);
        return;
    }
    const QString message = errorText.isEmpty() ? QStringLiteral("Unknown error") : errorText;
    // pkexec exits 127 when it could not ask for the password: no
    // authentication agent runs in the session, and without a terminal it
    // cannot run one of its own ("Error creating textual authentication agent").
    if (code == 127 && errorText.contains(QLatin1String("authentication agent"))) {
        logLine(QStringLiteral("SystemCleanHelper: Script execution failed - Error 127: ") + message);
        completion(false, SystemCleanHelper::noAuthenticationAgentMessage + QStringLiteral(": ") + message, {});
        return;
    }
    // pkexec exits 126 when the authentication dialog was dismissed.
    const bool cancelled = code == 126;
    logLine(QStringLiteral("SystemCleanHelper: Script execution failed - Error %1: ").arg(cancelled ? -128 : code)
            + message);
    completion(false, cancelled ? SystemCleanHelper::cancelledMessage : message, {});
}

} // namespace

void SystemCleanHelper::runAdministratorTool(const QByteArray &request, ToolCompletion completion, ToolWatch watch)
{
    ProcessRequest run;
    const QString tool = d->adminToolPath();
    QStringList command = d->environment.elevationCommand;
    if (command.isEmpty() && !d->environment.isRoot())
        command = {d->environment.pkexecPath};
    command << tool;
    run.program = command.takeFirst();
    run.arguments = command;
    run.standardInput = request;
    if (const std::shared_ptr<VolumeWork> work = watch.work) {
        // Until it says something the user may be typing the password: no
        // time limit runs while the authentication can be up.
        const bool asks = !command.isEmpty();
        work->setWaitingForUser(asks);
        auto stream = std::make_shared<CleanAnswer::Stream>();
        work->watch(run, [work, stream, onRemoved = watch.onRemoved](const QByteArray &piece, bool error) {
            work->setWaitingForUser(false);
            if (error || !onRemoved)
                return;
            const QHash<qsizetype, int> answers = stream->feed(piece);
            for (auto it = answers.cbegin(); it != answers.cend(); ++it) {
                if (it.value() == 0)
                    onRemoved(it.key());
            }
        });
    }

    Scheduler &scheduler = d->scheduler;
    // The authentication dialog and the tool may take long: never on the main thread.
    scheduler.runInBackground([&scheduler, run, completion = std::move(completion), work = watch.work] {
        const ProcessResult result = runProcess(run);
        if (work)
            work->setWaitingForUser(false);
        scheduler.post([result, completion] { reportToolOutcome(result, completion); });
    });
}

// ---- The check after the administrator tool ----

void SystemCleanHelper::verifyDeletion(const std::shared_ptr<HeldVolume> &volume, const Items &items,
                                       const QHash<qsizetype, int> &answers, CheckCompletion completion)
{
    auto check = std::make_shared<Impl::Check>();
    check->volume = volume;
    check->items = items;
    check->answers = answers;
    for (qsizetype i = 0; i < items.size(); ++i)
        check->remaining << i;
    check->completion = std::move(completion);
    d->scheduler.runInBackground([this, check] { d->checkRound(check); });
}

void SystemCleanHelper::Impl::checkRound(const std::shared_ptr<Check> &check)
{
    const int attempt = ++check->round;
    QList<qsizetype> present;
    for (const qsizetype index : std::as_const(check->remaining)) {
        const FileItem &item = check->items.at(index);
        const QString path = item.path();
        const std::optional<QByteArray> relative = check->volume->relativePath(item.fsPath());
        const HeldVolume::Look now = relative ? check->volume->look(*relative) : HeldVolume::Look{EINVAL, {}};
        // What the tool answered; no answer (it stopped half-way) is no word either way.
        const int answer = check->answers.value(index, -1);
        const bool isTrash = lastComponent(item.fsPath()) == ".Trashes";
        if (answer > 0) {
            // The tool saw it stay (under this name or another one): a
            // name gone from its place is not a removed item.
            logLine(QStringLiteral("SystemCleanHelper: Attempt %1 - File still exists: ").arg(attempt) + path);
            check->failed << failedWith(item, answer);
        } else if (now.error == ENOENT) {
            logLine((isTrash ? QStringLiteral("SystemCleanHelper: .Trashes completely deleted: ")
                             : QStringLiteral("SystemCleanHelper: File deleted: ")) + path);
            check->deleted << item;
            if (VolumeWork *work = check->volume->work())
                work->removed(item);
        } else if (now.error == 0 && isTrash && !S_ISDIR(now.st.st_mode) && answer == 0) {
            // The tool leaves a plain file in place of the folder.
            logLine(QStringLiteral("SystemCleanHelper: .Trashes successfully replaced with file: ") + path);
            logLine(QStringLiteral("SystemCleanHelper: Successfully neutralized .Trashes folder by replacing with file: ")
                    + path);
            check->deleted << item;
            if (VolumeWork *work = check->volume->work())
                work->removed(item);
        } else if (now.error == 0) {
            logLine((isTrash && S_ISDIR(now.st.st_mode)
                         ? QStringLiteral("SystemCleanHelper: Attempt %1 - .Trashes still exists as directory: ")
                         : QStringLiteral("SystemCleanHelper: Attempt %1 - File still exists: "))
                        .arg(attempt)
                    + path);
            present << index;
        } else if (answer == 0) {
            // We cannot look there ourselves (a folder we may not search):
            // the tool, which could, saw it go.
            logLine(QStringLiteral("SystemCleanHelper: File deleted (confirmed by the administrator step): ") + path);
            check->deleted << item;
            if (VolumeWork *work = check->volume->work())
                work->removed(item);
        } else {
            logLine(QStringLiteral("SystemCleanHelper: Cannot confirm the deletion of ") + path + QStringLiteral(": ")
                    + errorText(now.error));
            check->failed << failedWith(item, now.error);
        }
    }
    check->remaining = present;

    VolumeWork *work = check->volume->work();
    if (!present.isEmpty() && attempt < kCheckRounds && !(work && work->shouldEnd())) {
        if (work)
            work->beat();   // the wait before the next look is ours, not the volume's
        scheduler.after(std::chrono::milliseconds(500), [this, check] {
            scheduler.runInBackground([this, check] { checkRound(check); });
        });
        return;
    }

    for (const qsizetype index : std::as_const(present)) {
        const FileItem &item = check->items.at(index);
        logLine(QStringLiteral("SystemCleanHelper: WARNING - File could not be deleted: ") + item.path());
        if (work)
            work->stillPresent(item);   // whatever the tool said
        if (namesSystemFolder(item.fsPath())) {
            logLine(QStringLiteral("SystemCleanHelper: System-protected file detected: ") + item.path());
            const std::optional<QByteArray> relative = check->volume->relativePath(item.fsPath());
            const HeldVolume::Look now = relative ? check->volume->look(*relative) : HeldVolume::Look{EINVAL, {}};
            if (now.error != 0)
                logLine(QStringLiteral("SystemCleanHelper: Cannot read file attributes: ") + errorText(now.error));
            else if (const std::optional<QString> name = accountName(now.st.st_uid))
                logLine(QStringLiteral("SystemCleanHelper: File owner: ") + *name);
            // Its extended attributes, read through its folder's handle.
            QByteArray leaf;
            const int parentFd = relative && now.error == 0 ? check->volume->openParent(*relative, &leaf) : -1;
            if (parentFd >= 0) {
                QString error;
                const QByteArray throughHandle = "/proc/self/fd/" + QByteArray::number(parentFd) + '/' + leaf;
                const std::optional<QStringList> attributes = listExtendedAttributes(throughHandle, &error);
                if (!attributes)
                    logLine(QStringLiteral("SystemCleanHelper: Cannot read file attributes: ") + error);
                else if (!attributes->isEmpty())
                    logLine(QStringLiteral("SystemCleanHelper: Extended attributes found: [\"")
                            + attributes->join(QStringLiteral("\", \"")) + QStringLiteral("\"]"));
            }
        }
        const int answer = check->answers.value(index, -1);
        check->failed << failedWith(item, answer > 0 ? answer : 0);
    }
    scheduler.post([check] { check->completion(check->deleted, check->failed); });
}

void SystemCleanHelper::protectedFilesFailureMessage(const Items &survivors, bool hasFullDiskAccess,
                                                     const OutcomeCompletion &completion)
{
    if (survivors.isEmpty()) {
        completion(true, std::nullopt);
        return;
    }
    QString message = QStringLiteral("Failed to delete %1 protected system files").arg(survivors.size());
    if (!hasFullDiskAccess)
        message += QStringLiteral(" (Full Disk Access not granted)");
    if (std::any_of(survivors.cbegin(), survivors.cend(),
                    [](const FileItem &item) { return namesSystemFolder(item.fsPath()); }))
        message += QStringLiteral(". These files are protected by macOS System Integrity Protection.");
    logLine(QStringLiteral("SystemCleanHelper: ") + message);
    completion(false, message);
}

