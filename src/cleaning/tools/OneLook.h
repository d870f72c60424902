#pragma once

#include <QByteArrayView>
#include <QSet>

#include <utility>

#include <sys/stat.h>

// One file, one look: whatever a request calls an item, the tool compares
// what it finds there with the scan's record once per file, so a request
// cannot guess a file's inode over and over under other names of it.
// A name is taken as the volume takes it: on a volume that ignores case,
// spellings that differ only in case are one name (FUSE daemons give each
// spelling a node number of its own); and whatever the spelling (a short
// FAT name, a second hard link), what a name leads to is looked at once.
class OneLook
{
public:
    explicit OneLook(bool namesIgnoreCase) : m_namesIgnoreCase(namesIgnoreCase) {}

    // False when `relative` (a path below the root) names, as the volume
    // compares names, a path this run named before.
    bool firstNaming(QByteArrayView relative);

    // False when the file `st` describes was looked at before in this run.
    bool firstLookAt(const struct stat &st);

private:
    bool m_namesIgnoreCase;
    QSet<size_t> m_namings;   // hashes of the paths named, case folded
    QSet<std::pair<quint64, quint64>> m_files;   // device and inode of each file looked at
};
