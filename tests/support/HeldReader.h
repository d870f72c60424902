#pragma once

// A tool's answers left unread: a tool that waits at its start (stopped), and
// the thread of this process that reads a child's standard output held, as a
// machine under load can hold it, while the child goes on answering into the
// pipe.

#include "ToolRun.h"

#include <QDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testsupport {

// A script in trustedFolder() that takes in its whole request, stops itself
// (SIGSTOP) and, once continued, becomes `tool` with the same arguments,
// request and output pipes.
inline QString stoppedAtStart(const QString &tool)
{
    const QString script = trustedFolder() + QStringLiteral("/stopped-") + QFileInfo(tool).fileName();
    const QByteArray body = "#!/bin/sh\nrequest=$(mktemp) && cat >\"$request\" && exec <\"$request\" && rm -f \"$request\" "
                            "|| exit 70\nkill -STOP $$\nexec '"
                            + QFile::encodeName(trustedCopyOf(tool)) + "' \"$@\"\n";
    return writeFile(QFile::encodeName(script), body, 0755) ? script : QString();
}

// A script in trustedFolder() that becomes `tool` with `hook` (the library
// signalled_after_answers) preloaded: right after its `answers`-th "removed"
// answer the tool is sent `signal`, "KILL", "STOP" or "TERM".
inline QString signalledAfterAnswers(const QString &tool, const QString &hook, int answers, const QByteArray &signal)
{
    const QString script = trustedFolder() + QStringLiteral("/signalled-") + QFileInfo(tool).fileName();
    const QByteArray body = "#!/bin/sh\nexport LD_PRELOAD='" + QFile::encodeName(hook)
                            + "' SWEEPBROOK_SIGNAL_AFTER_ANSWERS='" + QByteArray::number(answers) + ' ' + signal
                            + "'\nexport ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\"\n"
                              "exec '"
                            + QFile::encodeName(trustedCopyOf(tool)) + "' \"$@\"\n";
    return writeFile(QFile::encodeName(script), body, 0755) ? script : QString();
}

// The state and parent of a process, as /proc tells them ("T" and "1234").
inline QList<QByteArray> stateAndParent(const QByteArray &pid)
{
    const QByteArray stat = readFile("/proc/" + pid + "/stat");
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ').mid(0, 2);
}

// Whether a process is stopped by a signal (state T).
inline bool isStopped(pid_t pid)
{
    return stateAndParent(QByteArray::number(pid)).value(0) == "T";
}

// A child of `parent` (this process by default) stopped by a signal (state
// T); 0 when there is none.
inline pid_t stoppedChild(pid_t parent = ::getpid())
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const QList<QByteArray> fields = stateAndParent(entry.toLatin1());
        if (fields.size() > 1 && fields.at(0) == "T" && fields.at(1).toInt() == parent)
            return pid_t(entry.toInt());
    }
    return 0;
}

class HeldReader
{
public:
    // Holds the thread that reads `child`'s standard output (it waits in
    // poll on our end of the pipe), in a signal handler until release().
    explicit HeldReader(pid_t child)
    {
        const QByteArray pipe = linkOf("/proc/" + QByteArray::number(child) + "/fd/1");
        for (const QString &fd : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            if (!pipe.startsWith("pipe:") || linkOf("/proc/self/fd/" + fd.toLatin1()) != pipe)
                continue;
            m_fd = fd.toInt();
            // Its write end is the child's alone: ours is the end read.
            if (::fcntl(m_fd, F_GETFL) >= 0 && (::fcntl(m_fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
                break;
            m_fd = -1;
        }
        pid_t reader = 0;
        if (m_fd < 0 || ::pipe2(s_release, O_CLOEXEC) != 0
            || !QTest::qWaitFor([&] { return (reader = threadPolling(m_fd)) > 0; }, 10000))
            return;
        struct sigaction hold{};
        hold.sa_handler = [](int) {
            const int saved = errno;
            s_held.store(true);
            char byte;
            while (::read(s_release[0], &byte, 1) < 0 && errno == EINTR) {
            }
            s_held.store(false);
            errno = saved;
        };
        ::sigaction(SIGUSR2, &hold, &m_previous);
        ::syscall(SYS_tgkill, ::getpid(), reader, SIGUSR2);
        m_held = QTest::qWaitFor([] { return s_held.load(); }, 10000);
    }
    HeldReader(const HeldReader &) = delete;
    HeldReader &operator=(const HeldReader &) = delete;
    ~HeldReader() { release(); }

    bool isHeld() const { return m_held; }

    // Bytes of the child's output waiting in the pipe.
    int unread() const
    {
        int bytes = 0;
        return m_fd >= 0 && ::ioctl(m_fd, FIONREAD, &bytes) == 0 ? bytes : -1;
    }

    void release()
    {
        if (s_release[1] < 0)
            return;
        if (m_held) {
            (void)::write(s_release[1], "x", 1);
            (void)QTest::qWaitFor([] { return !s_held.load(); }, 10000);
            ::sigaction(SIGUSR2, &m_previous, nullptr);
        }
        ::close(s_release[0]);
        ::close(s_release[1]);
        s_release[0] = s_release[1] = -1;
        m_held = false;
    }

private:
    static QByteArray linkOf(const QByteArray &path)
    {
        char target[256];
        const ssize_t size = ::readlink(path.constData(), target, sizeof target);
        return size > 0 ? QByteArray(target, int(size)) : QByteArray();
    }

    // The thread of this process in poll() on `fd` (its arguments as the
    // kernel shows them; the array they point to lies in our own memory).
    static pid_t threadPolling(int fd)
    {
        for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QList<QByteArray> call = readFile("/proc/self/task/" + task.toLatin1() + "/syscall").trimmed().split(' ');
            bool known = false;
            const long number = call.value(0).toLong(&known);
#ifdef SYS_poll
            known = known && (number == SYS_poll || number == SYS_ppoll);
#else
            known = known && number == SYS_ppoll;
#endif
            if (!known || call.size() < 3)
                continue;
            const auto *fds = reinterpret_cast<const pollfd *>(call.at(1).toULongLong(nullptr, 16));
            const qulonglong count = call.at(2).toULongLong(nullptr, 16);
            for (qulonglong i = 0; fds && i < count && i < 8; ++i) {
                if (fds[i].fd == fd)
                    return pid_t(task.toInt());
            }
        }
        return 0;
    }

    static inline int s_release[2] = {-1, -1};
    static inline std::atomic<bool> s_held{false};
    int m_fd = -1;
    bool m_held = false;
    struct sigaction m_previous{};
};

} // namespace testsupport
