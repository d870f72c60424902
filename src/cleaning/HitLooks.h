#pragma once

// The looks at the AppleDouble pre-search's hits, taken beside the search.
// Not for use elsewhere: AppleDoubleSearch.cpp's own.

#include "cleaning/AppleDoubleSearch.h"
#include "cleaning/PathHandles.h"

#include <QByteArray>
#include <QByteArrayView>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace AppleDoubleSearch {

// What a look (lstat) at a hit saw; not there when it saw nothing.
struct HitLook
{
    bool exists = false;
    pathhandles::ItemLook look;
};

// The looks at find's hits, taken on threads of their own while find still
// searches and its output is read: the reader only hands over the names of
// each folder together, and a thread looks at them through one handle on the
// folder (FolderLooks). What a look saw goes into the hit's own record, which
// must stay where it is until finish() has returned (or this is gone). Each
// look counts as progress of `work`, when there is one.
class HitLooks
{
public:
    explicit HitLooks(VolumeWork *work) : m_volumeWork(work) {}
    // Hits not looked at by then never are.
    ~HitLooks();
    HitLooks(const HitLooks &) = delete;
    HitLooks &operator=(const HitLooks &) = delete;

    // The hit `name` of the folder at `folder`, what its look saw to go into *seen.
    void add(QByteArrayView folder, QByteArrayView name, HitLook *seen);
    // Waits until every hit handed over was looked at.
    void finish();

private:
    struct Batch
    {
        QByteArray folder;
        QByteArray names;   // each NUL-terminated
        std::vector<HitLook *> seen;
    };
    static constexpr size_t kBatchHits = 256;
    static constexpr int kThreads = 2;
    static constexpr size_t kMostWaiting = 1024;   // batches; the reader waits for room beyond

    void handOver();
    void lookAtBatches();
    void lookAt(const Batch &batch, FolderLooks &looks) const;

    VolumeWork *const m_volumeWork;
    Batch m_open;   // the reader's
    bool m_started = false;
    FolderLooks m_ownLooks;   // the reader's, when it has no thread to hand over to
    std::mutex m_mutex;
    std::condition_variable m_work;       // a batch waits, or the end
    std::condition_variable m_progress;   // a batch was taken or done
    std::deque<Batch> m_waiting;
    int m_busy = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace AppleDoubleSearch
