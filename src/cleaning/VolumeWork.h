#pragma once

#include "cleaning/FileType.h"
#include "platform/ProcessRunner.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSet>
#include <atomic>
#include <optional>
#include <unordered_map>
#include <vector>

// One scan or clean of a volume, as its steps and whoever waits for it see
// it: the progress it makes (every entry read, every look at an item, every
// answer a tool gave counts as a beat), a request to stop at the next item
// boundary, and how it ends, decided once, by the work itself or by whoever
// gave up waiting on it (a volume that stopped answering). A clean also keeps
// what is known removed so far, so what it did is known even when it is given
// up half-way. Thread-safe; shared by the steps of one scan or clean.
class VolumeWork
{
public:
    enum class End { running, finished, givenUp };

    // Progress was made.
    void beat() { m_beats.fetch_add(1, std::memory_order_relaxed); }
    quint64 beats() const { return m_beats.load(std::memory_order_relaxed); }

    // Asks the work to stop at its next item boundary: nothing is begun
    // after that, and no item is left half-removed.
    void requestStop() { m_stop.store(true); }
    // Asked to stop, or given up: begin nothing more.
    bool shouldEnd() const { return m_stop.load() || end() == End::givenUp; }
    bool stopRequested() const { return m_stop.load(); }

    // While the work waits for the user (the administrator's password, a
    // dialog) it does not wait on the volume, and no time limit runs.
    void setWaitingForUser(bool waiting) { m_waitingForUser.store(waiting); }
    bool isWaitingForUser() const { return m_waitingForUser.load(); }

    // Ends the work: true for the first of the two, which reports its end;
    // the other says nothing more. Giving up kills the work's children at
    // once where this process may signal them: what a tool answered then is
    // all it removed, but for the one item it may be waiting on inside the
    // volume, and it is known removed once the thread that ran the tool
    // (`run`) has taken the answers in. The administrator tool pkexec runs
    // as root for an ordinary user cannot be signalled: it ends on its own.
    bool finish() { return settle(End::finished); }
    bool giveUp();
    End end() const { return m_end.load(); }
    bool isGivenUp() const { return end() == End::givenUp; }

    VolumeWork() = default;
    ~VolumeWork();
    VolumeWork(const VolumeWork &) = delete;
    VolumeWork &operator=(const VolumeWork &) = delete;

    // Makes a child process part of the work: its output beats (and goes on
    // to `onOutput` too), it is asked to stop with the work and given up with it.
    void watch(ProcessRequest &request, std::function<void(const QByteArray &piece, bool error)> onOutput = {});
    // Runs a child made part of the work (`watch`) whose answers count, and
    // waits for it. Given up meanwhile, the child is killed and the waiting
    // thread takes in what it had answered before it returns: whoever gave
    // the work up waits for that (`child`). Once the work is given up, no
    // child is started.
    ProcessResult run(const ProcessRequest &request);
    // Where the work's thread is with the child `run` runs: starting it (it
    // starts in the volume's folder, which may hold it), or waiting on it
    // (only on its pipes and its end: never on the volume).
    enum class Child { none, starting, waiting };
    Child child() const { return m_child.load(); }

    // The thread that ran the work has returned (a work given up may still
    // hold one, waiting inside the volume).
    void markReturned() { m_returned.store(true); }
    bool hasReturned() const { return m_returned.load(); }

    // ---- What a clean did ----
    // The items it is to clean, for its share done.
    void setTotal(qint64 total) { m_total.store(total); }
    // An item is gone (the removal succeeded, it was not there any more, or
    // a tool answered "removed" for it). Counted once by its path, however
    // often told. The items of one scan are told apart by their place among
    // its paths (an arena holds each path once), so telling one costs no
    // look at its path; only items of several arenas are compared by path.
    void removed(const FileItem &item);
    // An item told gone that the volume still shows after all.
    void stillPresent(const FileItem &item);
    // An item stays: it is done with.
    void failed() { m_failed.fetch_add(1, std::memory_order_relaxed); beat(); }
    QList<FileItem> removedSoFar() const;
    // The share of the items done with (0 to 1); -1 while the total is unknown.
    double shareDone() const;

private:
    bool settle(End to)
    {
        End expected = End::running;
        return m_end.compare_exchange_strong(expected, to);
    }

    std::atomic<quint64> m_beats{0};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_waitingForUser{false};
    std::atomic<End> m_end{End::running};
    std::atomic<bool> m_returned{false};
    std::atomic<Child> m_child{Child::none};
    std::atomic<qint64> m_total{0};
    std::atomic<qint64> m_failed{0};

    // The items known removed, a bit per node of their paths' arena (a
    // clean's items mostly share one), in each of its parts; `holder` keeps
    // the arena alive.
    struct Marks
    {
        FileItem holder;
        std::vector<quint64> bits[PathArena::kParts];
    };
    Marks &marksOf(const FileItem &item);
    static bool isMarked(const Marks &marks, PathArena::Node node);
    static void setMark(Marks &marks, PathArena::Node node, bool removed);

    void killChildren();

    QMutex m_childrenLock;
    std::vector<int> m_children;   // pidfds of the children it watches

    mutable QMutex m_lock;
    QList<FileItem> m_removed;
    std::unordered_map<const PathArena *, Marks> m_marks;
    Marks *m_lastMarks = nullptr;
    // Once items of a second arena are told: the paths of m_removed.
    std::optional<QSet<QByteArray>> m_removedPaths;
};
