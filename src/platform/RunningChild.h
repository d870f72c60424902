#pragma once

// The child runProcess started: the pipes to it, and the wait from its start
// to its end (RunningChild.cpp). What ProcessRunner.cpp and RunningChild.cpp
// share; not for use elsewhere.

#include "platform/ProcessRunner.h"

#include <utility>

#include <sys/types.h>
#include <unistd.h>

namespace processparts {

class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);   // not retried on EINTR: on Linux the descriptor is gone either way
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

// The pipes to the child's standard input (only when it is fed), output and
// error; output read as it comes gets a roomier pipe. The child's ends are
// closed once it runs.
struct ChildPipes
{
    Fd stdinRead, stdinWrite, stdoutRead, stdoutWrite, stderrRead, stderrWrite;

    // False (with errno in *error) when a pipe could not be made.
    bool open(bool feedInput, bool streamedOutput, int *error);
};

// Waits for the child spawned with `pipes` (whose child's ends it closes)
// to end: feeds it, reads it, keeps its time limit and obeys the request's
// control, until it is reaped and its output drained, or given up.
ProcessResult waitForChild(const ProcessRequest &request, pid_t pid, ChildPipes &pipes);

} // namespace processparts
