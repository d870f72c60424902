// dot_clean: removes the AppleDouble ("._") files it is handed.
//
// Standard input carries a clean request (cleaning/CleanRequest.h): the
// volume root, normally "." with the volume as working directory, its device
// and inode, and each file's path relative to the root with the kind, device
// and inode the scan recorded. A root that is not that volume is refused
// whole. Only regular files whose name starts with "._" and that are still
// the scanned file are removed; links, folders, anything that changed since
// the scan, and paths with "." or ".." components are refused. The folders on
// the way are opened one by one from the root without following links and
// without leaving the root's file system.
//
// Standard output: one answer per file ("removed N" / "failed N errno").
// Standard error: one line per failure. Exit status: 0 when every file is
// gone afterwards (also when it was gone already), 1 when some remain, 2 when
// the request or the volume cannot be used, 3 when it stopped before its last
// file (SIGTERM, or answers it could not write).

#include "cleaning/CleanRequest.h"
#include "cleaning/HeldVolume.h"
#include "cleaning/PathHandles.h"
#include "cleaning/SafeRemove.h"
#include "cleaning/tools/ToolMain.h"

#include <QByteArray>
#include <QString>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

void report(const QByteArray &path, const QByteArray &why)
{
    ToolMain::say("dot_clean: " + ToolMain::shown(path) + ": " + why);
}

// 0 when the file is gone afterwards, else why not.
int clean(HeldVolume &volume, const CleanRequest &, const CleanRequest::Item &item)
{
    const QByteArray &path = item.relative;
    if (!HeldVolume::relativePath(".", path) || path.startsWith("./")) {
        report(path, "refused: absolute path, or an empty, \".\" or \"..\" component");
        return EINVAL;
    }
    if (!path.mid(path.lastIndexOf('/') + 1).startsWith("._")) {
        report(path, "refused: not an AppleDouble (\"._\") name");
        return EINVAL;
    }
    if (item.kind != ItemKind::file) {
        report(path, "refused: not a regular file");
        return EINVAL;
    }
    // One look at it, through the folder kept from the item before.
    const QByteArray shownPath = pathhandles::childPath(volume.root(), path);
    QByteArray name;
    const int parentFd = volume.openParent(path, &name);
    struct stat st;
    SafeRemove::Outcome outcome;
    if (parentFd < 0) {
        outcome = SafeRemove::unreachable(errno, shownPath);
    } else if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        outcome = SafeRemove::unreachable(errno, shownPath);
    } else if (!S_ISREG(st.st_mode)) {
        report(path, S_ISLNK(st.st_mode) ? "refused: a symbolic link" : "refused: not a regular file");
        return ESTALE;
    } else {
        // Unlinking a name never removes a folder, even one that took the
        // file's place after this look.
        SafeRemove::Options options;
        options.numbers = volume.numbers();
        outcome = SafeRemove::removeLooked(parentFd, name, st, item.identity(), options, shownPath);
    }
    if (!outcome.removed())
        report(path, outcome.message.toUtf8());
    return outcome.error;
}

} // namespace

int main(int argc, char **argv)
{
    const auto openVolume = [](const CleanRequest &request, QString *why) {
        return HeldVolume::open(request.root, request.device, request.rootInode, why);
    };
    const ToolMain::Tool tool{"dot_clean", "Removes the \"._\" files of the clean request on standard input.",
                              openVolume};
    // Folder by folder: each folder on the way is opened once.
    const auto order = [](const CleanRequest &request) {
        QList<QByteArray> paths;
        for (const CleanRequest::Item &item : request.items)
            paths << item.relative;
        return byFolder(paths);
    };
    return ToolMain::run(tool, argc, argv, clean, order);
}
