#pragma once

#include "cleaning/PathHandles.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <functional>
#include <optional>

#include <sys/stat.h>
#include <sys/types.h>

// One entry of a folder, as the walker meets it. Valid only during the call.
struct WalkEntry
{
    int parentFd = -1;                 // open handle of the folder holding the entry
    const QByteArray *parentPath = nullptr;   // absolute path of that folder (bytes)
    QByteArray name;                   // the entry's name (bytes, may be invalid UTF-8)
    int depth = 1;                     // 1 for the root's own entries
    bool isDirectory = false;          // never true for a symbolic link
    bool isRegularFile = false;
    bool isSymlink = false;
    quint32 inheritedFlags = 0;        // what the callback set for the parent folder

    // What the walk already saw of the entry (an lstat it needed for the
    // type), so that lstat() need not ask again.
    std::optional<struct stat> seen;

    QByteArray path() const;           // parentPath + "/" + name
    // lstat of the entry itself; nothing when it is gone or cannot be read.
    std::optional<struct stat> lstat() const;
};

// A folder the walker could not open or read.
struct WalkError
{
    QByteArray path;     // absolute path of the folder
    QByteArray name;
    int errorNumber = 0; // errno
    int depth = 1;
    std::optional<struct stat> stat;   // lstat of the folder itself, when it could be read
};

// A folder the walker read: who it is, what it lists as "." and ".." (where
// the file system lists them with their inodes), and a fingerprint of its
// listing (its names in the order read; two folders that list the same names
// in the same order share it). For telling a folder of its own from an alias
// of another: a directory hard link, a cross-linked FAT cluster.
struct WalkFolder
{
    int depth = 0;                // 0 for the folder the walk starts at
    dev_t dev = 0;
    ino_t ino = 0;
    std::optional<quint64> dot;       // the inode "." lists
    std::optional<quint64> dotDot;    // the inode ".." lists
    quint64 listing = 0;
    qsizetype entries = 0;        // all but "." and ".."
    QByteArrayView path;          // valid only during the call
};

struct WalkDecision
{
    bool enter = true;          // for folders: walk into it
    quint32 childFlags = 0;     // handed to its entries as inheritedFlags
    bool stop = false;          // end the walk here: no entry is handed out after this one
};

// A pass over the root's own entries that rides on the walk's one reading of
// the root. The entries `holds` accepts are held back while the root is read;
// once it is read, `listed` gets them (folders among them, in the order
// read) with the number of all the root's entries and the read's errno (0:
// read whole). Then the held entries that are no folders are handed out, and
// the folders, as always.
struct RootPass
{
    std::function<bool(QByteArrayView name)> holds;
    std::function<void(const QList<WalkEntry> &held, qsizetype count, int error)> listed;
};

// Iterative walk over directory handles (openat with O_NOFOLLOW | O_DIRECTORY):
// hidden entries included, symbolic links never followed, no descent into
// another file system mounted inside the tree (a different st_dev than the
// root), no recursion and no PATH_MAX limit, a bounded number of open handles
// however deep the tree. Unreadable folders go to the error callback and the
// walk goes on. Everything runs on the calling thread.
//
// The walk ends on a damaged file system too: a folder met again on its own
// path is not entered and goes to the error callback with ELOOP. It is met
// again when it has the identity of a folder above it (a directory hard
// link), or where identities tell nothing (foldersHaveNoIdentity(), or a "."
// listed without the folder's inode: FAT and exFAT, through the kernel or
// FUSE) when it lists what a folder above it lists (an entry naming the
// cluster of a folder above), or when it lies deeper than any volume holds.
// The entries of such a folder are handed out only once its listing is told
// from those above (most often by its first names), and none of one met again.
class VolumeWalker
{
public:
    using EntryCallback = std::function<WalkDecision(const WalkEntry &)>;
    using ErrorCallback = std::function<void(const WalkError &)>;
    // After each folder is read (the root too, at depth 0); false ends the walk.
    using FolderCallback = std::function<bool(const WalkFolder &)>;

    // Walks everything below `root` (the root itself is not reported).
    // False (with errno in *errorNumber) when the root cannot be opened.
    static bool walk(const QByteArray &root, const EntryCallback &onEntry, const ErrorCallback &onError,
                     int *errorNumber = nullptr, const RootPass *rootPass = nullptr,
                     const FolderCallback &onFolder = {});

    // The same below the folder open at `folderFd` (kept open by the caller),
    // whose path `path` is for the entries and messages only.
    static bool walkAt(int folderFd, const QByteArray &path, const EntryCallback &onEntry,
                       const ErrorCallback &onError, const FolderCallback &onFolder);

    // Does the file system of `fd` give a folder no identity of its own (FAT
    // or exFAT through the kernel: a folder entry naming another folder's
    // cluster is given an inode of its own)? FUSE says so per folder, by the
    // "." it lists (WalkFolder::dot).
    static bool foldersHaveNoIdentity(int fd);
    // Do the inode numbers of the file system of `fd` last, as far as the
    // kernel tells: renewed on FAT and exFAT and on every FUSE volume (a
    // FUSE daemon may hand out numbers afresh; HeldVolume learns more from
    // the file system's type).
    static pathhandles::ItemNumbers numbersOf(int fd);

    // Can the folder be listed: it opens and its first entries read (else
    // the errno in *errorNumber).
    static bool canList(const QByteArray &path, int *errorNumber = nullptr);

    struct DirEntry
    {
        QByteArray name;
        bool isDirectory = false;
        bool isRegularFile = false;
        bool isSymlink = false;
        qint64 size = 0;      // lstat size
        std::optional<struct stat> stat;   // lstat of the entry, when it could be read
    };
    // The entries of one folder (not "." and ".."), without following links.
    // With `keep`, only the names it accepts are examined and listed;
    // `count` gets the number of all entries.
    static std::optional<QList<DirEntry>> listDirectory(const QByteArray &path, int *errorNumber = nullptr,
                                                        const std::function<bool(QByteArrayView)> &keep = {},
                                                        qsizetype *count = nullptr);

    // lstat of a path, nothing when it cannot be read.
    static std::optional<struct stat> itemStat(const QByteArray &path);
    // Does something (a link counts) exist at the path?
    static bool exists(const QByteArray &path);
};
