// The device manager's watch over the scans and cleans it runs: their share
// done, a stop for all of them when the app quits, and the time limit on a
// volume that stops answering.
#include "devices/USBDeviceManager.h"

#include "cleaning/VolumeWork.h"
#include "platform/Log.h"
#include "platform/Scheduler.h"

#include <algorithm>
#include <optional>

using namespace std::chrono_literals;

struct USBDeviceManager::WatchedWork
{
    QString deviceID;
    std::shared_ptr<VolumeWork> work;
    Scheduler::TimerId timer = 0;
    quint64 beats = 0;                 // as the last look saw them
    Scheduler::Duration since{0};      // when they last moved
    double share = -2;                 // last told
    // Given up while its thread waited on one of its tools: when.
    std::optional<Scheduler::Duration> givenUpAt;
};

void USBDeviceManager::watchWork(const QString &deviceID, const std::shared_ptr<VolumeWork> &work,
                                 std::function<void()> onGiveUp, CleanProgress onProgress)
{
    auto watched = std::make_shared<WatchedWork>();
    watched->deviceID = deviceID;
    watched->work = work;
    watched->since = m_scheduler.now();
    const Scheduler::Duration interval = std::clamp<Scheduler::Duration>(m_env.volumeTimeout / 4, 10ms, 250ms);

    const auto forget = [this, watched] {
        m_scheduler.cancel(watched->timer);
        m_watched.erase(std::remove(m_watched.begin(), m_watched.end(), watched), m_watched.end());
    };
    watched->timer = m_scheduler.every(interval, [this, watched, forget, onGiveUp = std::move(onGiveUp),
                                                  onProgress = std::move(onProgress)] {
        VolumeWork &w = *watched->work;
        if (watched->givenUpAt) {
            // Waiting on the tool (killed with the work), that thread is held
            // by no volume: it takes in what the tool answered, which counts,
            // and returns. Starting it, the thread may be held by the volume (the
            // tool starts in its folder): waited for as long again as the
            // volume was.
            const VolumeWork::Child child = w.child();
            if (child == VolumeWork::Child::waiting
                || (child == VolumeWork::Child::starting
                    && m_scheduler.now() - *watched->givenUpAt < m_env.volumeTimeout))
                return;
            forget();
            onGiveUp();
            return;
        }
        if (w.end() != VolumeWork::End::running) {
            forget();
            return;
        }
        if (onProgress && w.shareDone() != watched->share) {
            watched->share = w.shareDone();
            onProgress(watched->share);
        }
        const Scheduler::Duration now = m_scheduler.now();
        // The user's own waits (a password) are no silence of the volume,
        // unless the app is quitting and waits for the work to end.
        if (w.beats() != watched->beats || (w.isWaitingForUser() && !w.stopRequested())) {
            watched->beats = w.beats();
            watched->since = now;
            return;
        }
        if (now - watched->since < m_env.volumeTimeout || !w.giveUp())
            return;
        logLine(QStringLiteral("USBDeviceManager: 设备 %1 毫秒没有响应，放弃当前操作: ").arg(m_env.volumeTimeout.count())
                + watched->deviceID);
        m_givenUp.erase(std::remove_if(m_givenUp.begin(), m_givenUp.end(),
                                       [](const std::shared_ptr<VolumeWork> &old) { return old->hasReturned(); }),
                        m_givenUp.end());
        m_givenUp.push_back(watched->work);
        if (w.child() != VolumeWork::Child::none) {
            watched->givenUpAt = now;
            return;
        }
        forget();
        onGiveUp();
    }, this);
    m_watched.push_back(watched);
}

void USBDeviceManager::stopWork()
{
    for (const std::shared_ptr<WatchedWork> &watched : m_watched)
        watched->work->requestStop();
}

bool USBDeviceManager::leavesWorkBehind() const
{
    return std::any_of(m_givenUp.cbegin(), m_givenUp.cend(),
                       [](const std::shared_ptr<VolumeWork> &work) { return !work->hasReturned(); });
}
