#include "cleaning/VolumeWork.h"

#include <algorithm>
#include <csignal>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

VolumeWork::~VolumeWork()
{
    for (const int fd : m_children)
        ::close(fd);
}

bool VolumeWork::giveUp()
{
    if (!settle(End::givenUp))
        return false;
    killChildren();
    return true;
}

// A pidfd names its process even once its number is free again: nothing
// else is ever signalled.
void VolumeWork::killChildren()
{
    QMutexLocker lock(&m_childrenLock);
    for (const int fd : m_children)
        ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
}

void VolumeWork::removed(const FileItem &item)
{
    beat();
    QMutexLocker lock(&m_lock);
    Marks &marks = marksOf(item);
    if (isMarked(marks, item.node()))
        return;
    if (m_removedPaths) {
        const qsizetype before = m_removedPaths->size();
        m_removedPaths->insert(item.fsPath());
        if (m_removedPaths->size() == before)
            return;   // an item of another arena at the same path
    }
    setMark(marks, item.node(), true);
    m_removed.append(item);
}

VolumeWork::Marks &VolumeWork::marksOf(const FileItem &item)
{
    if (m_lastMarks && m_lastMarks->holder.arena() == item.arena())
        return *m_lastMarks;
    auto found = m_marks.find(item.arena());
    if (found == m_marks.end()) {
        found = m_marks.emplace(item.arena(), Marks{item, {}}).first;
        if (m_marks.size() == 2) {
            // Paths of two arenas may be equal: from now on paths decide.
            m_removedPaths.emplace();
            for (const FileItem &gone : std::as_const(m_removed))
                m_removedPaths->insert(gone.fsPath());
        }
    }
    m_lastMarks = &found->second;
    return *m_lastMarks;
}

bool VolumeWork::isMarked(const Marks &marks, PathArena::Node node)
{
    const std::vector<quint64> &bits = marks.bits[PathArena::partOf(node)];
    const quint32 index = PathArena::indexOf(node);
    return index / 64 < bits.size() && (bits[index / 64] >> (index % 64)) & 1;
}

void VolumeWork::setMark(Marks &marks, PathArena::Node node, bool removed)
{
    std::vector<quint64> &bits = marks.bits[PathArena::partOf(node)];
    const quint32 index = PathArena::indexOf(node);
    const size_t word = index / 64;
    if (word >= bits.size())
        bits.resize(std::max(word + 1, bits.size() * 2));
    const quint64 bit = quint64(1) << (index % 64);
    bits[word] = removed ? bits[word] | bit : bits[word] & ~bit;
}

void VolumeWork::watch(ProcessRequest &request, std::function<void(const QByteArray &, bool)> onOutput)
{
    request.onOutput = [this, onOutput = std::move(onOutput)](const QByteArray &piece, bool error) {
        beat();
        if (onOutput)
            onOutput(piece, error);
    };
    request.control = [this] {
        if (isGivenUp())
            return ProcessRequest::Control::giveUp;
        return stopRequested() ? ProcessRequest::Control::stop : ProcessRequest::Control::carryOn;
    };
    request.onStarted = [this](int pidfd) {
        // The child runs: a thread that ran it through run() waits on it from now on.
        Child starting = Child::starting;
        m_child.compare_exchange_strong(starting, Child::waiting);
        const int kept = pidfd < 0 ? -1 : ::fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
        if (kept < 0)
            return;   // the runner's own look gives it up, ten times a second
        QMutexLocker lock(&m_childrenLock);
        m_children.push_back(kept);
        if (isGivenUp())
            ::syscall(SYS_pidfd_send_signal, kept, SIGKILL, nullptr, 0);
    };
}

ProcessResult VolumeWork::run(const ProcessRequest &request)
{
    // Set before the end is looked at, as giving up settles the end before
    // it looks here: one of the two sees the other.
    m_child.store(Child::starting);
    ProcessResult result;
    if (isGivenUp()) {
        result.started = true;
        result.givenUp = true;
    } else {
        result = runProcess(request);
    }
    m_child.store(Child::none);
    return result;
}

void VolumeWork::stillPresent(const FileItem &item)
{
    QMutexLocker lock(&m_lock);
    if (m_removedPaths) {
        const QByteArray path = item.fsPath();
        if (!m_removedPaths->remove(path))
            return;
        m_removed.removeIf([&](const FileItem &gone) {
            if (gone.fsPath() != path)
                return false;
            setMark(marksOf(gone), gone.node(), false);
            return true;
        });
        return;
    }
    Marks &marks = marksOf(item);
    if (!isMarked(marks, item.node()))
        return;
    setMark(marks, item.node(), false);
    m_removed.removeIf([&](const FileItem &gone) { return gone.isSameItem(item); });
}

QList<FileItem> VolumeWork::removedSoFar() const
{
    QMutexLocker lock(&m_lock);
    return m_removed;
}

double VolumeWork::shareDone() const
{
    const qint64 total = m_total.load();
    if (total <= 0)
        return -1;
    qint64 done = m_failed.load();
    {
        QMutexLocker lock(&m_lock);
        done += m_removed.size();
    }
    return std::clamp(double(done) / double(total), 0.0, 1.0);
}
