// SystemCleanHelper's administrator step: the tool run as root for what the
// user may not remove, and the check after it, through the volume the clean
// holds.
#include "cleaning/SystemCleanHelper.h"
#include "cleaning/SystemCleanHelperImpl.h"

#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/PathHandles.h"
#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/ProcessRunner.h"
#include "platform/Scheduler.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>

using pathhandles::lastComponent;

// ---- The administrator tool ----

namespace {

// Whether the tool's failure for an item says the volume kept it although
// the tool tried to remove it, not that the tool left it alone: not the
// item the scan found, an alias of another folder, on another file system,
// with another name, or a request it refused.
bool keptByTheVolume(int answer)
{
    switch (answer) {
    case ESTALE:
    case EUCLEAN:
    case EXDEV:
    case EMLINK:
    case EINVAL:
    case ENAMETOOLONG:
        return false;
    default:
        return answer > 0;
    }
}

// `elevated`: the program started was pkexec (or what stands for it), not the tool.
void reportToolOutcome(const ProcessResult &result, bool elevated, const SystemCleanHelper::ToolCompletion &completion)
{
    if (!result.started) {
        logLine(QStringLiteral("SystemCleanHelper: Failed to create script: ") + result.errorString);
        completion(false,
                   elevated ? SystemCleanHelper::elevationMissingMessage + QStringLiteral(": ") + result.errorString
                            : QStringLiteral("Failed to create script"),
                   {});
        return;
    }
    const QString errorText = QString::fromUtf8(result.standardError).trimmed();
    const int code = result.exitedNormally() ? result.exitCode : -1;
    const QHash<qsizetype, int> answers = CleanAnswer::parse(result.standardOutput);
    // 0: every item gone; 1: some are not (the answers say which). A run
    // that ended otherwise (it stopped before its last item, was killed, or
    // its volume went) still counts every answer it gave, and the disk says
    // what became of the rest; one that exited otherwise without any did not
    // get to the items.
    const bool finished = code == CleanAnswer::allGone || code == CleanAnswer::someLeft;
    if (finished || code == CleanAnswer::stopped || !answers.isEmpty() || result.signal != 0 || result.givenUp) {
        logLine(QStringLiteral("SystemCleanHelper: Script executed successfully"));
        // What the tool said, line by line as it wrote it.
        const QStringList lines = errorText.split(u'\n');
        for (const QString &line : lines)
            logLine(QStringLiteral("SystemCleanHelper: Script result: ")
                    + (errorText.isEmpty() ? QStringLiteral("no result") : line));
        if (!finished)
            logLine(QStringLiteral("SystemCleanHelper: Script ended early (%1 answers): ").arg(answers.size())
                    + (result.signal != 0 ? QStringLiteral("signal %1").arg(result.signal) : QStringLiteral("exit %1").arg(code)));
        completion(true, finished ? std::nullopt : std::optional(SystemCleanHelper::toolStoppedMessage), answers);
        return;
    }
    const QString message = errorText.isEmpty() ? QStringLiteral("Unknown error") : errorText;
    // pkexec exits 127 when it could not ask for the password: no
    // authentication agent runs in the session, and without a terminal it
    // cannot run one of its own ("Error creating textual authentication agent").
    // It exits 127 too when the polkit authority, which decides whether the
    // tool may run, cannot be reached ("Error getting authority").
    const bool noAgent = errorText.contains(QLatin1String("authentication agent"));
    if (code == 127 && (noAgent || errorText.contains(QLatin1String("Error getting authority")))) {
        logLine(QStringLiteral("SystemCleanHelper: Script execution failed - Error 127: ") + message);
        completion(false,
                   (noAgent ? SystemCleanHelper::noAuthenticationAgentMessage : SystemCleanHelper::noPolkitAuthorityMessage)
                       + QStringLiteral(": ") + message,
                   {});
        return;
    }
    // pkexec exits 126 when the authentication dialog was dismissed.
    const bool cancelled = code == 126;
    logLine(QStringLiteral("SystemCleanHelper: Script execution failed - Error %1: ").arg(cancelled ? -128 : code)
            + message);
    completion(false, cancelled ? SystemCleanHelper::cancelledMessage : message, {});
}

} // namespace

int SystemCleanHelper::failureOfMessage(const std::optional<QString> &message)
{
    if (!message)
        return 0;
    if (*message == cancelledMessage)
        return ECANCELED;
    for (const auto &[text, failure] : {std::pair{noAuthenticationAgentMessage, noAuthenticationAgent},
                                        {noPolkitAuthorityMessage, noPolkitAuthority},
                                        {elevationMissingMessage, elevationMissing},
                                        {toolStoppedMessage, toolStopped}}) {
        if (message->startsWith(text))
            return failure;
    }
    return 0;
}

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
    const bool elevated = !command.isEmpty();
    scheduler.runInBackground([&scheduler, run, elevated, completion = std::move(completion), work = watch.work] {
        const ProcessResult result = work ? work->run(run) : runProcess(run);
        if (work)
            work->setWaitingForUser(false);
        scheduler.post([result, elevated, completion] { reportToolOutcome(result, elevated, completion); });
    });
}

// ---- The check after the administrator tool ----

void SystemCleanHelper::verifyDeletion(const std::shared_ptr<HeldVolume> &volume, const Items &items,
                                       const QHash<qsizetype, int> &answers, CheckCompletion completion, int unanswered)
{
    d->verify(volume, items, answers, unanswered,
              [completion = std::move(completion)](const Impl::Check &check) { completion(check.deleted, check.failed); });
}

void SystemCleanHelper::Impl::verify(const std::shared_ptr<HeldVolume> &volume, const Items &items,
                                     const QHash<qsizetype, int> &answers, int unanswered,
                                     std::function<void(const Check &)> completion)
{
    auto check = std::make_shared<Check>();
    check->volume = volume;
    check->items = items;
    check->answers = answers;
    check->unanswered = unanswered;
    for (qsizetype i = 0; i < items.size(); ++i)
        check->remaining << i;
    check->completion = std::move(completion);
    scheduler.runInBackground([this, check] { checkRound(check); });
}

void SystemCleanHelper::Impl::checkRound(const std::shared_ptr<Check> &check)
{
    const int attempt = ++check->round;
    QList<qsizetype> present;
    for (const qsizetype index : std::as_const(check->remaining)) {
        if (check->lookAt(index, attempt))
            present << index;
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

    for (const qsizetype index : std::as_const(present))
        check->stayed(index);
    scheduler.post([check] { check->completion(*check); });
}

bool SystemCleanHelper::Impl::Check::lookAt(qsizetype index, int attempt)
{
    const FileItem &item = items.at(index);
    const QString path = item.path();
    const std::optional<QByteArray> relative = volume->relativePath(item.fsPath());
    const HeldVolume::Look now = relative ? volume->look(*relative) : HeldVolume::Look{EINVAL, {}};
    // What the tool answered; no answer (it stopped half-way) is no word either way.
    const int answer = answers.value(index, -1);
    const bool isTrash = lastComponent(item.fsPath()) == ".Trashes";
    if (answer > 0) {
        // The tool saw it stay (under this name or another one): a
        // name gone from its place is not a removed item.
        logLine(QStringLiteral("SystemCleanHelper: Attempt %1 - File still exists: ").arg(attempt) + path);
        failed << failedWith(item, answer);
        if (keptByTheVolume(answer))
            leftByTheTool(item);
    } else if (now.error == ENOENT) {
        logLine((isTrash ? QStringLiteral("SystemCleanHelper: .Trashes completely deleted: ")
                         : QStringLiteral("SystemCleanHelper: File deleted: ")) + path);
        removed(item);
    } else if (now.error == 0 && isTrash && !S_ISDIR(now.st.st_mode) && answer == 0) {
        // The tool leaves a plain file in place of the folder.
        logLine(QStringLiteral("SystemCleanHelper: .Trashes successfully replaced with file: ") + path);
        logLine(QStringLiteral("SystemCleanHelper: Successfully neutralized .Trashes folder by replacing with file: ")
                + path);
        removed(item);
    } else if (now.error == 0) {
        logLine((isTrash && S_ISDIR(now.st.st_mode)
                     ? QStringLiteral("SystemCleanHelper: Attempt %1 - .Trashes still exists as directory: ")
                     : QStringLiteral("SystemCleanHelper: Attempt %1 - File still exists: "))
                    .arg(attempt)
                + path);
        return true;
    } else if (answer == 0) {
        // We cannot look there ourselves (a folder we may not search):
        // the tool, which could, saw it go.
        logLine(QStringLiteral("SystemCleanHelper: File deleted (confirmed by the administrator step): ") + path);
        removed(item);
    } else {
        logLine(QStringLiteral("SystemCleanHelper: Cannot confirm the deletion of ") + path + QStringLiteral(": ")
                + errorText(now.error));
        failed << failedWith(item, now.error);
    }
    return false;
}

void SystemCleanHelper::Impl::Check::removed(const FileItem &item)
{
    deleted << item;
    if (VolumeWork *work = volume->work())
        work->removed(item);
}

void SystemCleanHelper::Impl::Check::stayed(qsizetype index)
{
    const FileItem &item = items.at(index);
    logLine(QStringLiteral("SystemCleanHelper: WARNING - File could not be deleted: ") + item.path());
    if (VolumeWork *work = volume->work())
        work->stillPresent(item);   // whatever the tool said
    if (namesSystemFolder(item.fsPath()))
        describeSystemFolder(item);
    const int answer = answers.value(index, -1);
    failed << failedWith(item, answer > 0 ? answer : answer < 0 ? unanswered : 0);
    if (answer == 0)
        leftByTheTool(item);   // it saw it go, and yet it stays
}

// A system folder the tool tried to remove and that stayed: the dialog
// about system files names it.
void SystemCleanHelper::Impl::Check::leftByTheTool(const FileItem &item)
{
    const std::optional<QByteArray> relative = volume->relativePath(item.fsPath());
    if (const QByteArray folder = relative ? systemFolderOf(*relative) : QByteArray(); !folder.isEmpty())
        systemFoldersLeft.insert(folder);
}

QByteArray SystemCleanHelper::Impl::systemFolderOf(QByteArrayView path)
{
    for (const QByteArray &name : SystemCleanHelper::systemFolderNames()) {
        for (qsizetype at = path.indexOf(name); at >= 0; at = path.indexOf(name, at + 1)) {
            const qsizetype end = at + name.size();
            if ((at == 0 || path[at - 1] == '/') && (end == path.size() || path[end] == '/'))
                return name;
        }
    }
    return {};
}

// What may keep a system folder in place: its owner and its extended attributes.
void SystemCleanHelper::Impl::Check::describeSystemFolder(const FileItem &item) const
{
    logLine(QStringLiteral("SystemCleanHelper: System-protected file detected: ") + item.path());
    const std::optional<QByteArray> relative = volume->relativePath(item.fsPath());
    const HeldVolume::Look now = relative ? volume->look(*relative) : HeldVolume::Look{EINVAL, {}};
    if (now.error != 0)
        logLine(QStringLiteral("SystemCleanHelper: Cannot read file attributes: ") + errorText(now.error));
    else if (const std::optional<QString> name = accountName(now.st.st_uid))
        logLine(QStringLiteral("SystemCleanHelper: File owner: ") + *name);
    // Its extended attributes, read through its folder's handle.
    QByteArray leaf;
    const int parentFd = relative && now.error == 0 ? volume->openParent(*relative, &leaf) : -1;
    if (parentFd < 0)
        return;
    QString error;
    const QByteArray throughHandle = "/proc/self/fd/" + QByteArray::number(parentFd) + '/' + leaf;
    const std::optional<QStringList> attributes = listExtendedAttributes(throughHandle, &error);
    if (!attributes)
        logLine(QStringLiteral("SystemCleanHelper: Cannot read file attributes: ") + error);
    else if (!attributes->isEmpty())
        logLine(QStringLiteral("SystemCleanHelper: Extended attributes found: [\"")
                + attributes->join(QStringLiteral("\", \"")) + QStringLiteral("\"]"));
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
                    [](const FileItem &item) { return Impl::namesSystemFolder(item.fsPath()); }))
        message += QStringLiteral(". These files are protected by macOS System Integrity Protection.");
    logLine(QStringLiteral("SystemCleanHelper: ") + message);
    completion(false, message);
}
