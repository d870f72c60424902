// A child runProcess started, from its start to its end: what it is fed,
// what it says, its time limit and what the caller asks of it.
#include "platform/RunningChild.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace processparts {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long output is still read after the child has gone, for a grandchild
// that inherited the pipes and keeps them open.
constexpr milliseconds kDrainGrace{200};
constexpr size_t kChunk = 64 * 1024;

void setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Writing to a child that has exited must give EPIPE rather than kill us,
// without touching the process-wide disposition (the application or a test
// harness may have its own handler). SIGPIPE from write() goes to the writing
// thread, so blocking it here and discarding the one we caused is enough.
class SigpipeBlocker
{
public:
    SigpipeBlocker()
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGPIPE);
        m_active = ::pthread_sigmask(SIG_BLOCK, &m_set, &m_old) == 0;
        sigset_t pending;
        m_wasPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    }
    ~SigpipeBlocker()
    {
        if (!m_active)
            return;
        sigset_t pending;
        if (!m_wasPending && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
            const timespec zero{};
            while (::sigtimedwait(&m_set, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigpipeBlocker(const SigpipeBlocker &) = delete;
    SigpipeBlocker &operator=(const SigpipeBlocker &) = delete;

private:
    sigset_t m_set;
    sigset_t m_old;
    bool m_active = false;
    bool m_wasPending = false;
};

int openPidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, pid, 0));   // always close-on-exec
#else
    Q_UNUSED(pid);
    return -1;
#endif
}

// True once the child has ended, without reaping it: until it is reaped its
// process group id cannot be reused, so the group may still be signalled.
bool hasEnded(pid_t pid)
{
    siginfo_t info {};
    int rc;
    do {
        rc = ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return true;   // ECHILD: reaped behind our back (SIGCHLD ignored); nothing left to wait for
    return info.si_pid != 0;
}

void reap(pid_t pid, ProcessResult &result)
{
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc != pid)
        return;
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
}

// Reads what is there now; closes the descriptor at end of file or on error.
void readAvailable(Fd &fd, QByteArray &into, const std::function<void(const QByteArray &, bool)> &onOutput, bool error,
                   bool collect = true)
{
    char buffer[kChunk];
    for (int round = 0; round < 16 && fd.isOpen(); ++round) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n > 0) {
            if (collect)
                into.append(buffer, n);
            if (onOutput)
                onOutput(QByteArray(buffer, n), error);
            if (size_t(n) < sizeof buffer)
                return;
        } else if (n == 0) {
            fd.reset();
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else {
            fd.reset();
        }
    }
}

// Writes what the pipe takes now; closes it when all is written or the child
// stopped reading.
void writeAvailable(Fd &fd, const QByteArray &data, qsizetype &written)
{
    while (fd.isOpen() && written < data.size()) {
        const size_t size = std::min(size_t(data.size() - written), kChunk);
        const ssize_t n = ::write(fd.get(), data.constData() + written, size);
        if (n > 0)
            written += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        else
            fd.reset();   // EPIPE: the child does not want the rest
    }
    if (written >= data.size())
        fd.reset();
}

int millisecondsUntil(Clock::time_point when, Clock::time_point now)
{
    if (when <= now)
        return 0;
    const auto wait = std::chrono::ceil<milliseconds>(when - now).count();
    return int(std::min<decltype(wait)>(wait, 60000));
}

// A child from its start to its end: what it is fed, what it says, its time
// limit and what the caller asks of it, until it is reaped and its output
// drained (or it is given up).
class RunningChild
{
public:
    RunningChild(const ProcessRequest &request, pid_t pid, ChildPipes &pipes);
    RunningChild(const RunningChild &) = delete;
    RunningChild &operator=(const RunningChild &) = delete;

    ProcessResult wait();

private:
    bool obeyControl();
    void giveUp();
    void askToStop();
    void reapChild(Clock::time_point now);
    void keepTimeLimit(Clock::time_point now);
    bool waitForPipes(Clock::time_point now);
    void transfer();
    void readOutput();

    const ProcessRequest &m_request;
    const pid_t m_pid;
    // Declared in this order, so they end in this order's reverse: the
    // signal mask first, then the pidfd, then the pipes.
    Fd m_stdinWrite, m_stdoutRead, m_stderrRead;
    Fd m_pidfd;   // readable when the child ends; without it (old kernels) we look now and then
    std::optional<SigpipeBlocker> m_sigpipeBlocker;

    ProcessResult m_result;
    bool m_limited = false;
    Clock::time_point m_deadline;
    milliseconds m_killGrace{0};
    // SIGKILL time once SIGTERM went out (a plain time point: GCC misreads optional here).
    bool m_killPending = false;
    Clock::time_point m_killAt{};
    std::optional<Clock::time_point> m_drainUntil;
    bool m_reaped = false;
    bool m_stopAsked = false;
    qsizetype m_written = 0;
};

RunningChild::RunningChild(const ProcessRequest &request, pid_t pid, ChildPipes &pipes)
    : m_request(request)
    , m_pid(pid)
{
    m_result.started = true;
    pipes.stdinRead.reset();
    pipes.stdoutWrite.reset();
    pipes.stderrWrite.reset();
    m_stdinWrite = std::move(pipes.stdinWrite);
    m_stdoutRead = std::move(pipes.stdoutRead);
    m_stderrRead = std::move(pipes.stderrRead);
    if (m_stdinWrite.isOpen())
        setNonBlocking(m_stdinWrite.get());
    setNonBlocking(m_stdoutRead.get());
    setNonBlocking(m_stderrRead.get());
    m_pidfd = Fd(openPidfd(pid));
    if (request.onStarted)
        request.onStarted(m_pidfd.get());

    if (m_stdinWrite.isOpen())
        m_sigpipeBlocker.emplace();

    const Clock::time_point started = Clock::now();
    // Clamped so that adding them to the clock cannot overflow.
    constexpr milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
    m_limited = request.timeout.count() > 0;
    m_deadline = started + std::min(request.timeout, kLongest);
    m_killGrace = std::clamp(request.killGrace, milliseconds(0), kLongest);
}

ProcessResult RunningChild::wait()
{
    for (;;) {
        if (!m_reaped && m_request.control && obeyControl())
            return std::move(m_result);   // given up
        const Clock::time_point now = Clock::now();
        if (!m_reaped && hasEnded(m_pid))
            reapChild(now);
        if (m_reaped && ((!m_stdoutRead.isOpen() && !m_stderrRead.isOpen()) || now >= *m_drainUntil))
            break;
        keepTimeLimit(now);
        if (waitForPipes(now))
            transfer();
    }
    return std::move(m_result);
}

// What the caller asks: true when it gave the child up.
bool RunningChild::obeyControl()
{
    const ProcessRequest::Control control = m_request.control();
    if (control == ProcessRequest::Control::giveUp) {
        giveUp();
        return true;
    }
    if (control == ProcessRequest::Control::stop && !m_stopAsked)
        askToStop();
    return false;
}

void RunningChild::giveUp()
{
    ::kill(-m_pid, SIGKILL);
    ::kill(m_pid, SIGKILL);
    m_result.givenUp = true;
    readOutput();
    // A killed child is gone in a moment, unless the kernel holds it.
    for (int i = 0; i < 20 && !hasEnded(m_pid); ++i)
        ::poll(nullptr, 0, 5);
    if (hasEnded(m_pid)) {
        reap(m_pid, m_result);
        return;
    }
    // Held inside the kernel until whatever it waits for answers: reaped by
    // a thread of its own then.
    std::thread([pid = m_pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

void RunningChild::askToStop()
{
    m_stopAsked = true;
    // Its answers so far are in; its next one meets a closed pipe.
    if (::kill(-m_pid, SIGTERM) != 0 && ::kill(m_pid, SIGTERM) != 0) {
        readAvailable(m_stdoutRead, m_result.standardOutput, m_request.onOutput, false, m_request.collectStandardOutput);
        m_stdoutRead.reset();
    }
}

// The child has ended: reaped, its input closed, its output drained for a while.
void RunningChild::reapChild(Clock::time_point now)
{
    // After a time-out, whatever else is in its group goes too.
    if (m_result.timedOut)
        ::kill(-m_pid, SIGKILL);
    reap(m_pid, m_result);
    m_reaped = true;
    m_pidfd.reset();
    m_stdinWrite.reset();
    m_drainUntil = now + kDrainGrace;
}

// At its time limit the group gets SIGTERM, and SIGKILL a grace later.
void RunningChild::keepTimeLimit(Clock::time_point now)
{
    if (m_reaped)
        return;
    if (m_limited && !m_result.timedOut && now >= m_deadline) {
        m_result.timedOut = true;
        ::kill(-m_pid, SIGTERM);
        m_killAt = now + m_killGrace;
        m_killPending = true;
    }
    if (m_killPending && now >= m_killAt) {
        ::kill(-m_pid, SIGKILL);
        m_killPending = false;
    }
}

// Waits until a pipe is ready, the child ends or the next thing to do is
// due. False when the wait failed.
bool RunningChild::waitForPipes(Clock::time_point now)
{
    pollfd fds[4];
    nfds_t count = 0;
    const auto watch = [&](const Fd &fd, short events) {
        if (fd.isOpen())
            fds[count++] = pollfd{fd.get(), events, 0};
    };
    watch(m_stdinWrite, POLLOUT);
    watch(m_stdoutRead, POLLIN);
    watch(m_stderrRead, POLLIN);
    watch(m_pidfd, POLLIN);

    int timeout = -1;
    const auto until = [&](Clock::time_point when) {
        const int ms = millisecondsUntil(when, now);
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    };
    if (!m_reaped && m_limited && !m_result.timedOut)
        until(m_deadline);
    if (!m_reaped && m_killPending)
        until(m_killAt);
    if (m_drainUntil)
        until(*m_drainUntil);
    if (!m_reaped && !m_pidfd.isOpen())
        until(now + milliseconds(10));
    if (!m_reaped && m_request.control)
        until(now + milliseconds(100));

    if (::poll(fds, count, timeout) >= 0)
        return true;
    if (errno != EINTR)
        ::poll(nullptr, 0, 10);   // unexpected; do not spin
    return false;
}

// Feeds the child what its pipe takes now and reads what it said.
void RunningChild::transfer()
{
    if (m_stdinWrite.isOpen())
        writeAvailable(m_stdinWrite, m_request.standardInput, m_written);
    readOutput();
}

void RunningChild::readOutput()
{
    readAvailable(m_stdoutRead, m_result.standardOutput, m_request.onOutput, false, m_request.collectStandardOutput);
    readAvailable(m_stderrRead, m_result.standardError, m_request.onOutput, true);
}

} // namespace

ProcessResult waitForChild(const ProcessRequest &request, pid_t pid, ChildPipes &pipes)
{
    return RunningChild(request, pid, pipes).wait();
}

} // namespace processparts
