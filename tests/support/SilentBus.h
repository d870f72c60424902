#pragma once

#include "TestGuard.h"

#include <QFile>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

// A bus that accepts connections and never answers: a unix socket that
// listens and never reads, in the test's folder of sockets. Its address goes
// into DBUS_SYSTEM_BUS_ADDRESS.
class SilentBus
{
public:
    SilentBus()
        : m_path(socketPath(QStringLiteral("silent-bus")))
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray bytes = QFile::encodeName(m_path);
        if (m_fd < 0 || size_t(bytes.size()) >= sizeof address.sun_path)
            return;
        std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
        m_listening = ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                      && ::listen(m_fd, 16) == 0;
    }
    ~SilentBus()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        QFile::remove(m_path);
    }
    SilentBus(const SilentBus &) = delete;
    SilentBus &operator=(const SilentBus &) = delete;

    bool isListening() const { return m_listening; }
    QString address() const { return QStringLiteral("unix:path=") + m_path; }

private:
    QString m_path;
    int m_fd = -1;
    bool m_listening = false;
};

// Runs `work` on a thread of its own; false when it has not finished within
// `limit` (the thread is then left behind, so a hang fails the test instead
// of stopping it).
inline bool finishesWithin(std::function<void()> work, std::chrono::milliseconds limit)
{
    struct State
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    auto state = std::make_shared<State>();
    std::thread([state, work = std::move(work)]() mutable {
        std::function<void()> job = std::move(work);
        job();
        job = nullptr;   // what it holds is let go before the caller goes on
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->done.notify_all();
    }).detach();
    std::unique_lock lock(state->mutex);
    return state->done.wait_for(lock, limit, [&] { return state->finished; });
}

} // namespace testsupport
