#pragma once

// The record of a folder the scan lists whole, kept while the walk is inside it.

#include "cleaning/FileMatcher.h"
#include "cleaning/FileType.h"
#include "cleaning/PathHandles.h"
#include "cleaning/VolumeWalker.h"

#include <QByteArray>
#include <QStringView>

#include <optional>
#include <utility>
#include <vector>

class VolumeWork;

namespace scanparts {

// A folder of the result, deleted whole with all it holds, while the walk is
// inside it. Should a kept name lie anywhere below, the folder must not go
// whole: then what it holds is listed instead, in the largest pieces that
// hold nothing kept, and the kept entries and the folders on the way to them
// stay. While `recording`, the entries below are noted as they come (the
// folders' handles are at hand for their lstat); what a folder held is
// forgotten when the walk leaves it holding nothing kept, since it goes whole.
//
// What it holds is counted as it comes: the sizes of the regular files below
// (those listed on their own aside, which count for themselves), the size of
// the folder's item, and of each folder among the pieces.
class WholeFolder
{
public:
    struct Entry
    {
        QByteArray path;
        bool isDirectory = false;
        bool holdsKept = false;
        std::optional<pathhandles::ItemLook> look;
        qint64 bytes = 0;   // a file's size; a folder's files, once the walk left it
    };

    WholeFolder(QByteArray path, int depth, FileType kind, bool recording)
        : m_path(std::move(path)), m_depth(depth), m_kind(kind), m_recording(recording)
    {
    }

    const QByteArray &path() const { return m_path; }
    int depth() const { return m_depth; }
    FileType kind() const { return m_kind; }
    bool recording() const { return m_recording; }
    bool holdsKept() const { return m_holdsKept; }
    // The sizes of the regular files below it that go with it.
    qint64 bytes() const { return m_bytes; }

    // An entry below the folder, in the walk's order (a folder before what it
    // holds). True when its name is kept: nothing below a kept folder counts.
    bool meet(const WalkEntry &entry, QStringView name, const FileMatcher &matcher);

    // The entry met last is listed on its own: its size counts for itself.
    // (One inside a kept folder was never counted here.)
    void listedAlone()
    {
        if (!m_lastCounted)
            return;
        m_lastCounted = false;
        m_bytes -= m_lastSize;
        if (m_recording && !m_entries.empty() && !m_entries.back().isDirectory)
            m_entries.back().bytes = 0;
        m_lastSize = 0;
    }

    // After the walk left the folder: what stays of the record, the folders
    // holding kept entries and the kept-free items directly in them.
    const std::vector<Entry> &entries();

private:
    struct OpenFolder
    {
        int depth;
        size_t index;
    };

    // Leaves the innermost open folder: what it held goes with it, unless
    // it holds a kept entry.
    void leaveFolder();

    QByteArray m_path;
    int m_depth;
    FileType m_kind;
    bool m_recording;
    bool m_holdsKept = false;
    qint64 m_bytes = 0;
    qint64 m_lastSize = 0;
    bool m_lastCounted = false;   // the entry met last counted in m_bytes (and was noted)
    std::vector<Entry> m_entries;
    std::vector<OpenFolder> m_openFolders;
    int m_keptFolderDepth = 0;   // inside a kept folder at this depth (0: not)
};

// The folder looked at a second time, recording: for a folder found holding a
// kept name while the walk did not record (nothing was excluded, so only the
// protected name is kept). Nothing when it is no longer the folder scanned
// (`scanned`, what the scan listed it as).
WholeFolder lookAgain(const WholeFolder &folder, const std::optional<pathhandles::ItemLook> &scanned,
                      const FileMatcher &matcher, VolumeWork *work);

} // namespace scanparts
