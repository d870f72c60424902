#include "cleaning/SystemCleanHelper.h"

#include "cleaning/PathHandles.h"
#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/SafeRemove.h"
#include "localization/Localization.h"
#include "platform/DialogPresenter.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using pathhandles::lastComponent;
using pathhandles::parentOf;

const QString kPolkitService = QStringLiteral("org.freedesktop.PolicyKit1");
// A bus that is there but stuck must not freeze the dialog that asked.
constexpr int kBusCallTimeoutMs = 2000;

std::atomic<SystemCleanHelper *> g_installed{nullptr};

// Sends one call to the bus daemon itself; nothing when it does not answer in time.
QVariant busDaemonCall(QDBusConnection &bus, const QString &method, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("/org/freedesktop/DBus"),
                                                          QStringLiteral("org.freedesktop.DBus"), method);
    message.setArguments(arguments);
    const QDBusMessage reply = bus.call(message, QDBus::Block, kBusCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst();
}

// polkit is usable when its authority runs now or the bus can start it on demand.
bool defaultPolkitAuthorityAnswers()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return false;
    if (busDaemonCall(bus, QStringLiteral("NameHasOwner"), {kPolkitService}).toBool())
        return true;
    return busDaemonCall(bus, QStringLiteral("ListActivatableNames"), {}).toStringList().contains(kPolkitService);
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

bool isProtectedName(const QByteArray &path)
{
    return SystemCleanHelper::neverDeleteNames().contains(QString::fromUtf8(lastComponent(path)));
}

bool namesSystemFolder(const QByteArray &path)
{
    return path.contains(".Spotlight-V100") || path.contains(".Trashes");
}

QString adminToolPath(const SystemCleanHelper::ProbeEnvironment &environment)
{
    return environment.adminTool.isEmpty()
               ? QCoreApplication::applicationDirPath() + QStringLiteral("/sweepbrook-admin-clean")
               : environment.adminTool;
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

} // namespace

struct SystemCleanHelper::Batch
{
    std::shared_ptr<HeldVolume> volume;
    std::optional<QString> fileSystemType;
    Items kept;
    Items privileged;
    QList<QByteArray> privilegedRelative;   // their paths below the volume root
    Items deleted;
    Items failed;
    Progress progress;
    BatchCompletion completion;

    void reportProgress() const
    {
        if (progress)
            progress(int(kept.size()), int(kept.size()));
    }
    void logSummary() const
    {
        logLine(QStringLiteral("SystemCleanHelper: Batch clean completed - Deleted: %1, Failed: %2")
                    .arg(deleted.size())
                    .arg(failed.size()));
    }
    void complete() const
    {
        if (completion)
            completion(deleted, failed);
    }
};

struct SystemCleanHelper::Impl
{
    Scheduler &scheduler;
    ProbeEnvironment environment;

    // The probe runs under the lock too, so two callers never probe at once and
    // the second one gets the first one's answer from the cache.
    mutable QMutex mutex;
    struct CachedStatus
    {
        bool status = false;
        Scheduler::Duration timestamp{0};
    };
    std::optional<CachedStatus> cache;
    int probes = 0;

    SystemCleanHelper *owner = nullptr;
    DialogPresenter *presenter = nullptr;   // used on the main thread only

    Impl(Scheduler &s, ProbeEnvironment e)
        : scheduler(s)
        , environment(std::move(e))
    {
    }

    void deletePrivilegedFiles(const std::shared_ptr<Batch> &batch);
    void recordPrivilegedOutcome(const std::shared_ptr<Batch> &batch, const Items &removed, const Items &failed,
                                 const std::optional<QString> &message);
    static void finishBatch(const Batch &batch);

    // One check of the items still present; the next comes half a second later.
    struct Check
    {
        std::shared_ptr<HeldVolume> volume;
        Items items;
        QHash<qsizetype, int> answers;
        QList<qsizetype> remaining;   // indexes into items still to look at
        Items deleted;
        Items failed;
        CheckCompletion completion;
        int round = 0;
    };
    static constexpr int kCheckRounds = 3;
    void checkRound(const std::shared_ptr<Check> &check);

    bool probe()
    {
        ++probes;
        if (environment.isRoot()) {
            logLine(QStringLiteral("SystemCleanHelper: Full Disk Access detected - running as root"));
            return true;
        }
        logLine(QStringLiteral("SystemCleanHelper: Full Disk Access not detected - not running as root"));
        // Without pkexec there is nothing to ask polkit for, so the bus is left alone.
        if (isExecutableFile(environment.pkexecPath) && environment.polkitAuthorityAnswers()) {
            logLine(QStringLiteral("SystemCleanHelper: Full Disk Access detected - pkexec and a polkit authority are available"));
            return true;
        }
        logLine(QStringLiteral("SystemCleanHelper: No Full Disk Access - pkexec or polkit is not available"));
        return false;
    }
};

SystemCleanHelper::SystemCleanHelper(Scheduler &scheduler, ProbeEnvironment environment)
{
    if (!environment.isRoot)
        environment.isRoot = [] { return ::geteuid() == 0; };
    if (!environment.polkitAuthorityAnswers)
        environment.polkitAuthorityAnswers = defaultPolkitAuthorityAnswers;
    if (!environment.effectiveUid)
        environment.effectiveUid = [] { return ::geteuid(); };
    if (!environment.hasEnvironmentVariable)
        environment.hasEnvironmentVariable = [](const char *name) { return qEnvironmentVariableIsSet(name); };
    d = std::make_unique<Impl>(scheduler, std::move(environment));
    d->owner = this;
}

SystemCleanHelper::~SystemCleanHelper()
{
    SystemCleanHelper *self = this;
    g_installed.compare_exchange_strong(self, nullptr);
}

SystemCleanHelper &SystemCleanHelper::shared()
{
    if (SystemCleanHelper *installed = g_installed.load(std::memory_order_acquire))
        return *installed;
    static SystemCleanHelper helper(Scheduler::shared(), ProbeEnvironment{});
    return helper;
}

void SystemCleanHelper::setShared(SystemCleanHelper *helper)
{
    g_installed.store(helper, std::memory_order_release);
}

bool SystemCleanHelper::checkFullDiskAccess()
{
    QMutexLocker lock(&d->mutex);
    const Scheduler::Duration now = d->scheduler.now();
    if (d->cache && now - d->cache->timestamp < std::chrono::duration_cast<Scheduler::Duration>(
                                                    std::chrono::duration<double>(fullDiskAccessCacheTimeout))) {
        logLine(QStringLiteral("SystemCleanHelper: Using cached Full Disk Access status: ") + boolText(d->cache->status));
        return d->cache->status;
    }
    const bool status = d->probe();
    d->cache = Impl::CachedStatus{status, now};
    logLine(QStringLiteral("SystemCleanHelper: Final Full Disk Access status: ") + boolText(status));
    return status;
}

void SystemCleanHelper::clearFullDiskAccessCache()
{
    {
        QMutexLocker lock(&d->mutex);
        d->cache.reset();
    }
    logLine(QStringLiteral("SystemCleanHelper: Full Disk Access cache cleared"));
}

int SystemCleanHelper::probeCount() const
{
    QMutexLocker lock(&d->mutex);
    return d->probes;
}

void SystemCleanHelper::setDialogPresenter(DialogPresenter *presenter)
{
    d->presenter = presenter;
}

const QSet<QString> &SystemCleanHelper::neverDeleteNames()
{
    static const QSet<QString> names{QStringLiteral(".VolumeIcon.icns")};
    return names;
}

// ---- Batches ----

void SystemCleanHelper::batchClean(const std::shared_ptr<HeldVolume> &volume, const Items &files,
                                   const std::optional<QString> &fileSystemType, Progress progress,
                                   BatchCompletion completion)
{
    auto batch = std::make_shared<Batch>();
    batch->volume = volume;
    batch->fileSystemType = fileSystemType;
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
        logLine(QStringLiteral("SystemCleanHelper: Processing file: ") + item.path);
    Items regular;
    QList<QByteArray> regularRelative;
    for (const FileItem &item : std::as_const(batch->kept)) {
        // An item outside the volume (or with no volume held) is never
        // examined; the removal step reports it.
        const std::optional<QByteArray> relative = volume ? volume->relativePath(item.fsPath()) : std::nullopt;
        if (relative && item.hasIdentity() && requiresPrivileges(*volume, *relative)) {
            logLine(QStringLiteral("SystemCleanHelper: File requires privileges: ") + item.path);
            batch->privileged << item;
            batch->privilegedRelative << *relative;
        } else {
            logLine(QStringLiteral("SystemCleanHelper: File is regular: ") + item.path);
            regular << item;
            regularRelative << relative.value_or(QByteArray());
        }
    }
    logLine(QStringLiteral("SystemCleanHelper: %1 regular files, %2 privileged files")
                .arg(regular.size())
                .arg(batch->privileged.size()));

    int done = 0;
    for (qsizetype i = 0; i < regular.size(); ++i) {
        const FileItem &item = regular.at(i);
        SafeRemove::Outcome outcome;
        if (!volume)
            outcome = {ENODEV, QStringLiteral("Not removing \"%1\": the volume it was scanned on is not there")
                                   .arg(item.path)};
        else if (regularRelative.at(i).isEmpty())
            outcome = {EINVAL, QStringLiteral("Not removing \"%1\": it is not inside \"%2\"")
                                   .arg(item.path, pathText(volume->root()))};
        else
            outcome = SafeRemove::removeScanned(*volume, regularRelative.at(i), item);
        if (outcome.removed()) {
            batch->deleted << item;
            logLine(QStringLiteral("SystemCleanHelper: Deleted regular file: ") + item.path);
        } else {
            logLine(QStringLiteral("SystemCleanHelper: Failed to delete regular file: ") + item.path
                    + QStringLiteral(", error: ") + outcome.message);
            // Refused: an immutable or append-only flag (only the administrator
            // may clear one, also on the user's own files and when we are root),
            // or something inside a folder the user may not change.
            if (outcome.error == EPERM || outcome.error == EACCES) {
                logLine(QStringLiteral("SystemCleanHelper: File requires privileges: ") + item.path);
                batch->privileged << item;
                batch->privilegedRelative << regularRelative.at(i);
            } else {
                batch->failed << item;
            }
        }
        if (batch->progress)
            batch->progress(++done, total);
    }

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
        logLine(QStringLiteral("SystemCleanHelper: Will attempt to delete: ") + item.path);
    d->deletePrivilegedFiles(batch);
}

void SystemCleanHelper::Impl::deletePrivilegedFiles(const std::shared_ptr<Batch> &batch)
{
    const Items &items = batch->privileged;
    logLine(QStringLiteral("SystemCleanHelper: Attempting to clean %1 system files (after protection filter)")
                .arg(items.size()));
    const bool hasFullDiskAccess = owner->checkFullDiskAccess();
    logLine(QStringLiteral("SystemCleanHelper: Full Disk Access status: ") + boolText(hasFullDiskAccess));

    // A sandboxed app cannot start an administrator tool.
    if (environment.hasEnvironmentVariable("APP_SANDBOX_CONTAINER_ID")
        || environment.hasEnvironmentVariable("FLATPAK_ID")) {
        logLine(QStringLiteral("SystemCleanHelper: Cannot delete system files in current configuration"));
        recordPrivilegedOutcome(batch, {}, items, QStringLiteral("System file deletion not available"));
        return;
    }

    logLine(QStringLiteral("SystemCleanHelper: Using administrator privileges for deletion"));
    CleanRequest request;
    request.root = batch->volume->root();
    request.device = batch->volume->device();
    request.rootInode = batch->volume->rootInode();
    for (qsizetype i = 0; i < items.size(); ++i) {
        const FileItem &item = items.at(i);
        logLine(QStringLiteral("SystemCleanHelper: File to delete: ") + item.path);
        request.items.append(CleanRequest::Item{batch->privilegedRelative.at(i), item.kind, item.device, item.inode});
    }
    logLine(QStringLiteral("SystemCleanHelper: Executing script: ") + adminToolPath(environment)
            + QStringLiteral(" with %1 items on ").arg(items.size()) + pathText(request.root));

    scheduler.post([this, batch, request = request.encode(), hasFullDiskAccess] {
        owner->runAdministratorTool(request, [this, batch, hasFullDiskAccess](bool ran, const std::optional<QString> &message,
                                                                            const QHash<qsizetype, int> &answers) {
            if (!ran) {
                recordPrivilegedOutcome(batch, {}, batch->privileged, message);
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
    if (systemFolders)
        owner->showSystemFilesAlertOnMain([batch] { finishBatch(*batch); });
    else
        finishBatch(*batch);
}

void SystemCleanHelper::Impl::finishBatch(const Batch &batch)
{
    batch.reportProgress();
    batch.logSummary();
    for (const FileItem &item : batch.deleted)
        logLine(QStringLiteral("SystemCleanHelper: Successfully deleted: ") + item.path);
    for (const FileItem &item : batch.failed)
        logLine(QStringLiteral("SystemCleanHelper: Failed to delete: ") + item.path);
    batch.complete();
}

bool SystemCleanHelper::requiresPrivileges(HeldVolume &volume, const QByteArray &relative) const
{
    const QByteArray path = pathhandles::childPath(volume.root(), relative);
    const HeldVolume::Look item = volume.look(relative);
    if (item.error == ENOENT || item.error == ENOTDIR) {
        logLine(QStringLiteral("SystemCleanHelper: File does not exist: ") + pathText(path));
        return false;
    }
    if (item.error != 0) {
        logLine(QStringLiteral("SystemCleanHelper: Cannot read attributes for file: ") + pathText(path)
                + QStringLiteral(", error: ") + errorText(item.error));
        // Only a refusal is the administrator's to lift; a volume gone or a
        // link on the way is not, and the ordinary removal reports it.
        return item.error == EACCES || item.error == EPERM;
    }
    logLine(QStringLiteral("SystemCleanHelper: File ") + pathText(path) + QStringLiteral(" - Owner: ")
            + accountName(item.st.st_uid).value_or(QString::number(item.st.st_uid)));

    const uid_t me = d->environment.effectiveUid();
    if (item.st.st_uid == 0 && me != 0) {
        logLine(QStringLiteral("SystemCleanHelper: File owned by system user: ") + pathText(path));
        return true;
    }
    // A folder goes with its contents, so its own entries must be removable too.
    if (S_ISDIR(item.st.st_mode) && !mayChangeEntries(item.st, me)) {
        logLine(QStringLiteral("SystemCleanHelper: No write permission for file: ") + pathText(path));
        return true;
    }
    // Whether an entry may be removed is decided by its folder: write and
    // search, and with the sticky bit also owning the entry or the folder.
    QByteArray name;
    const int parentFd = volume.openParent(relative, &name);
    struct stat folder{};
    if (parentFd < 0 || ::fstat(parentFd, &folder) != 0 || !mayChangeEntries(folder, me)
        || ((folder.st_mode & S_ISVTX) && me != 0 && me != item.st.st_uid && me != folder.st_uid)) {
        logLine(QStringLiteral("SystemCleanHelper: No write permission for parent directory: ")
                + pathText(pathhandles::parentOf(path)));
        return true;
    }
    return false;
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
    // 0: every item gone; 1: some are not (the answers say which). Anything
    // else means the tool did not get to the items.
    if (code == 0 || code == 1) {
        logLine(QStringLiteral("SystemCleanHelper: Script executed successfully"));
        logLine(QStringLiteral("SystemCleanHelper: Script result: ")
                + (errorText.isEmpty() ? QStringLiteral("no result") : errorText));
        completion(true, std::nullopt, CleanAnswer::parse(result.standardOutput));
        return;
    }
    const QString message = errorText.isEmpty() ? QStringLiteral("Unknown error") : errorText;
    // pkexec exits 126 when the authentication dialog was dismissed.
    const bool cancelled = code == 126;
    logLine(QStringLiteral("SystemCleanHelper: Script execution failed - Error %1: ").arg(cancelled ? -128 : code)
            + message);
    completion(false, cancelled ? SystemCleanHelper::cancelledMessage : message, {});
}

} // namespace

void SystemCleanHelper::runAdministratorTool(const QByteArray &request, ToolCompletion completion)
{
    ProcessRequest run;
    const QString tool = adminToolPath(d->environment);
    QStringList command = d->environment.elevationCommand;
    if (command.isEmpty() && !d->environment.isRoot())
        command = {d->environment.pkexecPath};
    command << tool;
    run.program = command.takeFirst();
    run.arguments = command;
    run.standardInput = request;

    Scheduler &scheduler = d->scheduler;
    // The authentication dialog and the tool may take long: never on the main thread.
    scheduler.runInBackground([&scheduler, run, completion = std::move(completion)] {
        const ProcessResult result = runProcess(run);
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
        const QString path = item.path;
        const std::optional<QByteArray> relative = check->volume->relativePath(item.fsPath());
        const HeldVolume::Look now = relative ? check->volume->look(*relative) : HeldVolume::Look{EINVAL, {}};
        // What the tool answered; no answer (it stopped half-way) is no word either way.
        const int answer = check->answers.value(index, -1);
        const bool isTrash = lastComponent(item.fsPath()) == ".Trashes";
        if (answer > 0) {
            // The tool saw it stay (under this name or another one): a
            // name gone from its place is not a removed item.
            logLine(QStringLiteral("SystemCleanHelper: Attempt %1 - File still exists: ").arg(attempt) + path);
            check->failed << item;
        } else if (now.error == ENOENT) {
            logLine((isTrash ? QStringLiteral("SystemCleanHelper: .Trashes completely deleted: ")
                             : QStringLiteral("SystemCleanHelper: File deleted: ")) + path);
            check->deleted << item;
        } else if (now.error == 0 && isTrash && !S_ISDIR(now.st.st_mode) && answer == 0) {
            // The tool leaves a plain file in place of the folder.
            logLine(QStringLiteral("SystemCleanHelper: .Trashes successfully replaced with file: ") + path);
            logLine(QStringLiteral("SystemCleanHelper: Successfully neutralized .Trashes folder by replacing with file: ")
                    + path);
            check->deleted << item;
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
        } else {
            logLine(QStringLiteral("SystemCleanHelper: Cannot confirm the deletion of ") + path + QStringLiteral(": ")
                    + errorText(now.error));
            check->failed << item;
        }
    }
    check->remaining = present;

    if (!present.isEmpty() && attempt < kCheckRounds) {
        scheduler.after(std::chrono::milliseconds(500), [this, check] {
            scheduler.runInBackground([this, check] { checkRound(check); });
        });
        return;
    }

    for (const qsizetype index : std::as_const(present)) {
        const FileItem &item = check->items.at(index);
        logLine(QStringLiteral("SystemCleanHelper: WARNING - File could not be deleted: ") + item.path);
        if (namesSystemFolder(item.fsPath())) {
            logLine(QStringLiteral("SystemCleanHelper: System-protected file detected: ") + item.path);
            const std::optional<QByteArray> relative = check->volume->relativePath(item.fsPath());
            const HeldVolume::Look now = relative ? check->volume->look(*relative) : HeldVolume::Look{EINVAL, {}};
            if (now.error != 0)
                logLine(QStringLiteral("SystemCleanHelper: Cannot read file attributes: ") + errorText(now.error));
            else if (const std::optional<QString> name = accountName(now.st.st_uid))
                logLine(QStringLiteral("SystemCleanHelper: File owner: ") + *name);
        }
        check->failed << item;
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

// ---- Dialog and settings ----

void SystemCleanHelper::showSystemFilesAlert(const std::function<void()> &completion)
{
    GuideDialog dialog;
    dialog.title = mainTableLocalized(QStringLiteral("System Files Cannot Be Deleted"));
    dialog.style = GuideDialog::Style::informational;
    const bool hasAccess = checkFullDiskAccess();
    if (hasAccess) {
        // Each key stays one literal: the key checker reads it that way.
        dialog.message = mainTableLocalized(QStringLiteral("Some system files are protected by macOS System Integrity Protection (SIP) and cannot be deleted even with Full Disk Access.\n\nThese files include:\n• .Spotlight-V100 (search index)\n• .Trashes (system trash)\n• .fseventsd (file system events)\n\nThis is normal macOS behavior. The indexing has been disabled to prevent future growth."));
        dialog.buttons = {mainTableLocalized(QStringLiteral("Understood"))};
    } else {
        dialog.message = mainTableLocalized(QStringLiteral("Some system files require Full Disk Access permission to be deleted automatically.\n\nTo set up this permission, please go to Settings → Permissions in Sweepbrook or restart the app to see the setup guide.\n\nFor now, these files have been skipped."));
        dialog.buttons = {mainTableLocalized(QStringLiteral("OK")), mainTableLocalized(QStringLiteral("Open Settings"))};
    }

    if (!d->presenter) {
        logLine(QStringLiteral("SystemCleanHelper: No dialog presenter, system files dialog not shown"));
    } else if (d->presenter->runModal(dialog) == 1001 && !hasAccess) {
        openFullDiskAccessSettings();
    }
    if (completion)
        completion();
}

void SystemCleanHelper::showSystemFilesAlertOnMain(std::function<void()> then)
{
    d->scheduler.post([this, then = std::move(then)] { showSystemFilesAlert(then); });
}

void SystemCleanHelper::openFullDiskAccessSettings()
{
    if (d->presenter)
        d->presenter->openPrivilegedAccessSettings();
    else
        logLine(QStringLiteral("SystemCleanHelper: This desktop has no privileged access settings page"));
}

std::optional<QStringList> SystemCleanHelper::listExtendedAttributes(const QByteArray &path, QString *error)
{
    // The list may grow between asking for its size and reading it: ask again then.
    for (int tries = 0; tries < 4; ++tries) {
        const ssize_t size = ::llistxattr(path.constData(), nullptr, 0);
        if (size < 0)
            break;
        if (size == 0)
            return QStringList{};
        QByteArray buffer(size, '\0');
        const ssize_t got = ::llistxattr(path.constData(), buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == ERANGE)
            continue;
        if (got < 0)
            break;
        QStringList names;
        for (const QByteArray &name : buffer.left(got).split('\0')) {
            if (!name.isEmpty())
                names << QString::fromUtf8(name);
        }
        return names;
    }
    if (error)
        *error = errorText(errno);
    return std::nullopt;
}
