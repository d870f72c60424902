#pragma once

// The walk's part while the pre-search runs beside it: what VolumeScanner's
// walk and its meeting point share. Not for use elsewhere.

#include "cleaning/PathArena.h"
#include "cleaning/PathHandles.h"
#include "cleaning/VolumeScanner.h"
#include "platform/Log.h"

#include <QHash>

#include <algorithm>
#include <atomic>
#include <deque>
#include <vector>

// The walk's part while the pre-search runs beside it. What the walk decides
// alone goes into a result of its own; what depends on the pre-search's hits
// (only "._" files are among them) waits here for the meeting point: the
// "._" files the walk met (not looked at: the pre-search looks at its hits,
// the meeting point at the rest) and the root pass's line for a "._" file it
// listed. The walk's lines are held meanwhile, since the pre-search's come
// first; the lines of a waiting item are written at the meeting point, in
// their place. So is the line of each item the walk lists: it is held as a
// record of its path's node (the path is in the shared index anyway) and
// made at the meeting point; only the walk's other lines are held as text.
class VolumeScanner::BesideSearch
{
public:
    enum class What : quint8 {
        appleDouble,   // a "._" file the walk met
        rootListed,    // the root pass listed a "._" file: its line, unless the pre-search had it
        junkLine,      // the walk listed junk: "发现垃圾文件: <path>"
        macosxLine,    // the walk listed a "__MACOSX" item: "发现__MACOSX相关项: <path>"
    };
    // The head of a line held by What (junkLine, macosxLine).
    static const char *lineHead(What what)
    {
        return what == What::junkLine ? "发现垃圾文件: " : "发现__MACOSX相关项: ";
    }
    static const LineHead &lineHeadOf(What what)
    {
        static const LineHead junk(lineHead(What::junkLine));
        static const LineHead macosx(lineHead(What::macosxLine));
        return what == What::junkLine ? junk : macosx;
    }

    struct Event
    {
        quint32 textBefore;    // held text since the event before (whole lines of the walk's own)
        PathArena::Node node;  // its path, in the walk's part of the arena
        quint32 position;      // appleDouble: where a new temporary file would go among the walk's
        What what;
        bool listedByWalk;     // appleDouble: the walk's result held the path already (the root pass's)
    };

    LogCapture capture;   // opened on the walk's thread
    // The walk's looks at "._" files whose paths are too long to be looked
    // up again by path at the meeting point (the pre-search's look failed too).
    QHash<PathArena::Node, pathhandles::ItemLook> deepLooks;

    void add(What what, PathArena::Node node, qsizetype position = 0, bool listedByWalk = false)
    {
        const qsizetype offset = capture.size();
        // The walk's own text between two items is a few lines.
        m_events.push_back(Event{quint32(offset - m_lastOffset), node, quint32(position), what, listedByWalk});
        m_lastOffset = offset;
    }

    // The walk's result is about to lose the items at `removed` (indexes
    // among its temporary files): the places noted move up past each one
    // removed before them.
    void beforeRemove(const std::vector<qsizetype> &removed)
    {
        for (Event &event : m_events) {
            const auto before = std::lower_bound(removed.cbegin(), removed.cend(), qsizetype(event.position));
            event.position -= quint32(before - removed.cbegin());
        }
    }

    const std::deque<Event> &events() const { return m_events; }

    // Set by the pre-search's thread when it ends.
    std::atomic<bool> preSearchStopped{false};

private:
    std::deque<Event> m_events;   // grows block by block, never copied
    qsizetype m_lastOffset = 0;
};
