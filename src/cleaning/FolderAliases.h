#pragma once

#include "cleaning/PathHandles.h"
#include "cleaning/ScannedFolders.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <memory>

struct WalkEntry;

// Tells a folder of its own from an alias of another one before a junk
// folder is emptied: a directory hard link (a crafted or damaged ext4), a
// folder entry whose cluster is another folder's (a common FAT corruption).
// Emptying an alias would empty the folder it stands for.
//
// Every folder of the tree (the junk folder itself too) must be one whose
// identity the scan did not meet outside the junk and that this check did
// not meet before in the same tree, nor met again on its own path (the
// walk's ELOOP); where the file system lists "." and ".." with their inodes,
// its ".." must name the folder above. Where identities cannot tell (FAT and
// exFAT, a FUSE file system that lists no inodes or whose inode numbers are
// renewed, where the numbers the scan met name nothing now), a folder that lists
// exactly what a folder the scan met outside lists is taken for an alias too,
// and so is one holding a file the scan met outside: the same name in a
// folder the scan noted it in, with the same size and time there (an entry
// cross-linked into the middle of another folder's chain shows the rest of
// its files, and an alias whose folder changed since the scan still shows the
// files it had). Only a file whose name the scan met outside is looked for
// there; where that folder cannot be looked at, the junk is left whole. A true
// copy with the same names in the same order, or a copy of a file that kept
// its name and time, is rare, and leaving it is safe.
class FolderAliases
{
public:
    // For the volume whose root is open at `rootFd` (kept open by the caller
    // for as long as this is used), whose inode numbers are `numbers`: where
    // they are renewed, those the scan saw tell nothing now, and listings do.
    FolderAliases(int rootFd, std::shared_ptr<const ScannedFolders> scanned,
                  pathhandles::ItemNumbers numbers = pathhandles::ItemNumbers::last);

    // 0 when the folder `name` of the folder open at `parentFd` (met as `id`)
    // and every folder below it are folders of their own; else EUCLEAN, with
    // why in *message. `shownPath` names the folder in messages.
    int check(int parentFd, const QByteArray &name, const pathhandles::Identity &id, const QByteArray &shownPath,
              QString *message) const;

private:
    // The folder of a file met outside that was looked at last.
    struct OutsideFolder
    {
        quint32 index = quint32(-1);
        pathhandles::Handle fd;
    };
    // Is the file a file the scan met outside (the same name in a folder it
    // noted, with the same size and time there now)?
    bool showsFileOutside(const WalkEntry &entry, OutsideFolder &outside) const;

    int m_rootFd = -1;
    quint64 m_device = 0;
    quint64 m_rootInode = 0;
    bool m_listingsTell = false;   // FAT or exFAT: identities tell less than listings
    bool m_numbersLast = true;     // numbers the scan saw still name the same folders
    std::shared_ptr<const ScannedFolders> m_scanned;
};
