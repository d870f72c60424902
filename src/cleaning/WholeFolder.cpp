#include "cleaning/WholeFolder.h"

#include "cleaning/ScanParts.h"
#include "cleaning/VolumeWork.h"

#include <QFile>

#include <sys/stat.h>

namespace scanparts {

bool WholeFolder::meet(const WalkEntry &entry, QStringView name, const FileMatcher &matcher)
{
    // Only an entry counted here may be listed alone (listedAlone()).
    m_lastCounted = false;
    if (m_keptFolderDepth > 0) {
        if (entry.depth > m_keptFolderDepth)
            return false;
        m_keptFolderDepth = 0;
    }
    while (!m_openFolders.empty() && m_openFolders.back().depth >= entry.depth)
        leaveFolder();
    if (matcher.isKept(name)) {
        m_holdsKept = true;
        // The folders the walk is in hold it (their own ancestors already do
        // when one of them does).
        for (auto it = m_openFolders.rbegin(); it != m_openFolders.rend(); ++it) {
            Entry &folder = m_entries[it->index];
            if (folder.holdsKept)
                break;
            folder.holdsKept = true;
        }
        if (entry.isDirectory)
            m_keptFolderDepth = entry.depth;
        return true;
    }
    std::optional<struct stat> st;
    if (entry.isRegularFile || m_recording)
        st = entry.lstat();
    const qint64 size = entry.isRegularFile && st && S_ISREG(st->st_mode) ? qint64(st->st_size) : 0;
    m_bytes += size;
    m_lastSize = size;
    m_lastCounted = true;
    if (m_recording) {
        m_entries.push_back(Entry{entry.path(), entry.isDirectory, false, looked(st), size});
        if (entry.isDirectory)
            m_openFolders.push_back(OpenFolder{entry.depth, m_entries.size() - 1});
    }
    return false;
}

const std::vector<WholeFolder::Entry> &WholeFolder::entries()
{
    while (!m_openFolders.empty())
        leaveFolder();
    return m_entries;
}

void WholeFolder::leaveFolder()
{
    const size_t index = m_openFolders.back().index;
    m_openFolders.pop_back();
    if (m_entries[index].holdsKept)
        return;
    // What it held goes with it: its files, and its folders' files.
    for (size_t k = index + 1; k < m_entries.size(); ++k)
        m_entries[index].bytes += m_entries[k].bytes;
    m_entries.resize(index + 1);
}

WholeFolder lookAgain(const WholeFolder &folder, const std::optional<pathhandles::ItemLook> &scanned,
                      const FileMatcher &matcher, VolumeWork *work)
{
    WholeFolder again(folder.path(), 0, folder.kind(), true);
    std::optional<bool> same;
    VolumeWalker::walk(
        folder.path(),
        [&](const WalkEntry &entry) {
            if (work)
                work->beat();
            if (!same) {   // the first entry lies in the folder itself (reached again by its place)
                struct stat st;
                same = scanned && ::fstat(entry.parentFd, &st) == 0 && S_ISDIR(st.st_mode)
                    && quint64(st.st_dev) == scanned->device
                    && (quint64(st.st_ino) == scanned->inode
                        || VolumeWalker::numbersOf(entry.parentFd) == pathhandles::ItemNumbers::renewed);
            }
            if (!*same)
                return WalkDecision{false, 0};
            return WalkDecision{!again.meet(entry, QFile::decodeName(entry.name), matcher), 0};
        },
        [](const WalkError &) {});
    if (same && *same)
        return again;
    return WholeFolder(folder.path(), 0, folder.kind(), true);
}

} // namespace scanparts
