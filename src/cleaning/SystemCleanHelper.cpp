#include "cleaning/SystemCleanHelper.h"

#include "cleaning/PathHandles.h"
#include "cleaning/PrivilegedScript.h"
#include "cleaning/SafeRemove.h"
#include "localization/Localization.h"
#include "platform/DialogPresenter.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

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

bool anyNamesSystemFolder(const SystemCleanHelper::Paths &paths)
{
    return std::any_of(paths.cbegin(), paths.cend(), namesSystemFolder);
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
    QByteArray volumeRoot;
    std::optional<QString> fileSystemType;
    Paths kept;
    Paths privileged;
    Paths deleted;
    Paths failed;
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
    void recordPrivilegedOutcome(const std::shared_ptr<Batch> &batch, bool success,
                                 const std::optional<QString> &message);
    static void finishBatch(const Batch &batch);

    // One check of the paths still present; the next comes half a second later.
    struct Check
    {
        Paths remaining;
        Paths survivors;
        bool hasFullDiskAccess = false;
        OutcomeCompletion completion;
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

void SystemCleanHelper::batchClean(const Paths &files, const std::optional<QString> &fileSystemType,
                                   const QByteArray &volumeRoot, Progress progress, BatchCompletion completion)
{
    auto batch = std::make_shared<Batch>();
    batch->volumeRoot = volumeRoot;
    batch->fileSystemType = fileSystemType;
    batch->progress = std::move(progress);
    batch->completion = std::move(completion);

    Paths dropped;
    for (const QByteArray &path : files) {
        if (isProtectedName(path))
            dropped << path;
        else
            batch->kept << path;
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

    for (const QByteArray &path : std::as_const(batch->kept))
        logLine(QStringLiteral("SystemCleanHelper: Processing file: ") + pathText(path));
    Paths regular;
    for (const QByteArray &path : std::as_const(batch->kept)) {
        // A path outside the volume is never examined; the removal step reports it.
        if (SafeRemove::isInside(volumeRoot, path) && requiresPrivileges(path)) {
            logLine(QStringLiteral("SystemCleanHelper: File requires privileges: ") + pathText(path));
            batch->privileged << path;
        } else {
            logLine(QStringLiteral("SystemCleanHelper: File is regular: ") + pathText(path));
            regular << path;
        }
    }
    logLine(QStringLiteral("SystemCleanHelper: %1 regular files, %2 privileged files")
                .arg(regular.size())
                .arg(batch->privileged.size()));

    int done = 0;
    for (const QByteArray &path : std::as_const(regular)) {
        QString error;
        int errorNumber = 0;
        // removeItem refuses, untouched, a path that is not inside the volume.
        bool removed = false;
        if (SafeRemove::removeItem(volumeRoot, path, &error, &errorNumber)) {
            removed = true;
        } else if (errorNumber == ENOENT) {
            // It went with a folder of it removed earlier in this batch.
            removed = std::any_of(batch->deleted.cbegin(), batch->deleted.cend(),
                                  [&path](const QByteArray &folder) { return SafeRemove::isInside(folder, path); });
        }
        if (removed) {
            batch->deleted << path;
            logLine(QStringLiteral("SystemCleanHelper: Deleted regular file: ") + pathText(path));
        } else {
            batch->failed << path;
            logLine(QStringLiteral("SystemCleanHelper: Failed to delete regular file: ") + pathText(path)
                    + QStringLiteral(", error: ") + error);
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
    for (const QByteArray &path : std::as_const(batch->privileged))
        logLine(QStringLiteral("SystemCleanHelper: Will attempt to delete: ") + pathText(path));
    d->deletePrivilegedFiles(batch);
}

void SystemCleanHelper::Impl::deletePrivilegedFiles(const std::shared_ptr<Batch> &batch)
{
    const Paths &paths = batch->privileged;
    logLine(QStringLiteral("SystemCleanHelper: Attempting to clean %1 system files (after protection filter)")
                .arg(paths.size()));
    const bool hasFullDiskAccess = owner->checkFullDiskAccess();
    logLine(QStringLiteral("SystemCleanHelper: Full Disk Access status: ") + boolText(hasFullDiskAccess));

    // A sandboxed app cannot start a root shell.
    if (environment.hasEnvironmentVariable("APP_SANDBOX_CONTAINER_ID")
        || environment.hasEnvironmentVariable("FLATPAK_ID")) {
        logLine(QStringLiteral("SystemCleanHelper: Cannot delete system files in current configuration"));
        logLine(QStringLiteral("SystemCleanHelper: Failed to delete privileged files: System file deletion not available"));
        batch->failed << paths;
        if (anyNamesSystemFolder(batch->failed))
            owner->showSystemFilesAlertOnMain([batch] { finishBatch(*batch); });
        else
            finishBatch(*batch);
        return;
    }

    logLine(QStringLiteral("SystemCleanHelper: Using administrator privileges for deletion"));
    for (const QByteArray &path : paths)
        logLine(QStringLiteral("SystemCleanHelper: File to delete: ") + pathText(path));
    const QByteArray script = PrivilegedScript::buildScript(paths);
    logLine(QStringLiteral("SystemCleanHelper: Executing script: ") + QString::fromUtf8(script));

    scheduler.post([this, batch, script, hasFullDiskAccess] {
        owner->runAdministratorScript(script, [this, batch, hasFullDiskAccess](bool success,
                                                                              const std::optional<QString> &message) {
            if (!success) {
                recordPrivilegedOutcome(batch, false, message);
                return;
            }
            // Give the file system a moment before looking.
            scheduler.after(std::chrono::milliseconds(1500), [this, batch, hasFullDiskAccess] {
                owner->verifyDeletion(batch->privileged, hasFullDiskAccess,
                                      [this, batch](bool ok, const std::optional<QString> &verdict) {
                                          recordPrivilegedOutcome(batch, ok, verdict);
                                      });
            });
        });
    });
}

void SystemCleanHelper::Impl::recordPrivilegedOutcome(const std::shared_ptr<Batch> &batch, bool success,
                                                      const std::optional<QString> &message)
{
    if (success) {
        logLine(QStringLiteral("SystemCleanHelper: Successfully deleted privileged files"));
        batch->deleted << batch->privileged;
        batch->reportProgress();
        batch->logSummary();
        batch->complete();
        return;
    }
    logLine(QStringLiteral("SystemCleanHelper: Failed to delete privileged files: ")
            + message.value_or(QStringLiteral("Unknown error")));
    // All or nothing: what the script did remove is counted failed too.
    batch->failed << batch->privileged;
    if (anyNamesSystemFolder(batch->failed))
        owner->showSystemFilesAlertOnMain([batch] { finishBatch(*batch); });
    else
        finishBatch(*batch);
}

void SystemCleanHelper::Impl::finishBatch(const Batch &batch)
{
    batch.reportProgress();
    batch.logSummary();
    for (const QByteArray &path : batch.deleted)
        logLine(QStringLiteral("SystemCleanHelper: Successfully deleted: ") + pathText(path));
    for (const QByteArray &path : batch.failed)
        logLine(QStringLiteral("SystemCleanHelper: Failed to delete: ") + pathText(path));
    batch.complete();
}

bool SystemCleanHelper::requiresPrivileges(const QByteArray &path) const
{
    struct stat item{};
    if (::lstat(path.constData(), &item) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            logLine(QStringLiteral("SystemCleanHelper: File does not exist: ") + pathText(path));
            return false;
        }
        logLine(QStringLiteral("SystemCleanHelper: Cannot read attributes for file: ") + pathText(path)
                + QStringLiteral(", error: ") + errorText(error));
        return true;
    }
    logLine(QStringLiteral("SystemCleanHelper: File ") + pathText(path) + QStringLiteral(" - Owner: ")
            + accountName(item.st_uid).value_or(QString::number(item.st_uid)));

    const uid_t me = d->environment.effectiveUid();
    if (item.st_uid == 0 && me != 0) {
        logLine(QStringLiteral("SystemCleanHelper: File owned by system user: ") + pathText(path));
        return true;
    }
    // A folder goes with its contents, so its own entries must be removable too.
    if (S_ISDIR(item.st_mode) && !mayChangeEntries(item, me)) {
        logLine(QStringLiteral("SystemCleanHelper: No write permission for file: ") + pathText(path));
        return true;
    }
    // Whether an entry may be removed is decided by its folder: write and
    // search, and with the sticky bit also owning the entry or the folder.
    const QByteArray parent = parentOf(path);
    struct stat folder{};
    if (::stat(parent.constData(), &folder) != 0 || !mayChangeEntries(folder, me)
        || ((folder.st_mode & S_ISVTX) && me != 0 && me != item.st_uid && me != folder.st_uid)) {
        logLine(QStringLiteral("SystemCleanHelper: No write permission for parent directory: ") + pathText(parent));
        return true;
    }
    return false;
}

// ---- The root shell ----

namespace {

void reportScriptOutcome(const ProcessResult &result, const SystemCleanHelper::OutcomeCompletion &completion)
{
    if (!result.started) {
        logLine(QStringLiteral("SystemCleanHelper: Failed to create script: ") + result.errorString);
        completion(false, QStringLiteral("Failed to create script"));
        return;
    }
    if (result.succeeded()) {
        logLine(QStringLiteral("SystemCleanHelper: Script executed successfully"));
        const QString output = QString::fromUtf8(result.standardOutput).trimmed();
        logLine(QStringLiteral("SystemCleanHelper: Script result: ")
                + (output.isEmpty() ? QStringLiteral("no result") : output));
        completion(true, std::nullopt);
        return;
    }
    const QString stderrText = QString::fromUtf8(result.standardError).trimmed();
    const QString message = stderrText.isEmpty() ? QStringLiteral("Unknown error") : stderrText;
    const int code = result.exitedNormally() ? result.exitCode : -1;
    // pkexec exits 126 when the authentication dialog was dismissed.
    const bool cancelled = code == 126;
    logLine(QStringLiteral("SystemCleanHelper: Script execution failed - Error %1: ").arg(cancelled ? -128 : code)
            + message);
    completion(false, cancelled ? SystemCleanHelper::cancelledMessage : message);
}

} // namespace

void SystemCleanHelper::runAdministratorScript(const QByteArray &script, OutcomeCompletion completion)
{
    ProcessRequest request;
    const QStringList &command = d->environment.elevationCommand;
    if (!command.isEmpty()) {
        request.program = command.first();
        request.arguments = command.mid(1);
    } else if (d->environment.isRoot()) {
        request.program = QStringLiteral("/bin/sh");
        request.arguments = {QStringLiteral("-s")};
    } else {
        request.program = d->environment.pkexecPath;
        request.arguments = {QStringLiteral("/bin/sh"), QStringLiteral("-s")};
    }
    request.standardInput = script;

    Scheduler &scheduler = d->scheduler;
    // The authentication dialog and the script may take long: never on the main thread.
    scheduler.runInBackground([&scheduler, request, completion = std::move(completion)] {
        const ProcessResult result = runProcess(request);
        scheduler.post([result, completion] { reportScriptOutcome(result, completion); });
    });
}

// ---- The check after the script ----

void SystemCleanHelper::verifyDeletion(const Paths &paths, bool hasFullDiskAccess, OutcomeCompletion completion)
{
    auto check = std::make_shared<Impl::Check>();
    check->remaining = paths;
    check->hasFullDiskAccess = hasFullDiskAccess;
    check->completion = std::move(completion);
    d->scheduler.runInBackground([this, check] { d->checkRound(check); });
}

void SystemCleanHelper::Impl::checkRound(const std::shared_ptr<Check> &check)
{
    const int attempt = ++check->round;
    Paths present;
    for (const QByteArray &path : std::as_const(check->remaining)) {
        struct stat item{};
        const bool exists = ::lstat(path.constData(), &item) == 0;
        if (lastComponent(path) == ".Trashes") {
            if (!exists) {
                logLine(QStringLiteral("SystemCleanHelper: .Trashes completely deleted: ") + pathText(path));
            } else if (S_ISDIR(item.st_mode)) {
                logLine(QStringLiteral("SystemCleanHelper: Attempt %1 - .Trashes still exists as directory: ").arg(attempt)
                        + pathText(path));
                present << path;
            } else {
                // The script leaves a plain file in place of the folder.
                logLine(QStringLiteral("SystemCleanHelper: .Trashes successfully replaced with file: ") + pathText(path));
                logLine(QStringLiteral("SystemCleanHelper: Successfully neutralized .Trashes folder by replacing with file: ")
                        + pathText(path));
            }
        } else if (!exists) {
            logLine(QStringLiteral("SystemCleanHelper: File deleted: ") + pathText(path));
        } else {
            logLine(QStringLiteral("SystemCleanHelper: Attempt %1 - File still exists: ").arg(attempt) + pathText(path));
            present << path;
        }
    }
    check->remaining = present;

    if (!present.isEmpty() && attempt < kCheckRounds) {
        scheduler.after(std::chrono::milliseconds(500), [this, check] {
            scheduler.runInBackground([this, check] { checkRound(check); });
        });
        return;
    }

    for (const QByteArray &path : std::as_const(present)) {
        logLine(QStringLiteral("SystemCleanHelper: WARNING - File could not be deleted: ") + pathText(path));
        if (namesSystemFolder(path)) {
            logLine(QStringLiteral("SystemCleanHelper: System-protected file detected: ") + pathText(path));
            struct stat item{};
            if (::lstat(path.constData(), &item) != 0) {
                logLine(QStringLiteral("SystemCleanHelper: Cannot read file attributes: ") + errorText(errno));
            } else if (const std::optional<QString> name = accountName(item.st_uid)) {
                logLine(QStringLiteral("SystemCleanHelper: File owner: ") + *name);
            }
            QString error;
            const std::optional<QStringList> attributes = listExtendedAttributes(path, &error);
            if (!attributes) {
                logLine(QStringLiteral("SystemCleanHelper: Cannot read file attributes: ") + error);
            } else if (!attributes->isEmpty()) {
                logLine(QStringLiteral("SystemCleanHelper: Extended attributes found: [\"")
                        + attributes->join(QStringLiteral("\", \"")) + QStringLiteral("\"]"));
            }
        }
        check->survivors << path;
    }
    scheduler.post([check] {
        protectedFilesFailureMessage(check->survivors, check->hasFullDiskAccess, check->completion);
    });
}

void SystemCleanHelper::protectedFilesFailureMessage(const Paths &survivors, bool hasFullDiskAccess,
                                                     const OutcomeCompletion &completion)
{
    if (survivors.isEmpty()) {
        completion(true, std::nullopt);
        return;
    }
    QString message = QStringLiteral("Failed to delete %1 protected system files").arg(survivors.size());
    if (!hasFullDiskAccess)
        message += QStringLiteral(" (Full Disk Access not granted)");
    if (anyNamesSystemFolder(survivors))
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
