#pragma once

#include "cleaning/FileType.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

#include <sys/types.h>

class DialogPresenter;
class HeldVolume;
class Scheduler;
class VolumeWork;

// Deletes what a clean hands it and judges whether privileged deletion works here.
// Ordinary removal for what the user may delete; one run of our administrator
// tool (pkexec with the installed tool's path, or the tool itself when already
// root) for the rest; then a check that those items are gone. A tool that
// anyone but root could have changed is never run as root: the items fail,
// and the user is told why. Every item is reached
// through the volume the clean holds and removed only while it is still what
// the scan found; each item's outcome is its own.
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
        // Our administrator tool (default: the installed one, installedTool()).
        // Tests and benchmarks name their own here; nothing in the
        // environment ever changes it. Whatever it is, it is run as root
        // only while root alone can change it (platform/TrustedProgram.h).
        QString adminTool;
        // What runs the tool as root, put before its path. Empty: pkexec, or
        // nothing when we are root already.
        QStringList elevationCommand;
        // The account whose rights decide what needs the administrator (default geteuid()).
        std::function<uid_t()> effectiveUid;
        // Is this variable set? (default: the process environment)
        std::function<bool(const char *)> hasEnvironmentVariable;
    };
    using Environment = ProbeEnvironment;

    using Paths = QList<QByteArray>;
    using Items = QList<FileItem>;
    using Progress = std::function<void(int done, int total)>;
    using BatchCompletion = std::function<void(const Items &deleted, const Items &failed)>;
    using OutcomeCompletion = std::function<void(bool success, const std::optional<QString> &message)>;
    // The tool's answers: item index to errno (0: removed).
    using ToolCompletion = std::function<void(bool ran, const std::optional<QString> &message,
                                              const QHash<qsizetype, int> &answers)>;

    static inline constexpr double fullDiskAccessCacheTimeout = 30.0;   // seconds
    static inline const QString cancelledMessage = QStringLiteral("User cancelled authorization");
    // The tool did not run because pkexec could not ask for the password: no
    // authentication agent runs in the session. pkexec's own words follow it.
    static inline const QString noAuthenticationAgentMessage =
        QStringLiteral("No authentication agent to ask for the administrator password");
    // The tool did not run because pkexec could not reach the polkit
    // authority that decides whether it may; pkexec's own words follow it.
    static inline const QString noPolkitAuthorityMessage =
        QStringLiteral("No polkit authority to ask whether the administrator tool may run");
    // The tool did not run because the program that asks for the
    // administrator's rights (pkexec) could not be started; why follows it.
    static inline const QString elevationMissingMessage =
        QStringLiteral("The program that asks for administrator rights could not be started");
    // The tool's run ended before it had answered for every item (killed,
    // or it died): the items it did not answer for and that are still there.
    static inline const QString toolStoppedMessage = QStringLiteral("The administrator tool stopped before it finished");
    // Why an item failed when that was so: failures of our own, beyond the
    // errno values a failure otherwise holds.
    static inline constexpr int noAuthenticationAgent = 0x10000;
    static inline constexpr int noPolkitAuthority = 0x10001;
    static inline constexpr int elevationMissing = 0x10002;
    static inline constexpr int toolStopped = 0x10003;
    // The failure of our own a message of runAdministratorTool stands for; 0 for none.
    static int failureOfMessage(const std::optional<QString> &message);

    SystemCleanHelper(Scheduler &scheduler, ProbeEnvironment environment);
    ~SystemCleanHelper();

    // A tool of ours where `cmake --install` puts it.
    static QString installedTool(const QString &name);

    static SystemCleanHelper &shared();
    static void setShared(SystemCleanHelper *helper);   // tests; nullptr restores

    // Where the system-files dialog is shown; without one it is skipped (logged).
    void setDialogPresenter(DialogPresenter *presenter);

    // True when privileged deletion works here: our administrator tool can be
    // run as root (root alone can change it), and the app runs as root, or
    // pkexec is installed and a polkit authority answers. Cached for 30
    // seconds (by the scheduler's clock).
    bool checkFullDiskAccess();
    void clearFullDiskAccessCache();

    // Whether the last probe found privileged deletion working because the
    // app runs as root (else it found pkexec and a polkit authority, or nothing).
    bool privilegedAsRoot() const;

    // Why privileged deletion does not work here, when the last probe found
    // our administrator tool unfit to run as root (localized); else nothing.
    std::optional<QString> privilegedAccessProblem() const;

    // How many times the probe really looked (tests).
    int probeCount() const;

    // ---- Batches ----
    static const QSet<QString> &neverDeleteNames();

    // Deletes `files`, scanned items of the held `volume` (anything outside it,
    // with no identity, or without a volume is reported failed and never
    // touched). Ordinary removal runs on the calling thread; with privileged
    // items the batch continues through the administrator tool and the check
    // and completes on the main thread, else it completes before returning.
    // The volume must stay alive until the completion and be used by nothing
    // else meanwhile.
    void batchClean(const std::shared_ptr<HeldVolume> &volume, const Items &files,
                    const std::optional<QString> &fileSystemType, Progress progress, BatchCompletion completion);

    // Does deleting this item need the administrator? Judged through the
    // held volume, the item as itself (a link is not followed): it cannot be
    // examined for lack of permission, it is root's while we are not root,
    // or its folder does not let us remove entries (a folder item: its own
    // entries too). On a FUSE volume the kernel's access answer, not the
    // owner and mode bits shown, decides.
    bool requiresPrivileges(HeldVolume &volume, const QByteArray &relative) const;

    // The clean the tool runs for: its answers and output are the clean's
    // progress, it stops and is given up with the clean, and each item it
    // answers removed is told to `onRemoved` (on the tool's waiting thread)
    // as the answer comes.
    struct ToolWatch
    {
        std::shared_ptr<VolumeWork> work;
        std::function<void(qsizetype index)> onRemoved;
    };

    // Runs the administrator tool with `request` (an encoded CleanRequest) in
    // the background; completion on the main thread. `ran` is false when it
    // did not get to the items: it could not start (elevationMissingMessage
    // when pkexec could not be), the authentication was dismissed ("User
    // cancelled authorization"), the password could not be asked for
    // (noAuthenticationAgentMessage, noPolkitAuthorityMessage) or it refused
    // the volume. Every answer it gave counts, however its run ended; a run
    // that ended before it answered for every item says toolStoppedMessage.
    void runAdministratorTool(const QByteArray &request, ToolCompletion completion, ToolWatch watch = {});

    // The check after the tool, through the held volume: rounds over the
    // items still present, at most three. Items the tool answered removed
    // and that are gone (or, for a trash folder, replaced by a plain file)
    // are deleted; every other item failed. An item the tool gave no answer
    // for and that stays fails with `unanswered` (0: not known).
    using CheckCompletion = std::function<void(const Items &deleted, const Items &failed)>;
    void verifyDeletion(const std::shared_ptr<HeldVolume> &volume, const Items &items,
                        const QHash<qsizetype, int> &answers, CheckCompletion completion, int unanswered = 0);
    static void protectedFilesFailureMessage(const Items &survivors, bool hasFullDiskAccess,
                                             const OutcomeCompletion &completion);

    // The system folders a volume's junk may hold (".Spotlight-V100",
    // ".Trashes", ".fseventsd"), in the order the dialog names them.
    static const QList<QByteArray> &systemFolderNames();
    // The dialogs about system files left on the volume, through the dialog
    // presenter (main thread): the system folders the administrator step
    // tried to remove and the volume kept (`left`, names among
    // systemFolderNames(), each once), or system files skipped because
    // privileged deletion does not work here.
    void showSystemFoldersLeftAlert(const QList<QByteArray> &left, const std::function<void()> &completion);
    void showSystemFilesSkippedAlert(const std::function<void()> &completion);
    // Tells the user that the administrator tool was not run, and why.
    void showToolRefusedAlert(const QString &problem, const std::function<void()> &completion);
    // Tells the user that the administrator's password could not be asked
    // for, and why (`pkexecSaid`: pkexec's own words).
    void showPasswordNotAskedAlert(const QString &pkexecSaid, const std::function<void()> &completion);
    void openFullDiskAccessSettings();

    // Names of the item's extended attributes (the link itself, not its target).
    static std::optional<QStringList> listExtendedAttributes(const QByteArray &path, QString *error = nullptr);

private:
    struct Impl;
    struct Batch;
    std::unique_ptr<Impl> d;
};
