#pragma once

// A test leaves nothing behind, whatever ends it: its own end, a crash,
// ctest killing it at its time limit (which kills the test's whole tree of
// processes with SIGKILL, so nothing in it can clean up), or ctest killed
// alone (which leaves its tests running): a test lives no longer than its
// binary and what started it.
//
//   the test's binary, as ctest started it: waits, passes signals on, and
//   │  exits as the test did once the guard is done
//   ├─ the guard: outside the tree (forked twice, a session of its own, none
//   │  of the test's output), it waits for the test to end, and ends it
//   │  should the binary or what started it go first
//   └─ init, PID 1 of a PID namespace of the test's own (as root): reaps
//      │  what is left to it and passes signals on
//      └─ the test, with a temporary folder of its own ($TMPDIR)
//
// When init ends, the kernel ends every process left in the namespace: the
// daemons the test started, FUSE daemons, children of children. The guard
// then detaches the loop devices that hold a file in the test's temporary
// folder, removes the folders the test made for mounts of its own
// (`guardRemovesIfMade`) and the trees it named (`guardRemoves`), the
// temporary folder and the test's folder of sockets (`socketPath`).
//
// SWEEPBROOK_TEST_UNGUARDED=1 runs the test in the process itself (for a
// debugger), with none of this.

#include "LoopDevice.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace testsupport {

// Removes the entry `name` of the folder open at `parent`, and everything
// below it, by handles: a tree deeper than PATH_MAX goes too. Protection
// flags (immutable, append-only) and modes that keep an entry are undone; no
// link is followed, and nothing on another device than the entry itself (a
// mount) is entered. False when something of it is left.
inline bool removeEntry(int parent, const char *name, dev_t device = 0)
{
    struct stat st{};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (device != 0 && st.st_dev != device)
        return false;
    const int fd = S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)
                       ? ::openat(parent, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                       : -1;
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) {
        flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (DIR *folder = fd >= 0 && S_ISDIR(st.st_mode) ? ::fdopendir(fd) : nullptr) {
        ::fchmod(fd, 0700);
        QList<QByteArray> names;
        while (const dirent *entry = ::readdir(folder)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names << entry->d_name;
        }
        for (const QByteArray &entry : std::as_const(names))
            removeEntry(fd, entry.constData(), st.st_dev);
        ::closedir(folder);
    } else if (fd >= 0) {
        ::close(fd);
    }
    return ::unlinkat(parent, name, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT;
}

namespace guard {

inline int lifeline = -1;              // the test's end of the pipe the guard reads
inline bool ownPidNamespace = false;   // the test runs in a PID namespace of its own
inline pid_t passSignalsTo = 0;

constexpr const char *kMadeMark = "trusted.sweepbrook-test-made";

// What was told before the guard ran (a static's constructor, before
// main): passed on as soon as it runs.
inline QByteArray &toldEarly()
{
    static QByteArray lines;
    return lines;
}

inline void tell(const char *what, const QByteArray &value)
{
    const QByteArray line = QByteArray(what) + ' ' + value + '\n';   // short: one write, never mixed with another's
    if (lifeline < 0)
        toldEarly() += line;
    else
        (void)!::write(lifeline, line.constData(), size_t(line.size()));
}

// Removes the tree at `path` by its bytes (removeEntry). False when
// something of it is left.
inline bool removeTree(const QByteArray &path)
{
    return removeEntry(AT_FDCWD, path.constData());
}

inline bool madeForTests(const QByteArray &folder)
{
    return ::getxattr(folder.constData(), kMadeMark, nullptr, 0) >= 0;
}

// Removes `folder`, open at `fd` (closed here), while it is empty, made for
// tests and held by no test alongside (none has a shared lock on it): a
// removal would take away their mounts on it in their own namespaces.
inline void removeIfUnheld(const QByteArray &folder, int fd)
{
    if (fd < 0)
        return;
    if (madeForTests(folder) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::rmdir(folder.constData());
    ::close(fd);
}

// Detaches every loop device that holds a file below `folder`, then waits
// (up to 30 s) until each has let go: a mount of the test's namespace that
// still holds one ends a moment after the namespace.
inline void detachLoopsBelow(const QByteArray &folder)
{
    const auto below = [&folder](const LoopBacking &, const QByteArray &path) { return path.startsWith(folder + '/'); };
    for (int tries = 0; tries < 300; ++tries) {
        bool held = false;
        for (const QString &node : loopDevices()) {
            if (below({}, backingPath(QDir(node).dirName()))) {
                held = true;
                detachLoopIf(node, below);
            }
        }
        if (!held)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// What the guard watches: the test's folders, its pipes, and through a
// pidfd of each, the test's binary and what started it (ctest).
struct Watched
{
    QByteArray folder;    // the test's temporary folder
    QByteArray sockets;   // its folder of sockets (socketPath)
    int fromTest = -1;
    int doneToOuter = -1;
    int binary = -1;
    int startedBy = -1;
};

// Reads what the test tells it until every copy of the test's end of the pipe
// has closed: the test has ended. Should the binary or what started it go
// first (ctest killed alone leaves its tests running, orphaned), the test's
// PID namespace is killed (its init), so the test ends as it would have with
// them: none of it waits on a terminal, a reader or a daemon that is gone.
inline QByteArray readUntilEnded(const Watched &watched, int &pidfd)
{
    QByteArray told;
    char buffer[4096];
    bool orphaned = false, killed = false;
    pollfd fds[3] = {{watched.fromTest, POLLIN, 0}, {watched.binary, POLLIN, 0}, {watched.startedBy, POLLIN, 0}};
    for (;;) {
        if (orphaned && !killed && pidfd >= 0)
            killed = ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0 || errno == ESRCH;
        if (::poll(fds, 3, -1) < 0)
            continue;   // EINTR
        for (int i = 1; i < 3; ++i) {
            if (fds[i].revents) {
                orphaned = true;
                fds[i].fd = -1;   // once is enough: a pidfd stays readable
            }
        }
        if (!fds[0].revents)
            continue;
        const ssize_t n = ::read(watched.fromTest, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return told;
        told.append(buffer, n);
        // The pid of init (or the test), told as soon as it runs: watched
        // from then on, so its end is known even once its number is free.
        const qsizetype line = told.startsWith("pid ") ? 0 : told.indexOf("\npid ");
        const qsizetype at = line > 0 ? line + 1 : line;
        if (pidfd < 0 && at >= 0 && told.indexOf('\n', at) > 0)
            pidfd = int(::syscall(SYS_pidfd_open, told.mid(at + 4, told.indexOf('\n', at) - at - 4).toInt(), 0));
    }
}

// The guard: reads what the test tells it until the test has ended, then
// clears what it left.
[[noreturn]] inline void watch(const Watched &watched)
{
    ::setsid();
    // Holding none of the test's output (ctest waits until every copy of it
    // is closed), nor anything else the binary was given.
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        ::dup2(null, fd);
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != watched.fromTest && fd != watched.doneToOuter && fd != watched.binary && fd != watched.startedBy)
            ::close(fd);
    }
    int pidfd = -1;
    const QByteArray told = readUntilEnded(watched, pidfd);
    // The descriptors close before the namespace's last processes are gone;
    // init has ended once they are.
    if (pidfd >= 0) {
        pollfd ended{pidfd, POLLIN, 0};
        (void)::poll(&ended, 1, 60000);
    }
    QList<QByteArray> trees{watched.folder, watched.sockets}, made, groups;
    for (const QByteArray &line : told.split('\n')) {
        if (line.startsWith("remove "))
            trees.prepend(line.mid(7));
        else if (line.startsWith("made "))
            made << line.mid(5);
        else if (line.startsWith("group "))
            groups << line.mid(6);
    }
    detachLoopsBelow(watched.folder);
    for (const QByteArray &path : std::as_const(made))
        removeIfUnheld(path, ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int tries = 0; tries < 100; ++tries) {
        bool left = false;
        for (const QByteArray &tree : std::as_const(trees))
            left |= !tree.isEmpty() && !removeTree(tree);
        if (!left)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));   // a mount of the namespace, still ending
    }
    // A cgroup goes once its last process has (a FUSE daemon may take a moment).
    for (const QByteArray &group : std::as_const(groups)) {
        for (int tries = 0; tries < 50 && ::rmdir(group.constData()) != 0 && errno == EBUSY; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::_exit(0);   // the outer's end of `doneToOuter` closes with it
}

inline void passSignal(int signal)
{
    if (passSignalsTo > 0)
        ::kill(passSignalsTo, signal);
}

inline void passSignalsOn(pid_t to)
{
    passSignalsTo = to;
    struct sigaction action{};
    action.sa_handler = passSignal;
    ::sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        ::sigaction(signal, &action, nullptr);
}

inline int exitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// PID 1 of the namespace: reaps whatever is left to it until the test ends,
// and ends as the test did (the kernel then ends the rest).
[[noreturn]] inline void runInit(pid_t test)
{
    passSignalsOn(test);
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(-1, &status, 0);
        if (ended == test)
            ::_exit(exitCodeOf(status));
        if (ended < 0 && errno != EINTR)
            ::_exit(127);
    }
}

// The binary as ctest started it: waits for init (or the test), then for
// the guard, and ends as the test did.
[[noreturn]] inline void runOuter(pid_t child, int guardDone)
{
    passSignalsOn(child);
    tell("pid", QByteArray::number(child));
    ::close(lifeline);
    lifeline = -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    pollfd done{guardDone, POLLIN, 0};
    while (::poll(&done, 1, 120000) < 0 && errno == EINTR) {
    }
    const int code = exitCodeOf(status);
    if (code > 128) {   // ended by a signal: end the same way, so ctest says which
        ::signal(code - 128, SIG_DFL);
        ::raise(code - 128);
    }
    ::_exit(code);
}

} // namespace guard

// Tells the guard to remove the tree at `path` once the test has ended.
inline void guardRemoves(const QByteArray &path)
{
    guard::tell("remove", path);
}

// Tells the guard to remove the cgroup `folder` the test made once the test
// has ended (a cgroup goes by rmdir alone, once no process is in it).
inline void guardRemovesGroup(const QByteArray &folder)
{
    guard::tell("group", folder);
}

// Marks `folder`, made by the test to mount on (and by none of the
// machine's own programs), and tells the guard to remove it once the test
// has ended, while it is empty and no test alongside mounts on it.
inline void guardRemovesIfMade(const QByteArray &folder)
{
    (void)::setxattr(folder.constData(), guard::kMadeMark, "1", 1, 0);
    guard::tell("made", folder);
}

// Holds `folder` for as long as the test mounts on it (a shared lock on it,
// through the descriptor returned; -1: it is not there): the last test that
// held a folder made for tests removes it (releaseFolder).
inline int holdFolder(const QByteArray &folder)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return -1;
        while (::flock(fd, LOCK_SH) != 0 && errno == EINTR) {
        }
        struct stat held, there;
        if (::fstat(fd, &held) == 0 && ::stat(folder.constData(), &there) == 0 && held.st_dev == there.st_dev
            && held.st_ino == there.st_ino)
            return fd;
        ::close(fd);   // removed meanwhile by the test that held it last
    }
    return -1;
}

// Lets go of a folder held with holdFolder (nothing mounted on it any more
// in this test), removing it when the test made it and no other holds it.
inline void releaseFolder(const QByteArray &folder, int fd)
{
    guard::removeIfUnheld(folder, fd);
}

// A path for a unix socket of the test's own, named after `name`: in a short
// folder of the test's own under /tmp (removed by the guard), never in
// $TMPDIR, whose name can leave no room in a socket address (108 bytes).
inline QString socketPath(const QString &name)
{
    static std::atomic<int> made{0};
    QString folder = qEnvironmentVariable("SWEEPBROOK_TEST_SOCKETS");
    if (folder.isEmpty()) {   // run unguarded
        static const QTemporaryDir own(QStringLiteral("/tmp/sweepbrook-sockets-XXXXXX"));
        folder = own.path();
    }
    return folder + QStringLiteral("/%1-%2-%3").arg(name).arg(::getpid()).arg(++made);   // programs it starts share it
}

namespace guard {

// The test's folders: its temporary folder in $TMPDIR, and the short one of
// its sockets in /tmp (that one in $TMPDIR too, should /tmp be closed to it).
inline bool makeFolders(Watched &watched, const char *argv0)
{
    const QByteArray tmp = qEnvironmentVariableIsEmpty("TMPDIR") ? QByteArray("/tmp") : qgetenv("TMPDIR");
    const QByteArray name(argv0);
    watched.folder = tmp + "/sweepbrook-test-" + name.mid(name.lastIndexOf('/') + 1) + "-XXXXXX";
    watched.sockets = "/tmp/sweepbrook-sockets-XXXXXX";
    if (!::mkdtemp(watched.folder.data()))
        return false;
    if (!::mkdtemp(watched.sockets.data()))
        watched.sockets = watched.folder + "/sockets";
    // As /tmp: the accounts the test runs things as make theirs there too.
    for (const QByteArray &folder : {watched.folder, watched.sockets}) {
        ::mkdir(folder.constData(), 0700);
        ::chmod(folder.constData(), 01777);
    }
    ::setenv("TMPDIR", watched.folder.constData(), 1);
    ::setenv("SWEEPBROOK_TEST_SOCKETS", watched.sockets.constData(), 1);
    return true;
}

} // namespace guard

// Runs the rest of main() as the test, guarded; only the test's process
// returns from here. Call it first, while the process has no other thread.
inline void runGuarded(const char *argv0)
{
    if (qEnvironmentVariableIntValue("SWEEPBROOK_TEST_UNGUARDED"))
        return;
    guard::Watched watched;
    const pid_t startedBy = ::getppid();
    watched.startedBy = int(::syscall(SYS_pidfd_open, startedBy, 0));
    if (::getppid() != startedBy)
        ::_exit(1);   // what started the test has gone already
    watched.binary = int(::syscall(SYS_pidfd_open, ::getpid(), 0));
    int life[2], done[2];
    if (!guard::makeFolders(watched, argv0) || ::pipe2(life, O_CLOEXEC) != 0 || ::pipe2(done, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "cannot guard the test (%s): it runs unguarded\n", std::strerror(errno));
        return;
    }
    watched.fromTest = life[0];
    watched.doneToOuter = done[1];
    const pid_t first = ::fork();
    if (first == 0) {
        if (::fork() == 0) {
            ::close(life[1]);
            ::close(done[0]);
            guard::watch(watched);
        }
        ::_exit(0);
    }
    ::waitpid(first, nullptr, 0);
    ::close(life[0]);
    ::close(done[1]);
    if (watched.startedBy >= 0)
        ::close(watched.startedBy);
    guard::lifeline = life[1];
    (void)!::write(guard::lifeline, guard::toldEarly().constData(), size_t(guard::toldEarly().size()));

    const pid_t outer = ::getpid();
    guard::ownPidNamespace = ::geteuid() == 0 && ::unshare(CLONE_NEWPID) == 0;
    const pid_t child = ::fork();
    if (child != 0)
        guard::runOuter(child, done[0]);
    ::close(done[0]);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);   // the binary killed alone: so is the test
    // Killed before that took hold: its pidfd (or, outside a PID namespace,
    // the parent's number) tells.
    pollfd binary{watched.binary, POLLIN, 0};
    if ((guard::ownPidNamespace ? ::poll(&binary, 1, 0) != 0 : ::getppid() != outer))
        ::_exit(1);
    if (watched.binary >= 0)
        ::close(watched.binary);
    if (!guard::ownPidNamespace)
        return;
    const pid_t test = ::fork();
    if (test != 0)
        guard::runInit(test);
}

} // namespace testsupport
