#include "cleaning/FolderAliases.h"

#include "cleaning/VolumeWalker.h"
#include "platform/Log.h"

#include <cerrno>
#include <vector>

namespace {

using pathhandles::Handle;

} // namespace

FolderAliases::FolderAliases(int rootFd, std::shared_ptr<const ScannedFolders> scanned)
    : m_scanned(std::move(scanned))
{
    struct stat st;
    if (::fstat(rootFd, &st) == 0) {
        m_device = quint64(st.st_dev);
        m_rootInode = quint64(st.st_ino);
    }
    m_listingsTell = VolumeWalker::foldersHaveNoIdentity(rootFd);
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
        const bool seenOutside = m_scanned && m_scanned->holdsInode(inode);
        const bool listedOutside = (m_listingsTell || !dotsTell) && walked.entries > 0 && m_scanned
                                   && m_scanned->holdsListing(walked.listing);
        if (met.contains(inode) || seenOutside || !ownDotDot || listedOutside) {
            alias = walked.path.toByteArray();
            return false;
        }
        met.insert(inode);
        return true;
    };
    const auto onEntry = [&](const WalkEntry &) { return alias.isNull() ? WalkDecision{} : WalkDecision{false, 0, true}; };
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
