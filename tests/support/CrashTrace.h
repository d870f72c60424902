#pragma once

// What a test that crashes prints: the signal, the test function it came in,
// and every thread's stack, as Qt Test's own crash handler does, but with an
// end. Qt's waits without bound for the debugger it starts, and a debugger
// attaching waits for every thread of the test to stop: one inside a call to
// a FUSE daemon the test stopped never does. So the daemons the test stopped
// are continued first, and the debugger gets a minute.
//
// Qt Test's handler is switched off (-nocrashhandler, and
// QTEST_DISABLE_STACK_DUMP for the trace its function time limit takes).

#include "TestGuard.h"

#include <QTest>

#include <array>
#include <csignal>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace testsupport::crash {

inline constexpr std::array kFatalSignals{SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGILL, SIGBUS, SIGFPE, SIGSEGV, SIGPIPE, SIGTERM};
inline constexpr int kTraceSeconds = 60;

inline void say(const char *text)
{
    if (text)
        (void)!::write(STDERR_FILENO, text, std::strlen(text));
}

// `value` in decimal, into `out` (at least 12 bytes), with no allocation.
inline const char *decimal(long value, char *out)
{
    char digits[12];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0 && n < 11);
    for (int i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
    return out;
}

// Continues every stopped process of the test's PID namespace (its /proc):
// the daemons the test stopped, whose calls a debugger would wait on. Only
// in a namespace of the test's own: elsewhere /proc is the machine's.
inline void continueStopped()
{
    if (!guard::ownPidNamespace)
        return;
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    alignas(8) static char entries[8192];
    for (long got; proc >= 0 && (got = ::syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(entries + at);
            at += entry->d_reclen;
            char *end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 1 || *end != '\0' || pid == ::getpid())
                continue;
            char path[40] = "/proc/", number[12], stat[512];
            std::strcat(std::strcat(path, decimal(pid, number)), "/stat");
            const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
            const ssize_t n = fd >= 0 ? ::read(fd, stat, sizeof stat - 1) : -1;
            if (fd >= 0)
                ::close(fd);
            if (n <= 0)
                continue;
            stat[n] = '\0';
            const char *name = std::strrchr(stat, ')');   // "pid (name) state …"
            if (name && name[1] == ' ' && name[2] == 'T')
                ::kill(pid_t(pid), SIGCONT);
        }
    }
    if (proc >= 0)
        ::close(proc);
}

// Every thread's stack, by gdb (where installed), given kTraceSeconds.
inline void traceStacks()
{
    char pid[12];
    decimal(::getpid(), pid);
    const pid_t debugger = ::fork();
    if (debugger == 0) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        ::execlp("gdb", "gdb", "--nx", "--batch", "-ex", "thread apply all bt", "--pid", pid, nullptr);
        ::_exit(127);
    }
    if (debugger < 0)
        return;
    ::prctl(PR_SET_PTRACER, debugger);   // a child may trace its parent only when told
    for (int tenths = 0; tenths < kTraceSeconds * 10; ++tenths) {
        if (::waitpid(debugger, nullptr, WNOHANG) != 0)
            return;
        const timespec pause{0, 100'000'000};
        ::nanosleep(&pause, nullptr);
    }
    say("=== the debugger did not end within a minute: stopped ===\n");
    ::kill(debugger, SIGKILL);
    ::waitpid(debugger, nullptr, 0);
}

inline void onFatalSignal(int signal)
{
    static volatile sig_atomic_t handling = 0;
    if (handling == 0) {   // not again for the abort of the qFatal below
        handling = 1;
        char number[12];
        say("Received signal ");
        say(decimal(signal, number));
        say(" in ");
        say(QTest::currentTestFunction());
        if (const char *tag = QTest::currentDataTag()) {
            say("(");
            say(tag);
            say(")");
        }
        say("\n");
        if (signal != SIGINT) {
            continueStopped();
            say("=== Stack trace ===\n");
            traceStacks();
            say("=== End of stack trace ===\n");
        }
        // As Qt's handler ends: the test's log says which function failed, and totals.
        qFatal("Received signal %d", signal);
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Installs the handler, in place of Qt's: call it first, and hand qExec
// the arguments `withoutQtHandler` makes.
inline void install()
{
    ::setenv("QTEST_DISABLE_STACK_DUMP", "1", 1);
    struct sigaction action{};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_NODEFER;   // the abort that ends it reaches it again
    ::sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
        ::sigaction(signal, &action, nullptr);
}

// The test's arguments with Qt's crash handler switched off, ending in null.
inline std::vector<char *> withoutQtHandler(int argc, char **argv)
{
    static char noCrashHandler[] = "-nocrashhandler";
    std::vector<char *> arguments(argv, argv + argc);
    arguments.insert(arguments.begin() + (argc > 0 ? 1 : 0), noCrashHandler);
    arguments.push_back(nullptr);
    return arguments;
}

} // namespace testsupport::crash
