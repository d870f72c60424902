#include "cleaning/FolderAliases.h"

#include "cleaning/VolumeWalker.h"
#include "platform/Log.h"

#include <cerrno>
#include <vector>

#include <unistd.h>

namespace {

using pathhandles::Handle;

} // namespace

FolderAliases::FolderAliases(int rootFd, std::shared_ptr<const ScannedFolders> scanned,
                             pathhandles::ItemNumbers numbers)
    : m_rootFd(rootFd), m_numbersLast(numbers == pathhandles::ItemNumbers::last), m_scanned(std::move(scanned))
{
    struct stat st;
    if (::fstat(rootFd, &st) == 0) {
        m_device = quint64(st.st_dev);
        m_rootInode = quint64(st.st_ino);
    }
    m_listingsTell = !m_numbersLast || VolumeWalker::foldersHaveNoIdentity(rootFd);
    if (m_scanned && m_scanned->device != m_device)
        m_scanned.reset();   // another volume's
}

int FolderAliases::check(int parentFd, const QByteArray &name, const pathhandles::Identity &id,
                         const QByteArray &shownPath, QString *message) const
{
    struct stat parent;
    Handle folder(pathhandles::openAt(parentFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
    pathhandles::Identity opened;
    if (::fstat(parentFd, &parent) != 0 || folder.get() < 0 || !pathhandles::identify(folder.get(), opened)
        || opened.dev != id.dev || opened.ino != id.ino)
        return 0;   // the removal itself finds what changed, and says so
    const bool parentIsRoot = quint64(parent.st_dev) == m_device && quint64(parent.st_ino) == m_rootInode;

    QSet<quint64> met;
    std::vector<quint64> above{quint64(parent.st_ino)};   // by depth: the folder above each
    QByteArray alias;
    const auto onFolder = [&](const WalkFolder &walked) {
        if (!alias.isNull())
            return false;
        const quint64 inode = quint64(walked.ino);
        above.resize(size_t(walked.depth) + 2);
        above[size_t(walked.depth) + 1] = inode;
        const quint64 up = above[size_t(walked.depth)];
        const bool dotsTell = walked.dot == inode;
        const bool ownDotDot = !dotsTell || !walked.dotDot || *walked.dotDot == up
                               || (walked.depth == 0 && parentIsRoot && *walked.dotDot == 0);
        // Renewed numbers the scan saw name nothing now: its listings tell instead.
        const bool seenOutside = m_numbersLast && m_scanned && m_scanned->holdsInode(inode);
        const bool listedOutside = (m_listingsTell || !dotsTell) && walked.entries > 0 && m_scanned
                                   && m_scanned->holdsListing(walked.listing);
        if (met.contains(inode) || seenOutside || !ownDotDot || listedOutside) {
            alias = walked.path.toByteArray();
            return false;
        }
        met.insert(inode);
        return true;
    };
    // A file the scan met outside: the folder holding it shows another's entries.
    const bool filesTell = m_scanned && !m_scanned->files.empty();
    OutsideFolder outside;
    const auto onEntry = [&](const WalkEntry &entry) {
        if (!alias.isNull())
            return WalkDecision{false, 0, true};
        if (filesTell && entry.isRegularFile && showsFileOutside(entry, outside))
            alias = *entry.parentPath;
        return WalkDecision{};
    };
    // A folder met again on its own path is an alias of one above it.
    const auto onError = [&](const WalkError &error) {
        if (error.errorNumber == ELOOP && alias.isNull())
            alias = error.path;
    };
    VolumeWalker::walkAt(folder.get(), shownPath, onEntry, onError, onFolder);
    if (alias.isNull())
        return 0;
    *message = QStringLiteral("Not removing \"%1\": the folder \"%2\" shares its contents with another folder; check "
                              "the file system")
                   .arg(pathText(shownPath), pathText(alias));
    return EUCLEAN;
}

bool FolderAliases::showsFileOutside(const WalkEntry &entry, OutsideFolder &outside) const
{
    const auto [first, last] = m_scanned->filesNamed(entry.name);
    if (first == last)
        return false;
    const std::optional<struct stat> own = entry.lstat();
    if (!own || !S_ISREG(own->st_mode))
        return false;   // gone meanwhile: the removal finds it so
    for (auto it = first; it != last; ++it) {
        const quint32 index = quint32(*it);
        if (index != outside.index) {
            outside.index = index;
            const char *path = *m_scanned->folder(index) ? m_scanned->folder(index) : ".";
            outside.fd.reset(pathhandles::openBeneath(m_rootFd, path, O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        // Where the file met outside cannot be looked at, the folder is not
        // told from an alias of its folder: it is left whole.
        struct stat there;
        if (outside.fd.get() < 0)
            return true;
        if (::fstatat(outside.fd.get(), entry.name.constData(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return true;
        }
        if (S_ISREG(there.st_mode) && there.st_size == own->st_size && there.st_mtim.tv_sec == own->st_mtim.tv_sec
            && there.st_mtim.tv_nsec == own->st_mtim.tv_nsec)
            return true;
    }
    return false;
}
