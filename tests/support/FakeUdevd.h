#pragma once

// What makes a fake udev database current: a socket listening where udevd's
// control socket would be. stop() closes it and leaves its file behind, as a
// udevd that has gone does. It listens in the test's folder of sockets.

#include "TestGuard.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

class FakeUdevd
{
public:
    FakeUdevd() : m_path(socketPath(QStringLiteral("udev-control")))
    {
        const QByteArray bytes = QFile::encodeName(m_path);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (size_t(bytes.size()) >= sizeof address.sun_path)
            qFatal("socket path too long: %s", bytes.constData());
        std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
        m_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
            || ::listen(m_fd, 8) != 0)
            qFatal("cannot listen at %s", bytes.constData());
    }
    ~FakeUdevd()
    {
        stop();
        QFile::remove(m_path);
    }
    FakeUdevd(const FakeUdevd &) = delete;
    FakeUdevd &operator=(const FakeUdevd &) = delete;

    const QString &path() const { return m_path; }
    void stop()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    QString m_path;
    int m_fd = -1;
};

} // namespace testsupport
