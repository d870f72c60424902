#include "platform/ProcessRunner.h"

#include "platform/Log.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long output is still read after the child has gone, for a grandchild
// that inherited the pipes and keeps them open.
constexpr milliseconds kDrainGrace{200};
constexpr size_t kChunk = 64 * 1024;

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

// A close-on-exec pipe whose ends are above the standard descriptors, so the
// child's dup2 onto 0, 1 and 2 never meets one of them.
bool makePipe(Fd &readEnd, Fd &writeEnd, int *error)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *error = errno;
        return false;
    }
    for (int &fd : fds) {
        if (fd < 3) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            const int saved = errno;
            ::close(fd);
            fd = moved;
            if (moved < 0)
                *error = saved;
        }
    }
    readEnd = Fd(fds[0]);
    writeEnd = Fd(fds[1]);
    return readEnd.isOpen() && writeEnd.isOpen();
}

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

bool isExecutableFile(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.constData(), X_OK) == 0;
}

bool isDirectory(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Root (or a process whose effective user is not its real one) never takes
// programs from the PATH it inherited: a folder the user put there would run
// the user's program with our rights. The system's own folders stand in for it.
constexpr char kPrivilegedPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

bool isPrivileged()
{
    return ::geteuid() == 0 || ::geteuid() != ::getuid() || ::getegid() != ::getgid();
}

QByteArray ourPath()
{
    if (isPrivileged())
        return QByteArrayLiteral(kPrivilegedPath);
    if (const char *path = ::getenv("PATH"))
        return QByteArray(path);
    // What the C library would use for an unset PATH.
    char buffer[256];
    const size_t size = ::confstr(_CS_PATH, buffer, sizeof buffer);
    if (size > 0 && size <= sizeof buffer)
        return QByteArray(buffer);
    return QByteArrayLiteral("/bin:/usr/bin");
}

// Relative and empty PATH entries are skipped: they would depend on whichever
// directory the child or we happen to be in.
QByteArray searchPath(const QByteArray &name, const QByteArray &path)
{
    for (const QByteArray &dir : path.split(':')) {
        if (!dir.startsWith('/'))
            continue;
        QByteArray candidate = dir;
        if (!candidate.endsWith('/'))
            candidate += '/';
        candidate += name;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return {};
}

// KEY=value strings for the child, or a message about a bad variable name.
std::vector<QByteArray> childEnvironment(const ProcessRequest &request, QString *error)
{
    QMap<QByteArray, QByteArray> variables;
    if (!request.clearEnvironment) {
        for (char **entry = environ; entry && *entry; ++entry) {
            const QByteArray text(*entry);
            const qsizetype equals = text.indexOf('=');
            if (equals > 0)
                variables.insert(text.left(equals), text.mid(equals + 1));
        }
        // What the child looks up by name is found where we look (a request may still set its own).
        if (isPrivileged())
            variables.insert(QByteArrayLiteral("PATH"), QByteArrayLiteral(kPrivilegedPath));
    }
    for (auto it = request.environment.cbegin(); it != request.environment.cend(); ++it) {
        const QByteArray name = it.key().toLocal8Bit();
        if (name.isEmpty() || name.contains('=') || name.contains('\0')) {
            *error = QStringLiteral("Invalid environment variable name: \"%1\"").arg(it.key());
            return {};
        }
        if (it.value().isNull())
            variables.remove(name);
        else
            variables.insert(name, it.value().toLocal8Bit());
    }
    std::vector<QByteArray> result;
    result.reserve(size_t(variables.size()));
    for (auto it = variables.cbegin(); it != variables.cend(); ++it)
        result.push_back(it.key() + '=' + it.value());
    return result;
}

std::vector<char *> pointers(std::vector<QByteArray> &strings)
{
    std::vector<char *> result;
    result.reserve(strings.size() + 1);
    for (QByteArray &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

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

class SpawnSetup
{
public:
    SpawnSetup()
    {
        m_actionsOk = ::posix_spawn_file_actions_init(&actions) == 0;
        m_attributesOk = ::posix_spawnattr_init(&attributes) == 0;
    }
    ~SpawnSetup()
    {
        if (m_actionsOk)
            ::posix_spawn_file_actions_destroy(&actions);
        if (m_attributesOk)
            ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;
    bool ok() const { return m_actionsOk && m_attributesOk; }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

private:
    bool m_actionsOk = false;
    bool m_attributesOk = false;
};

ProcessResult failure(const QString &message)
{
    ProcessResult result;
    result.errorString = message;
    return result;
}

} // namespace

QString findExecutable(const QString &name)
{
    if (name.isEmpty())
        return {};
    const QByteArray encoded = QFile::encodeName(name);
    if (name.contains(QLatin1Char('/')))
        return isExecutableFile(encoded) ? name : QString();
    return QFile::decodeName(searchPath(encoded, ourPath()));
}

ProcessResult runProcess(const ProcessRequest &request)
{
    if (request.program.isEmpty())
        return failure(QStringLiteral("No program given"));

    QString environmentError;
    std::vector<QByteArray> environment = childEnvironment(request, &environmentError);
    if (!environmentError.isEmpty())
        return failure(environmentError);

    const QByteArray program = QFile::encodeName(request.program);
    QByteArray programPath = program;
    if (!request.program.contains(QLatin1Char('/'))) {
        QByteArray path;
        bool childSetsPath = false;
        for (const QByteArray &variable : environment) {
            if (variable.startsWith("PATH=")) {
                path = variable.mid(5);
                childSetsPath = true;
            }
        }
        programPath = searchPath(program, childSetsPath ? path : ourPath());
        if (programPath.isEmpty())
            return failure(QStringLiteral("No such program: %1").arg(request.program));
    }

    const QByteArray workingDirectory = QFile::encodeName(request.workingDirectory);
    const auto missingDirectory = [&] {
        return failure(QStringLiteral("No such working directory: %1").arg(request.workingDirectory));
    };
    if (!workingDirectory.isEmpty() && !isDirectory(workingDirectory))
        return missingDirectory();

    int error = 0;
    Fd stdinRead, stdinWrite, stdoutRead, stdoutWrite, stderrRead, stderrWrite;
    const bool feedInput = !request.standardInput.isEmpty();
    if ((feedInput && !makePipe(stdinRead, stdinWrite, &error)) || !makePipe(stdoutRead, stdoutWrite, &error)
        || !makePipe(stderrRead, stderrWrite, &error))
        return failure(QStringLiteral("Cannot start %1: %2").arg(request.program, errorText(error)));

    SpawnSetup setup;
    if (!setup.ok())
        return failure(QStringLiteral("Cannot start %1: out of memory").arg(request.program));
    int rc = 0;
    // The original pipe ends are close-on-exec; dup2 makes inheritable copies.
    if (feedInput)
        rc = rc ? rc : ::posix_spawn_file_actions_adddup2(&setup.actions, stdinRead.get(), STDIN_FILENO);
    else
        rc = rc ? rc : ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    rc = rc ? rc : ::posix_spawn_file_actions_adddup2(&setup.actions, stdoutWrite.get(), STDOUT_FILENO);
    rc = rc ? rc : ::posix_spawn_file_actions_adddup2(&setup.actions, stderrWrite.get(), STDERR_FILENO);
    if (request.workingDirectoryFd >= 0)
        rc = rc ? rc : ::posix_spawn_file_actions_addfchdir_np(&setup.actions, request.workingDirectoryFd);
    else if (!workingDirectory.isEmpty())
        rc = rc ? rc : ::posix_spawn_file_actions_addchdir_np(&setup.actions, workingDirectory.constData());

    // Its own process group, so a time-out reaches whatever it started too;
    // SIGPIPE back at its default and nothing blocked, whatever we do here.
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&mask);
    rc = rc ? rc : ::posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    rc = rc ? rc : ::posix_spawnattr_setpgroup(&setup.attributes, 0);
    rc = rc ? rc : ::posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    rc = rc ? rc : ::posix_spawnattr_setsigmask(&setup.attributes, &mask);
    if (rc != 0)
        return failure(QStringLiteral("Cannot start %1: %2").arg(request.program, errorText(rc)));

    std::vector<QByteArray> arguments;
    arguments.reserve(size_t(request.arguments.size() + request.argumentBytes.size()) + 1);
    arguments.push_back(program);
    if (!request.argumentBytes.isEmpty()) {
        arguments.insert(arguments.end(), request.argumentBytes.cbegin(), request.argumentBytes.cend());
    } else {
        for (const QString &argument : request.arguments)
            arguments.push_back(argument.toLocal8Bit());
    }
    std::vector<char *> argv = pointers(arguments);
    std::vector<char *> envp = pointers(environment);

    // The C library reports a failed chdir or exec here and reaps that child.
    pid_t pid = -1;
    rc = ::posix_spawn(&pid, programPath.constData(), &setup.actions, &setup.attributes, argv.data(), envp.data());
    if (rc != 0) {
        if (!workingDirectory.isEmpty() && !isDirectory(workingDirectory))
            return missingDirectory();
        if (rc == ENOENT)
            return failure(QStringLiteral("No such program: %1").arg(request.program));
        return failure(QStringLiteral("Cannot run %1: %2").arg(request.program, errorText(rc)));
    }

    ProcessResult result;
    result.started = true;
    stdinRead.reset();
    stdoutWrite.reset();
    stderrWrite.reset();
    if (stdinWrite.isOpen())
        setNonBlocking(stdinWrite.get());
    setNonBlocking(stdoutRead.get());
    setNonBlocking(stderrRead.get());
    // Readable when the child ends; without it (old kernels) we look now and then.
    Fd pidfd(openPidfd(pid));

    std::optional<SigpipeBlocker> sigpipeBlocker;
    if (stdinWrite.isOpen())
        sigpipeBlocker.emplace();

    const Clock::time_point started = Clock::now();
    // Clamped so that adding them to the clock cannot overflow.
    constexpr milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
    const bool limited = request.timeout.count() > 0;
    const Clock::time_point deadline = started + std::min(request.timeout, kLongest);
    const milliseconds killGrace = std::clamp(request.killGrace, milliseconds(0), kLongest);
    // SIGKILL time once SIGTERM went out (a plain time point: GCC misreads optional here).
    bool killPending = false;
    Clock::time_point killAt{};
    std::optional<Clock::time_point> drainUntil;
    bool reaped = false;
    bool stopAsked = false;
    qsizetype written = 0;

    for (;;) {
        if (!reaped && request.control) {
            const ProcessRequest::Control control = request.control();
            if (control == ProcessRequest::Control::giveUp) {
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
                result.givenUp = true;
                readAvailable(stdoutRead, result.standardOutput, request.onOutput, false, request.collectStandardOutput);
                readAvailable(stderrRead, result.standardError, request.onOutput, true);
                // A killed child is gone in a moment, unless the kernel holds it.
                for (int i = 0; i < 20 && !hasEnded(pid); ++i)
                    ::poll(nullptr, 0, 5);
                if (hasEnded(pid)) {
                    reap(pid, result);
                } else {
                    // Held inside the kernel until whatever it waits for
                    // answers: reaped by a thread of its own then.
                    std::thread([pid] {
                        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                        }
                    }).detach();
                }
                return result;
            }
            if (control == ProcessRequest::Control::stop && !stopAsked) {
                stopAsked = true;
                // Its answers so far are in; its next one meets a closed pipe.
                if (::kill(-pid, SIGTERM) != 0 && ::kill(pid, SIGTERM) != 0) {
                    readAvailable(stdoutRead, result.standardOutput, request.onOutput, false, request.collectStandardOutput);
                    stdoutRead.reset();
                }
            }
        }
        Clock::time_point now = Clock::now();
        if (!reaped && hasEnded(pid)) {
            // After a time-out, whatever else is in its group goes too.
            if (result.timedOut)
                ::kill(-pid, SIGKILL);
            reap(pid, result);
            reaped = true;
            pidfd.reset();
            stdinWrite.reset();
            drainUntil = now + kDrainGrace;
        }
        if (reaped && ((!stdoutRead.isOpen() && !stderrRead.isOpen()) || now >= *drainUntil))
            break;
        if (!reaped && limited && !result.timedOut && now >= deadline) {
            result.timedOut = true;
            ::kill(-pid, SIGTERM);
            killAt = now + killGrace;
            killPending = true;
        }
        if (!reaped && killPending && now >= killAt) {
            ::kill(-pid, SIGKILL);
            killPending = false;
        }

        pollfd fds[4];
        nfds_t count = 0;
        const auto watch = [&](const Fd &fd, short events) {
            if (fd.isOpen())
                fds[count++] = pollfd{fd.get(), events, 0};
        };
        watch(stdinWrite, POLLOUT);
        watch(stdoutRead, POLLIN);
        watch(stderrRead, POLLIN);
        watch(pidfd, POLLIN);

        int timeout = -1;
        const auto until = [&](Clock::time_point when) {
            const int ms = millisecondsUntil(when, now);
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        };
        if (!reaped && limited && !result.timedOut)
            until(deadline);
        if (!reaped && killPending)
            until(killAt);
        if (drainUntil)
            until(*drainUntil);
        if (!reaped && !pidfd.isOpen())
            until(now + milliseconds(10));
        if (!reaped && request.control)
            until(now + milliseconds(100));

        const int ready = ::poll(fds, count, timeout);
        if (ready < 0) {
            if (errno != EINTR)
                ::poll(nullptr, 0, 10);   // unexpected; do not spin
            continue;
        }
        if (stdinWrite.isOpen())
            writeAvailable(stdinWrite, request.standardInput, written);
        readAvailable(stdoutRead, result.standardOutput, request.onOutput, false, request.collectStandardOutput);
        readAvailable(stderrRead, result.standardError, request.onOutput, true);
    }
    return result;
}
