#pragma once

// What SystemCleanHelper's files share: SystemCleanHelper.cpp (the access
// probe and the dialogs), SystemCleanHelperAccess.cpp (what needs the
// administrator), SystemCleanHelperBatch.cpp (the batches) and
// SystemCleanHelperTool.cpp (the administrator tool and the check after it).
// Not for use elsewhere.

#include "cleaning/PathArena.h"
#include "cleaning/SystemCleanHelper.h"
#include "platform/FileNames.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <QMutex>

#include <memory>
#include <optional>

#include <sys/stat.h>
#include <sys/types.h>

bool isExecutableFile(const QString &path);

// An item's path and how its lines show it: read as people read file names
// (the reading of FileItem::path(), in the item's own lines) and as the
// diagnostics read paths (pathText, in the lines of the look at it), each as
// logged. Plain UTF-8 reads alike both ways and is shown as the bytes
// themselves. The bytes are not copied: they must stay while it is used.
struct ShownPath
{
    ShownPath() = default;
    explicit ShownPath(QByteArrayView bytes) { show(bytes, isLoggedAsItIs(bytes)); }
    explicit ShownPath(QByteArray &&) = delete;   // it would view bytes about to go

    // Shows `bytes`, which `asIs` says are logged as they are.
    void show(QByteArrayView bytes, bool asIs)
    {
        path = bytes;
        if (asIs) {
            asName = bytes;
            asText = bytes;
            return;
        }
        const QByteArray whole = bytes.toByteArray();
        m_name = loggedText(decodeFileName(whole));
        m_text = loggedText(pathText(whole));
        asName = m_name;
        asText = m_text;
    }

    QByteArrayView path;
    QByteArrayView asName;
    QByteArrayView asText;

private:
    QByteArray m_name;
    QByteArray m_text;
};

// The paths of a clean's items, read from their arenas each time a line or a
// look needs one, the folder of the last kept: the items of a folder cost
// their names. A clean holds no text per item.
class ItemPaths
{
public:
    // The item's path, valid until the next call.
    const ShownPath &read(const FileItem &item)
    {
        const PathArena *arena = item.arena();
        if (!arena) {
            m_shown.show({}, true);
            return m_shown;
        }
        if (arena != m_arena) {
            m_reader.emplace(*arena);
            m_arena = arena;
        }
        const QByteArrayView path = m_reader->path(item.node());
        m_shown.show(path, m_reader->folderWrittenAsIs() && isLoggedAsItIs(path.sliced(m_reader->nameStart())));
        return m_shown;
    }

private:
    const PathArena *m_arena = nullptr;
    std::optional<PathReader> m_reader;
    ShownPath m_shown;
};

struct SystemCleanHelper::Batch
{
    std::shared_ptr<HeldVolume> volume;
    Items kept;
    Items privileged;
    QList<QByteArray> privilegedRelative;   // their paths below the volume root
    Items deleted;
    Items failed;
    // What the dialog about system files says: the system folders the
    // administrator step tried and could not remove, or that it was not
    // tried on them because privileged deletion does not work here.
    QSet<QByteArray> systemFoldersLeft;
    bool systemFilesSkipped = false;
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
    std::optional<QString> lastProblem;   // found by the last probe
    bool lastAsRoot = false;              // the last probe found it working as root
    int probes = 0;

    SystemCleanHelper *owner = nullptr;
    DialogPresenter *presenter = nullptr;   // used on the main thread only

    Impl(Scheduler &s, ProbeEnvironment e)
        : scheduler(s)
        , environment(std::move(e))
    {
    }

    // ---- What needs the administrator (SystemCleanHelperAccess.cpp) ----

    // Does removing the item `path` need the administrator? `error` and `item`:
    // a look at it now (its errno, else its lstat); `folderFd`, its folder (-1
    // when it could not be examined) with `folder` its stat; `name` its name in
    // it. With `kernelDecides` (a FUSE volume, judged as ourselves) the kernel's
    // access answer counts, not the owner and mode bits shown. Its lines go to `lines`
    // (appendLogPieces).
    static bool judgeAccess(const ShownPath &path, int error, const struct stat &item, int folderFd,
                            const struct stat &folder, const char *name, uid_t me, bool kernelDecides,
                            QByteArray &lines);
    // The account name of a uid; nothing when the system knows no name.
    static std::optional<QString> accountName(uid_t uid);
    static QByteArray loggedOwner(uid_t uid);

    // ---- Batches (SystemCleanHelperBatch.cpp) ----

    class OrdinaryPass;
    void deletePrivilegedFiles(const std::shared_ptr<Batch> &batch);
    bool privilegedStepRefused(const std::shared_ptr<Batch> &batch);
    void runTool(const std::shared_ptr<Batch> &batch, const QByteArray &request, bool hasFullDiskAccess,
                 const std::shared_ptr<const QList<QList<qsizetype>>> &itemsOf);
    void toolAnswered(const std::shared_ptr<Batch> &batch, bool hasFullDiskAccess, const QList<QList<qsizetype>> &itemsOf,
                      bool ran, const std::optional<QString> &message, const QHash<qsizetype, int> &asked);
    void recordPrivilegedOutcome(const std::shared_ptr<Batch> &batch, const Items &removed, const Items &failed,
                                 const std::optional<QString> &message);
    static void finishBatch(const Batch &batch);
    // The system folder (one of systemFolderNames()) the path is or lies in;
    // empty for none.
    static QByteArray systemFolderOf(QByteArrayView path);
    static bool namesSystemFolder(QByteArrayView path) { return !systemFolderOf(path).isEmpty(); }

    // ---- The check after the administrator tool (SystemCleanHelperTool.cpp) ----

    // One check of the items still present; the next comes half a second later.
    struct Check
    {
        std::shared_ptr<HeldVolume> volume;
        Items items;
        QHash<qsizetype, int> answers;
        int unanswered = 0;   // why an item with no answer stays
        QList<qsizetype> remaining;   // indexes into items still to look at
        Items deleted;
        Items failed;
        // The system folders the tool tried to remove and that stayed.
        QSet<QByteArray> systemFoldersLeft;
        std::function<void(const Check &)> completion;
        int round = 0;

        // Looks at an item again in round `attempt`: true while it is still
        // there and may yet go, else it is deleted or failed.
        bool lookAt(qsizetype index, int attempt);
        void removed(const FileItem &item);
        // After the last round: the item stayed.
        void stayed(qsizetype index);
        void describeSystemFolder(const FileItem &item) const;
        void leftByTheTool(const FileItem &item);
    };
    static constexpr int kCheckRounds = 3;
    void verify(const std::shared_ptr<HeldVolume> &volume, const Items &items, const QHash<qsizetype, int> &answers,
                int unanswered, std::function<void(const Check &)> completion);
    void checkRound(const std::shared_ptr<Check> &check);

    QString adminToolPath() const
    {
        return environment.adminTool.isEmpty() ? SystemCleanHelper::installedTool(QStringLiteral("sweepbrook-admin-clean"))
                                               : environment.adminTool;
    }

    // Why the administrator tool must not run as root: logged in English,
    // returned for the user. Nothing when it may run.
    std::optional<QString> toolProblem() const;

    bool probe()
    {
        ++probes;
        lastAsRoot = false;
        lastProblem = toolProblem();
        if (lastProblem) {
            logLine(QStringLiteral("SystemCleanHelper: No Full Disk Access - the administrator tool cannot be trusted"));
            return false;
        }
        if (environment.isRoot()) {
            logLine(QStringLiteral("SystemCleanHelper: Full Disk Access detected - running as root"));
            lastAsRoot = true;
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

