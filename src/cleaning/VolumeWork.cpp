#include "cleaning/VolumeWork.h"

#include <algorithm>

void VolumeWork::removed(const FileItem &item)
{
    removed(item, item.fsPath());
}

void VolumeWork::removed(const FileItem &item, const QByteArray &path)
{
    beat();
    QMutexLocker lock(&m_lock);
    const qsizetype before = m_removedPaths.size();
    m_removedPaths.insert(path);
    if (m_removedPaths.size() != before)
        m_removed.append(item);
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
    if (m_removedPaths.remove(item.fsPath())) {
        m_removed.removeIf([&](const FileItem &gone) { return gone.fsPath() == item.fsPath(); });
    }
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
