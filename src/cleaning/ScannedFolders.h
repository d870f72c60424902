#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <algorithm>
#include <utility>
#include <vector>

// What a scan saw of the folders it walked outside the junk it lists whole
// (the volume's root among them): their inodes, and the fingerprints of the
// listings of those that hold something (VolumeWalker's WalkFolder). On file
// systems whose folders have no identity of their own (FAT, exFAT) also each
// regular file it met there and did not list: the hash of its name and the
// folder it lies in, so that the clean can look at it again (no look at it
// during the scan: through FUSE each one is a round trip). The clean tells
// aliases by it (FolderAliases). Eight bytes a folder, number and file, and
// the path of each folder that holds such files.
struct ScannedFolders
{
    quint64 device = 0;
    std::vector<quint64> inodes;     // sorted, each once, after finish()
    std::vector<quint64> listings;
    // fileRef() of each file: sorted after finish(), so those of one name stand together.
    std::vector<quint64> files;
    // The folders of `files`, as paths below the root (empty: the root
    // itself), each ended by a NUL byte, and where each starts.
    QByteArray folderPaths;
    std::vector<qsizetype> folderStarts;

    // A file's name hash (32 bits of FNV-1a) above its folder's index.
    static quint32 nameHash(QByteArrayView name)
    {
        quint32 hash = 0x811c9dc5U;
        for (const char c : name)
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x01000193U;
        return hash;
    }
    static quint64 fileRef(QByteArrayView name, quint32 folder) { return quint64(nameHash(name)) << 32 | folder; }

    void addFolder(QByteArrayView relative)
    {
        folderStarts.push_back(folderPaths.size());
        folderPaths.append(relative);
        folderPaths.append('\0');
    }
    size_t folderCount() const { return folderStarts.size(); }
    // NUL-terminated.
    const char *folder(size_t index) const { return folderPaths.constData() + folderStarts[index]; }

    // The files whose names hash as `name` does (the folder of each in its low 32 bits).
    std::pair<std::vector<quint64>::const_iterator, std::vector<quint64>::const_iterator> filesNamed(QByteArrayView name) const
    {
        const quint64 first = quint64(nameHash(name)) << 32;
        return {std::lower_bound(files.begin(), files.end(), first), std::upper_bound(files.begin(), files.end(), first | 0xffffffffU)};
    }

    // Sorts what was added, each number once.
    void finish()
    {
        for (std::vector<quint64> *numbers : {&inodes, &listings, &files}) {
            std::sort(numbers->begin(), numbers->end());
            numbers->erase(std::unique(numbers->begin(), numbers->end()), numbers->end());
            numbers->shrink_to_fit();
        }
        folderStarts.shrink_to_fit();
        folderPaths.squeeze();
    }
    bool holdsInode(quint64 inode) const { return std::binary_search(inodes.begin(), inodes.end(), inode); }
    bool holdsListing(quint64 listing) const { return std::binary_search(listings.begin(), listings.end(), listing); }
};
