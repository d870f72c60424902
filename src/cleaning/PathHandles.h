#pragma once

// Small pieces the engine's file-system code shares: an owned descriptor,
// openat that survives signals, and path components of byte paths.

#include <QByteArray>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace pathhandles {

class Handle
{
public:
    explicit Handle(int fd = -1) : m_fd(fd) {}
    ~Handle() { reset(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

inline int openAt(int dirFd, const char *name, int flags)
{
    int fd;
    do {
        fd = ::openat(dirFd, name, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

inline QByteArray withoutTrailingSlashes(const QByteArray &path)
{
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == '/')
        --end;
    return path.left(end);
}

inline QByteArray lastComponent(const QByteArray &path)
{
    const QByteArray trimmed = withoutTrailingSlashes(path);
    return trimmed.mid(trimmed.lastIndexOf('/') + 1);
}

// The folder holding the item ("/" for an item at the top).
inline QByteArray parentOf(const QByteArray &path)
{
    const QByteArray trimmed = withoutTrailingSlashes(path);
    const qsizetype slash = trimmed.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : trimmed.left(slash);
}

} // namespace pathhandles
