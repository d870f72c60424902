// SystemCleanHelper's judgement of access: does removing an item need the
// administrator? Decided by the item's folder (write and search, the sticky
// bit), by the item itself for a folder, and on a FUSE volume by the
// kernel's own answer.
#include "cleaning/SystemCleanHelper.h"
#include "cleaning/SystemCleanHelperImpl.h"

#include "cleaning/HeldVolume.h"
#include "cleaning/PathHandles.h"
#include "platform/Log.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// The account name of a uid; nothing when the system knows no name.
std::optional<QString> SystemCleanHelper::Impl::accountName(uid_t uid)
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

// The owner of an item as its line shows it: the account's name, else its
// number. A volume's files mostly share one owner: the last answer is kept.
QByteArray SystemCleanHelper::Impl::loggedOwner(uid_t uid)
{
    thread_local std::optional<std::pair<uid_t, QByteArray>> last;
    if (!last || last->first != uid)
        last.emplace(uid, loggedText(accountName(uid).value_or(QString::number(uid))));
    return last->second;
}

// Does removing the item `path` need the administrator? `error` and `item`:
// a look at it now (its errno, else its lstat); `folderFd`, its folder (-1
// when it could not be examined) with `folder` its stat; `name` its name in
// it. With `kernelDecides` (a FUSE volume, judged as ourselves) the kernel's
// access answer counts, not the owner and mode bits shown. Its lines go to `lines`.
bool SystemCleanHelper::Impl::judgeAccess(const ShownPath &path, int error, const struct stat &item, int folderFd,
                                          const struct stat &folder, const char *name, uid_t me,
                                          bool kernelDecides, QByteArray &lines)
{
    if (error == ENOENT || error == ENOTDIR) {
        appendLogPieces(lines, {"SystemCleanHelper: File does not exist: ", path.asText});
        return false;
    }
    if (error != 0) {
        appendLogPieces(lines, {"SystemCleanHelper: Cannot read attributes for file: ", path.asText, ", error: ",
                                loggedText(errorText(error))});
        // Only a refusal is the administrator's to lift; a volume gone or a
        // link on the way is not, and the ordinary removal reports it.
        return error == EACCES || error == EPERM;
    }
    appendLogPieces(lines, {"SystemCleanHelper: File ", path.asText, " - Owner: ", loggedOwner(item.st_uid)});
    const auto noWriteToParent = [&] {
        appendLogPieces(lines, {"SystemCleanHelper: No write permission for parent directory: ",
                                loggedPathText(pathhandles::parentOf(path.path.toByteArray()))});
    };
    if (folderFd < 0) {
        noWriteToParent();
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
    const bool itemAllowed = !S_ISDIR(item.st_mode) || kernelAllows(name);
    if (item.st_uid == 0 && me != 0 && !(folderAllowed && itemAllowed)) {
        appendLogPieces(lines, {"SystemCleanHelper: File owned by system user: ", path.asText});
        return true;
    }
    // A folder goes with its contents, so its own entries must be removable too.
    if (S_ISDIR(item.st_mode) && !itemAllowed && !mayChangeEntries(item, me)) {
        appendLogPieces(lines, {"SystemCleanHelper: No write permission for file: ", path.asText});
        return true;
    }
    // Whether an entry may be removed is decided by its folder: write and
    // search, and with the sticky bit also owning the entry or the folder.
    if ((!folderAllowed && !mayChangeEntries(folder, me))
        || ((folder.st_mode & S_ISVTX) && me != 0 && me != item.st_uid && me != folder.st_uid)) {
        noWriteToParent();
        return true;
    }
    return false;
}

bool SystemCleanHelper::requiresPrivileges(HeldVolume &volume, const QByteArray &relative) const
{
    const QByteArray full = pathhandles::childPath(volume.root(), relative);
    const ShownPath path(full);
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
    QByteArray lines;
    const bool privileged = Impl::judgeAccess(path, item.error, item.st, parentFd, folder, name.constData(), me,
                                              me == ::geteuid() && volume.isFuse(), lines);
    logCaptured(lines);
    return privileged;
}
