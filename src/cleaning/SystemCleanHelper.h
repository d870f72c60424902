#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

#include <sys/types.h>

class DialogPresenter;
class Scheduler;

// Deletes what a clean hands it and judges whether privileged deletion works here.
// Ordinary removal for what the user may delete; one root shell script
// (pkexec /bin/sh -s, or /bin/sh -s when already root) for the rest; then a
// check that those files are gone.
class SystemCleanHelper
{
public:
    // What the helper looks at and runs. Tests replace parts.
    struct ProbeEnvironment
    {
        std::function<bool()> isRoot;                  // default: geteuid() == 0
        QString pkexecPath = QStringLiteral("/usr/bin/pkexec");
        // default: the polkit authority (org.freedesktop.PolicyKit1) answers on the system bus
        std::function<bool()> polkitAuthorityAnswers;
        // The command the script is piped to. Empty: /bin/sh -s as root,
        // pkexec /bin/sh -s otherwise.
        QStringList elevationCommand;
        // The account whose rights decide what needs the script (default geteuid()).
        std::function<uid_t()> effectiveUid;
        // Is this variable set? (default: the process environment)
        std::function<bool(const char *)> hasEnvironmentVariable;
    };
    using Environment = ProbeEnvironment;

    using Paths = QList<QByteArray>;
    using Progress = std::function<void(int done, int total)>;
    using BatchCompletion = std::function<void(const Paths &deleted, const Paths &failed)>;
    using OutcomeCompletion = std::function<void(bool success, const std::optional<QString> &message)>;

    static inline constexpr double fullDiskAccessCacheTimeout = 30.0;   // seconds
    static inline const QString cancelledMessage = QStringLiteral("User cancelled authorization");

    SystemCleanHelper(Scheduler &scheduler, ProbeEnvironment environment);
    ~SystemCleanHelper();

    static SystemCleanHelper &shared();
    static void setShared(SystemCleanHelper *helper);   // tests; nullptr restores

    // Where the system-files dialog is shown; without one it is skipped (logged).
    void setDialogPresenter(DialogPresenter *presenter);

    // True when privileged deletion works here: the app runs as root, or pkexec
    // is installed and a polkit authority answers. Cached for 30 seconds
    // (by the scheduler's clock).
    bool checkFullDiskAccess();
    void clearFullDiskAccessCache();

    // How many times the probe really looked (tests).
    int probeCount() const;

    // ---- Batches ----
    static const QSet<QString> &neverDeleteNames();

    // Deletes `files` (absolute paths inside `volumeRoot`; anything else is
    // reported failed and never touched). Ordinary removal runs on the calling
    // thread; with privileged paths the batch continues through the script and
    // the check and completes on the main thread, else it completes before
    // returning.
    void batchClean(const Paths &files, const std::optional<QString> &fileSystemType, const QByteArray &volumeRoot,
                    Progress progress, BatchCompletion completion);

    // Does deleting this item need the script? Judged with lstat (a link is
    // judged as itself): it cannot be examined, it is root's while we are not
    // root, or its folder does not let us remove entries.
    bool requiresPrivileges(const QByteArray &path) const;

    // Runs a script as root in the background; completion on the main thread
    // with the outcome. A dismissed authentication is (false, "User cancelled authorization").
    void runAdministratorScript(const QByteArray &script, OutcomeCompletion completion);

    // The check after the script: rounds over the paths still present, at most three.
    void verifyDeletion(const Paths &paths, bool hasFullDiskAccess, OutcomeCompletion completion);
    static void protectedFilesFailureMessage(const Paths &survivors, bool hasFullDiskAccess,
                                             const OutcomeCompletion &completion);

    void showSystemFilesAlert(const std::function<void()> &completion);
    void showSystemFilesAlertOnMain(std::function<void()> then);
    void openFullDiskAccessSettings();

    // Names of the item's extended attributes (the link itself, not its target).
    static std::optional<QStringList> listExtendedAttributes(const QByteArray &path, QString *error = nullptr);

private:
    struct Impl;
    struct Batch;
    std::unique_ptr<Impl> d;
};
