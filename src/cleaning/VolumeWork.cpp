#include "cleaning/VolumeWork.h"

#include <algorithm>

void VolumeWork::removed(const FileItem &item)
{
    beat();
    QMutexLocker lock(&m_lock);
    if (mark(item, true))
        m_removed.append(item);
}

bool VolumeWork::mark(const FileItem &item, bool removed)
{
    if (!m_lastMarks || m_lastMarks->holder.arena() != item.arena()) {
        auto found = m_marks.find(item.arena());
        if (found == m_marks.end()) {
            if (!removed)
                return false;
            found = m_marks.emplace(item.arena(), Marks{item, {}}).first;
        }
        m_lastMarks = &found->second;
    }
    std::vector<quint64> &bits = m_lastMarks->bits;
    const size_t word = item.node() / 64;
    const quint64 bit = quint64(1) << (item.node() % 64);
    if (word >= bits.size()) {
        if (!removed)
            return false;
        bits.resize(std::max(word + 1, bits.size() * 2));
    }
    if (bool(bits[word] & bit) == removed)
        return false;
    bits[word] ^= bit;
    return true;
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
}

void VolumeWork::stillPresent(const FileItem &item)
{
    QMutexLocker lock(&m_lock);
    if (mark(item, false))
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
