#include "cleaning/HitLooks.h"

#include "cleaning/VolumeWork.h"

#include <cstring>
#include <system_error>
#include <utility>

namespace AppleDoubleSearch {

HitLooks::~HitLooks()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void HitLooks::add(QByteArrayView folder, QByteArrayView name, HitLook *seen)
{
    if (!m_open.seen.empty() && (m_open.seen.size() >= kBatchHits || m_open.folder != folder))
        handOver();
    if (m_open.seen.empty())
        m_open.folder = folder.toByteArray();
    m_open.names.append(name);
    m_open.names.append('\0');
    m_open.seen.push_back(seen);
}

void HitLooks::finish()
{
    if (!m_open.seen.empty())
        handOver();
    std::unique_lock lock(m_mutex);
    m_progress.wait(lock, [this] { return m_waiting.empty() && m_busy == 0; });
}

void HitLooks::handOver()
{
    // Started by the first hits: a search that finds none starts none. Where
    // the system gives no thread, the reader looks itself.
    if (!m_started) {
        m_started = true;
        try {
            while (m_threads.size() < size_t(kThreads))
                m_threads.emplace_back([this] { lookAtBatches(); });
        } catch (const std::system_error &) {
        }
    }
    if (m_threads.empty()) {
        lookAt(std::exchange(m_open, Batch{}), m_ownLooks);
        return;
    }
    {
        std::unique_lock lock(m_mutex);
        m_progress.wait(lock, [this] { return m_waiting.size() < kMostWaiting; });
        m_waiting.push_back(std::exchange(m_open, Batch{}));
    }
    m_work.notify_one();
}

void HitLooks::lookAtBatches()
{
    FolderLooks looks;
    for (;;) {
        Batch batch;
        {
            std::unique_lock lock(m_mutex);
            m_work.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
            if (m_stopping)
                return;
            batch = std::move(m_waiting.front());
            m_waiting.pop_front();
            ++m_busy;
        }
        m_progress.notify_all();
        lookAt(batch, looks);
        {
            const std::lock_guard lock(m_mutex);
            --m_busy;
        }
        m_progress.notify_all();
    }
}

void HitLooks::lookAt(const Batch &batch, FolderLooks &looks) const
{
    const char *name = batch.names.constData();
    for (HitLook *seen : batch.seen) {
        if (const std::optional<struct stat> st = looks.lstatIn(batch.folder, name))
            *seen = HitLook{true, pathhandles::lookOf(*st)};
        name += std::strlen(name) + 1;
        if (m_volumeWork)
            m_volumeWork->beat();
    }
}

} // namespace AppleDoubleSearch
