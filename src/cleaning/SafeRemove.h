#pragma once

#include "cleaning/FileType.h"
#include "cleaning/PathHandles.h"

#include <QByteArray>
#include <QString>

#include <functional>

#include <sys/stat.h>

class FolderAliases;
class HeldVolume;

// Deleting inside one held volume without ever leaving it: an item is reached
// from the volume's root handle (see HeldVolume), removed only while it is
// still what the scan recorded, a link is removed itself and never its target,
// a folder is removed with its contents over handles without following links
// or crossing into other file systems. An item counts as removed only when it
// is gone afterwards (ENOENT); every other answer is a failure with its reason.
namespace SafeRemove {

// Is `path` strictly inside `root`, by whole path components, with no "." or
// ".." component and no empty component after the root?
bool isInside(const QByteArray &root, const QByteArray &path);

struct Options
{
    // Running as root for the administrator step: a removal the system
    // refuses (EPERM, EACCES) is tried again after the immutable and
    // append-only flags of the item and its folder are cleared and the
    // folder's mode is opened.
    bool administrator = false;
    // Called after each entry removed inside a folder item: the removal of a
    // large folder still shows progress.
    std::function<void()> onEntry;
    // Checks every folder of a folder item before anything of it goes: an
    // alias of another folder is left whole (EUCLEAN). None: no check.
    const FolderAliases *aliases = nullptr;
    // How removeLooked() tells the scanned item (HeldVolume::numbers()).
    pathhandles::ItemNumbers numbers = pathhandles::ItemNumbers::last;
};

struct Outcome
{
    int error = 0;        // 0: gone; ESTALE: no longer what was scanned; else errno
    QString message;      // why, for the log (empty when gone)
    bool removed() const { return error == 0; }
};

// Removes the item at `relative` (a path below the volume's root) when it is
// still the one `scanned` records (pathhandles::isScannedItem, as the volume
// tells its items). Gone already counts as removed.
Outcome removeScanned(HeldVolume &volume, const QByteArray &relative, const FileItem &scanned,
                      const Options &options = {});

// What an item whose folder could not be reached (errno `error`) comes to:
// gone with its folder (ENOENT), else a failure saying why.
Outcome unreachable(int error, const QByteArray &shownPath);

// The same for the entry `name` of a folder already reached from the root
// (open at `folderFd`), with `st` a look at it just taken: removed when that
// shows the scanned item (told as `options.numbers` says).
Outcome removeLooked(int folderFd, const QByteArray &name, const struct stat &st, const FileItem &scanned,
                     const Options &options, const QByteArray &shownPath);

// Empties the folder `name` of the folder open at `parentFd` and removes it,
// while it is still the folder `st` (an lstat of it) describes; a folder on
// another device or with a file system mounted on it, and one the options'
// alias check refuses, is left alone.
// `shownPath` names it in messages.
Outcome removeFolder(int parentFd, const QByteArray &name, const struct stat &st, const Options &options,
                     const QByteArray &shownPath);

// Removes the entry `name` (not a folder) of the folder open at `parentFd`;
// gone already counts. With the administrator option a refusal is tried
// again as described above.
bool removeEntry(int parentFd, const QByteArray &name, const Options &options);

// Clears the immutable and append-only flags of an open file or folder (not
// an O_PATH handle). True when none is set afterwards.
bool clearProtectionFlags(int fd);

} // namespace SafeRemove
