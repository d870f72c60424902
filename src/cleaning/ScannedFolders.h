#pragma once

#include <QtGlobal>

#include <algorithm>
#include <vector>

// What a scan saw of the folders it walked outside the junk it lists whole
// (the volume's root among them): their inodes, and the fingerprints of the
// listings of those that hold something (VolumeWalker's WalkFolder). The
// clean tells aliases by it (FolderAliases). Eight bytes a folder and number.
struct ScannedFolders
{
    quint64 device = 0;
    std::vector<quint64> inodes;     // sorted, each once, after finish()
    std::vector<quint64> listings;

    // Sorts what was added, each number once.
    void finish()
    {
        for (std::vector<quint64> *numbers : {&inodes, &listings}) {
            std::sort(numbers->begin(), numbers->end());
            numbers->erase(std::unique(numbers->begin(), numbers->end()), numbers->end());
        }
    }
    bool holdsInode(quint64 inode) const { return std::binary_search(inodes.begin(), inodes.end(), inode); }
    bool holdsListing(quint64 listing) const { return std::binary_search(listings.begin(), listings.end(), listing); }
};
