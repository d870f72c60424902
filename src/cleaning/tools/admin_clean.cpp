// sweepbrook-admin-clean: the administrator step of a clean, for the items
// the user's account may not delete. The app runs it as root (through pkexec
// from where it is installed, or directly when it is root itself) with a
// clean request on standard input (cleaning/CleanRequest.h): the volume root
// as an absolute path with its device and inode, the user's custom
// extensions, each item's path relative to the root with the kind, device
// and inode the scan recorded, and what the scan saw of the volume's folders.
//
// It trusts nothing of that. Whoever runs it as root may have written the
// request, so:
//   - the request names each item once, its extensions no longer than a name
//     and each path within bounds (CleanRequest);
//   - the root must be the root of a mount in its own mount table, reached
//     without following any link, with the device and inode the request
//     names, on a device the app's removable-volume rules accept, and never a
//     folder of the system; as root, the volume must also end at removable
//     hardware, or be a loop image of the requesting account mounted for it,
//     and acting for an account (PKEXEC_UID, which must be a uid) be mounted
//     for that account, a loop image being its own (tools/MountedVolume.h,
//     platform/RemovableHardware.h);
//   - an item must be junk by the built-in catalogue, by its own name or by a
//     folder above it that the catalogue takes whole, or a file of one of the
//     custom extensions (cleaning/JunkRule.h); anything else is answered
//     "failed" with EPERM;
//   - an item must still be what the scan found, on the volume itself (not a
//     mount inside it), a regular file, folder or link, and with no other
//     name (a file with a second hard link is left alone); an item it cannot
//     confirm (gone, another in its place, a file or link on the way) is
//     answered alike either way, and each file is compared with the scan's
//     record once, however the request spells its name (tools/OneLook.h);
//   - a folder item is emptied only when every folder in it is a folder of
//     its own, not an alias of another (cleaning/FolderAliases.h);
//   - only regular files and folders are ever opened, the markers it makes
//     are made new (O_EXCL), only once the item they stand for is gone, and
//     never opened when something is there; no mode is changed on an item,
//     and the flags and mode of a folder opened up to remove what it holds
//     are put back (cleaning/SafeRemove.h).
//
// Every item is reached from the root one component at a time (never through
// a symbolic link, never into a mount or onto another file system), and every
// step acts on handles, never on a path looked up again. Per item, by its name:
//   ".Spotlight-V100"  removed, then the folder beside it is marked not to be
//                      indexed (".metadata_never_index", ".fseventsd/no_log");
//                      an index that resists is moved aside, a plain file
//                      takes its name and the moved folder is removed;
//   ".Trashes"         removed, and a plain file (mode 644) takes its place so
//                      the folder is not made again;
//   "._*"              removed, past the protection flags of the file and its
//                      folder when refused, then by rename and removal;
//   anything else      removed (a folder with its contents).
// A refused removal is tried again after the immutable and append-only flags
// of the item and its folder are cleared and the folder's mode is opened, all
// of it put back afterwards. A symbolic link is only ever removed itself.
//
// Standard output: one answer per item ("removed N" / "failed N errno"); an
// item is removed only when it has no name left on the volume afterwards (the
// item is held open while it is removed, so a name taken over meanwhile, or
// the item moved elsewhere, is no removal); a plain ".Trashes" file is left
// as it is and counts as removed. A failure carries the errno of the step
// that failed (ESTALE: not confirmed; EUCLEAN: a folder that is an alias of
// another; ENAMETOOLONG: a path beyond the bounds). Standard error: what it
// did, control characters escaped. Exit status: 0 when every item is gone, 1
// when some are not, 2 when the request or the volume cannot be used, 3 when
// it stopped before its last item (SIGTERM, or answers it could not write).

#include "cleaning/CleanRequest.h"
#include "cleaning/FolderAliases.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/JunkRule.h"
#include "cleaning/PathHandles.h"
#include "cleaning/SafeRemove.h"
#include "cleaning/tools/MountedVolume.h"
#include "cleaning/tools/OneLook.h"
#include "cleaning/tools/ToolMain.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QUuid>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using pathhandles::Handle;
using ToolMain::say;
using ToolMain::shown;
using pathhandles::openAt;

enum class Group { spotlight, trash, appleDouble, general };

Group groupOf(const QByteArray &name)
{
    if (name == ".Spotlight-V100")
        return Group::spotlight;
    if (name == ".Trashes")
        return Group::trash;
    if (name.startsWith("._"))
        return Group::appleDouble;
    return Group::general;   // ".fseventsd" too: there is no event log to flush here
}

// errno of an lstat of `name` in the folder open at `parentFd`; 0 when it is there.
int lookAt(int parentFd, const QByteArray &name, struct stat *st)
{
    return ::fstatat(parentFd, name.constData(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// Makes a new plain file `name` with `mode` in the folder open at `parentFd`.
// Whatever stands there already (a file, a link, a device, a file mounted
// over the name) is left as it is: never opened, never changed.
void placeFile(int parentFd, const QByteArray &name, mode_t mode)
{
    Handle fd(openAt(parentFd, name.constData(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
    if (fd.get() >= 0)
        ::fchmod(fd.get(), mode);   // our own new file: its mode without the umask
}

// The markers that keep the folder holding a Spotlight index from being
// indexed again: ".metadata_never_index" and ".fseventsd/no_log" beside it,
// made through the folder's handle and never through a link.
void markNotIndexed(int parentFd, dev_t dev)
{
    placeFile(parentFd, ".metadata_never_index", 0444);
    if (::mkdirat(parentFd, ".fseventsd", 0755) != 0 && errno != EEXIST)
        return;
    Handle events(openAt(parentFd, ".fseventsd", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    pathhandles::Identity id;
    if (events.get() < 0 || !pathhandles::identify(events.get(), id) || id.dev != dev || id.mountRoot)
        return;
    placeFile(events.get(), "no_log", 0444);
}

// Each step below returns 0, or the errno of what failed.

// The Spotlight index: removed; when it resists, moved aside, a plain file
// takes its name and the moved folder is removed. The markers are made once
// the index is gone.
int cleanSpotlight(int parentFd, const QByteArray &name, const struct stat &st, const QByteArray &path,
                   const SafeRemove::Options &options)
{
    const SafeRemove::Outcome outcome = SafeRemove::removeFolder(parentFd, name, st, options, path);
    if (outcome.removed()) {
        markNotIndexed(parentFd, st.st_dev);
        return 0;
    }
    if (outcome.error == ESTALE || outcome.error == EMLINK)
        return outcome.error;   // not the index the scan found, or one that is more than itself
    say("Spotlight index resists removal, moving it aside: " + shown(path) + " (" + outcome.message.toUtf8() + ')');
    const QByteArray backup = ".spotlight_backup_" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
    if (::renameat2(parentFd, name.constData(), parentFd, backup.constData(), RENAME_NOREPLACE) != 0)
        return outcome.error;
    struct stat moved;
    if (lookAt(parentFd, backup, &moved) != 0 || moved.st_ino != st.st_ino || moved.st_dev != st.st_dev) {
        ::renameat2(parentFd, backup.constData(), parentFd, name.constData(), RENAME_NOREPLACE);
        return ESTALE;   // what was moved aside was not the index
    }
    placeFile(parentFd, name, 0644);
    markNotIndexed(parentFd, st.st_dev);
    return SafeRemove::removeFolder(parentFd, backup, moved, options, path).error;
}

// A trash folder: removed, and a plain file of the same name (mode 644) takes
// its place so the folder is not made again. A plain ".Trashes" file is such
// a placeholder already.
int cleanTrash(int parentFd, const QByteArray &name, const struct stat &st, const QByteArray &path,
               const SafeRemove::Options &options)
{
    if (!S_ISDIR(st.st_mode))
        return 0;
    const SafeRemove::Outcome outcome = SafeRemove::removeFolder(parentFd, name, st, options, path);
    if (!outcome.removed()) {
        say("Cannot remove " + shown(path) + ": " + outcome.message.toUtf8());
        return outcome.error;
    }
    placeFile(parentFd, name, 0644);
    return 0;
}

// An AppleDouble file: removed; when that is refused, past the protection
// flags of the file and its folder (put back should it stay), then by rename
// and removal, each reported. Root needs no mode bits to remove a name, so
// none is changed.
int cleanAppleDouble(int parentFd, const QByteArray &name, const struct stat &st, const QByteArray &path,
                     const SafeRemove::Options &options)
{
    say("Starting ._file deletion for: " + shown(path));
    say("Attempting rm -f deletion...");
    if (::unlinkat(parentFd, name.constData(), 0) == 0 || errno == ENOENT) {
        say("rm -f succeeded");
        return 0;
    }
    int error = errno;
    say("rm -f failed");
    say("  mode " + QByteArray::number(st.st_mode & 07777, 8) + ", owner " + QByteArray::number(st.st_uid) + ", "
        + QByteArray::number(qint64(st.st_size)) + " bytes");
    const auto stillThere = [&] {
        struct stat now;
        return lookAt(parentFd, name, &now) == 0 && now.st_ino == st.st_ino;
    };
    const auto attempt = [&error](bool done) {
        if (!done)
            error = errno;
        return done;
    };
    if (stillThere()) {
        say("Clearing protection flags...");
        say("File still exists, trying unlink...");
        say(attempt(SafeRemove::removeEntry(parentFd, name, options)) ? "unlink succeeded" : "unlink failed");
    }
    if (stillThere()) {
        say("File still exists, trying mv to temp and rm...");
        // Never over another file: a name already taken is left alone.
        const QByteArray temporary = name + ".tmp." + QByteArray::number(::getpid());
        bool done = false;
        if (attempt(::renameat2(parentFd, name.constData(), parentFd, temporary.constData(), RENAME_NOREPLACE) == 0)) {
            done = attempt(::unlinkat(parentFd, temporary.constData(), 0) == 0);
            // What cannot be removed keeps its own name: a file under another
            // name is not a removed file.
            if (!done)
                ::renameat2(parentFd, temporary.constData(), parentFd, name.constData(), RENAME_NOREPLACE);
        }
        say(done ? "mv+rm succeeded" : "mv+rm failed");
    }
    const bool failed = stillThere();
    say(failed ? "FAILED: ._file still exists after all deletion attempts" : "SUCCESS: ._file deleted successfully");
    return failed ? error : 0;
}

// What one run knows across its items.
struct Run
{
    Run(const QStringList &customExtensions, bool namesIgnoreCase) : rule(customExtensions), looks(namesIgnoreCase) {}

    JunkRule rule;
    OneLook looks;
    SafeRemove::Options options{true, &ToolMain::working, nullptr};
    // The folders this run removed (paths below the root): what lay inside
    // went with them.
    QSet<QByteArray> removedFolders;

    bool insideRemovedFolder(const QByteArray &relative) const
    {
        for (qsizetype slash = relative.indexOf('/'); slash > 0; slash = relative.indexOf('/', slash + 1)) {
            if (removedFolders.contains(relative.left(slash)))
                return true;
        }
        return false;
    }
};

// An item this run cannot confirm is the scanned one: gone, something else
// in its place, a folder on the way missing or no folder (a file, a link), or
// the file looked at before under another name. The answer and the line are
// the same whichever it is, so a request learns nothing of what a folder its
// account may not read holds, nor whether a name there is a file.
int notConfirmed(const Run &run, const CleanRequest::Item &item, const QByteArray &path)
{
    if (run.insideRemovedFolder(item.relative))
        return 0;   // it went with a folder removed before it
    say("Skipped (gone, or no longer what the scan found): " + shown(path));
    return ESTALE;
}

// 0 when the item is gone afterwards, else why not.
int cleanItem(HeldVolume &volume, Run &run, const CleanRequest::Item &item)
{
    if (!item.withinPathLimits()) {
        say("Refused (a path longer than " + QByteArray::number(CleanRequest::kMaxPathBytes) + " bytes or deeper than "
            + QByteArray::number(CleanRequest::kMaxComponents) + " folders): " + shown(item.relative.left(256)) + "...");
        return ENAMETOOLONG;
    }
    const QByteArray path = pathhandles::childPath(volume.root(), item.relative);
    if (!volume.relativePath(path)) {
        say("Refused (not a path inside the volume): " + shown(path));
        return EINVAL;
    }
    if (item.inode == 0) {
        say("Refused (the request gives no inode): " + shown(path));
        return EINVAL;
    }
    if (const std::optional<QString> why = run.rule.refusal(item.relative, item.kind == ItemKind::folder)) {
        say("Refused (" + why->toUtf8() + "): " + shown(path));
        return EPERM;
    }
    if (!run.looks.firstNaming(item.relative)) {
        say("Refused (named before in this request, as the volume compares names): " + shown(path));
        return EINVAL;
    }
    QByteArray name;
    const int parentFd = volume.openParent(item.relative, &name);
    if (parentFd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR || error == ELOOP)
            return notConfirmed(run, item, path);
        say("Skipped (a folder on the way is on another file system, or cannot be entered): " + shown(path));
        return error;
    }
    const Group group = groupOf(name);
    // The item itself is held while it is removed: whatever takes its name
    // meanwhile, the handle tells whether the item still has a name anywhere.
    const Handle held(openAt(parentFd, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (held.get() < 0 || ::fstat(held.get(), &st) != 0 || !run.looks.firstLookAt(st)
        || !pathhandles::isScannedItem(item.identity(), st, volume.numbers()))
        return notConfirmed(run, item, path);
    pathhandles::Identity id;
    if (st.st_dev != dev_t(volume.device()) || !pathhandles::identify(held.get(), id) || id.mountRoot) {
        say("Skipped (another file system, or one mounted there): " + shown(path));
        return EXDEV;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
        say("Refused (not a regular file, folder or link): " + shown(path));
        return EPERM;
    }
    if (!S_ISDIR(st.st_mode) && st.st_nlink != 1) {
        say("Refused (it has another name on the volume): " + shown(path));
        return EMLINK;
    }

    int why = 0;
    if (S_ISLNK(st.st_mode)) {
        // A link is removed itself, nothing is done through it.
        if (::unlinkat(parentFd, name.constData(), 0) != 0)
            why = errno;
    } else if (group == Group::spotlight && S_ISDIR(st.st_mode)) {
        why = cleanSpotlight(parentFd, name, st, path, run.options);
    } else if (group == Group::trash) {
        why = cleanTrash(parentFd, name, st, path, run.options);
    } else if (group == Group::appleDouble && !S_ISDIR(st.st_mode)) {
        why = cleanAppleDouble(parentFd, name, st, path, run.options);
    } else {
        const SafeRemove::Outcome outcome = SafeRemove::removeScanned(volume, item.relative, item.identity(), run.options);
        if (!outcome.removed())
            say(outcome.message.toUtf8());
        why = outcome.error;
    }

    // The verdict: the item is gone when no name of it is left (a FUSE file
    // system answers for a removed item that it no longer exists).
    struct stat itself;
    if (::fstat(held.get(), &itself) != 0 ? errno == ENOENT || errno == ESTALE : itself.st_nlink == 0) {
        if (S_ISDIR(st.st_mode))
            run.removedFolders.insert(item.relative);
        return 0;
    }
    // A plain trash file is left as it is: it keeps the folder from being made.
    struct stat now;
    const int error = lookAt(volume.openParent(item.relative, &name), name, &now);
    if (error == 0 && group == Group::trash && S_ISREG(now.st_mode) && now.st_ino == st.st_ino
        && now.st_dev == st.st_dev)
        return 0;
    if (error == ENOENT)
        say("Not removed (its name is gone, but it still has another one on the volume): " + shown(path));
    return why != 0 && why != ENOENT ? why : EEXIST;
}

} // namespace

int main(int argc, char **argv)
{
    // A Spotlight folder's steps make ".fseventsd/no_log" beside it, so event
    // folders go last, or they would be made again after their removal.
    // The items go folder by folder (byFolder), so each folder on the way is
    // opened once.
    const auto order = [](const CleanRequest &request) {
        QList<QByteArray> first;
        QList<qsizetype> firstIndexes;
        QList<QByteArray> eventFolders;
        QList<qsizetype> eventIndexes;
        for (qsizetype i = 0; i < request.items.size(); ++i) {
            const QByteArray &relative = request.items.at(i).relative;
            const bool isEvents = relative.mid(relative.lastIndexOf('/') + 1) == ".fseventsd";
            (isEvents ? eventFolders : first) << relative;
            (isEvents ? eventIndexes : firstIndexes) << i;
        }
        QList<qsizetype> indexes;
        for (const qsizetype k : byFolder(first))
            indexes << firstIndexes.at(k);
        for (const qsizetype k : byFolder(eventFolders))
            indexes << eventIndexes.at(k);
        return indexes;
    };
    bool namesIgnoreCase = false;
    bool ownerless = false;
    const ToolMain::Tool tool{"sweepbrook-admin-clean",
                              "Removes, as the administrator, the items of the clean request on standard input.",
                              [&namesIgnoreCase, &ownerless](const CleanRequest &request, QString *why) {
                                  return openMountedVolume(request, why, &namesIgnoreCase, &ownerless);
                              }};
    std::optional<Run> run;
    const auto clean = [&](HeldVolume &volume, const CleanRequest &request, const CleanRequest::Item &item) {
        if (!run) {
            run.emplace(request.customExtensions, namesIgnoreCase);
            // Files met outside are looked for only where they carry no
            // owner: elsewhere the junk folder left whole would tell the
            // account whether a folder it may not read holds such a file.
            ScannedFolders scanned = request.scannedFolders;
            if (!ownerless)
                scanned.files.clear();
            volume.setScannedFolders(std::make_shared<const ScannedFolders>(std::move(scanned)));
            run->options.aliases = volume.aliases();
        }
        return cleanItem(volume, *run, item);
    };
    return ToolMain::run(tool, argc, argv, clean, order);
}
