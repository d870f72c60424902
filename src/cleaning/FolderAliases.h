#pragma once

#include "cleaning/PathHandles.h"
#include "cleaning/ScannedFolders.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <memory>

// Tells a folder of its own from an alias of another one before a junk
// folder is emptied: a directory hard link (a crafted or damaged ext4), a
// folder entry whose cluster is another folder's (a common FAT corruption).
// Emptying an alias would empty the folder it stands for.
//
// Every folder of the tree (the junk folder itself too) must be one whose
// identity the scan did not meet outside the junk and that this check did
// not meet before in the same tree, nor met again on its own path (the
// walk's ELOOP); where the file system lists "." and ".."
// with their inodes, its ".." must name the folder above. Where identities
// cannot tell (FAT and exFAT, a FUSE file system that lists no inodes), a
// folder that lists exactly what a folder the scan met outside lists is
// taken for an alias too: a true copy with the same names in the same order
// is rare, and leaving it is safe.
class FolderAliases
{
public:
    // For the volume whose root is open at `rootFd`.
    FolderAliases(int rootFd, std::shared_ptr<const ScannedFolders> scanned);

    // 0 when the folder `name` of the folder open at `parentFd` (met as `id`)
    // and every folder below it are folders of their own; else EUCLEAN, with
    // why in *message. `shownPath` names the folder in messages.
    int check(int parentFd, const QByteArray &name, const pathhandles::Identity &id, const QByteArray &shownPath,
              QString *message) const;

private:
    quint64 m_device = 0;
    quint64 m_rootInode = 0;
    bool m_listingsTell = false;   // FAT or exFAT: identities tell less than listings
    std::shared_ptr<const ScannedFolders> m_scanned;
};
