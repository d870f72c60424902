// Preloaded (LD_PRELOAD) into one of our tools by a test: right after the
// tool wrote its N-th "removed" answer, it is sent SIGKILL, SIGSTOP or SIGTERM
// (SWEEPBROOK_SIGNAL_AFTER_ANSWERS="N KILL", "N STOP" or "N TERM"). So a tool
// killed, held or stopped half-way has done exactly N items, however fast it
// answers and however late a watcher would look
// (testsupport::signalledAfterAnswers).

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <unistd.h>

namespace {

using Write = ssize_t (*)(int, const void *, size_t);

struct Plan
{
    long answers = 0;
    int signal = SIGKILL;
};

const Plan &plan()
{
    static const Plan planned = [] {
        Plan p;
        const char *value = std::getenv("SWEEPBROOK_SIGNAL_AFTER_ANSWERS");
        char *rest = nullptr;
        p.answers = value ? std::strtol(value, &rest, 10) : 0;
        if (rest && std::strstr(rest, "STOP"))
            p.signal = SIGSTOP;
        else if (rest && std::strstr(rest, "TERM"))
            p.signal = SIGTERM;
        return p;
    }();
    return planned;
}

} // namespace

extern "C" ssize_t write(int fd, const void *bytes, size_t count)
{
    static const auto real = reinterpret_cast<Write>(::dlsym(RTLD_NEXT, "write"));
    static long removed = 0;
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    const ssize_t written = real(fd, bytes, count);
    // The answers go to a descriptor of their own (standard error carries the rest).
    constexpr char answer[] = "removed ";
    if (fd > STDERR_FILENO && written > 0 && count >= sizeof answer - 1
        && std::memcmp(bytes, answer, sizeof answer - 1) == 0 && ++removed == plan().answers) {
        const int saved = errno;
        ::kill(::getpid(), plan().signal);
        errno = saved;
    }
    return written;
}
