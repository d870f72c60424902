// Preloaded (LD_PRELOAD) into one of our tools by a test: the tool is killed
// (SIGKILL) right after it wrote its N-th "removed" answer, N being
// SWEEPBROOK_KILLED_AFTER_ANSWERS. So a tool killed half-way has done exactly
// N items, however fast it answers and however late a watcher would look.

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <unistd.h>

namespace {

using Write = ssize_t (*)(int, const void *, size_t);

long limit()
{
    static const long answers = [] {
        const char *value = std::getenv("SWEEPBROOK_KILLED_AFTER_ANSWERS");
        return value ? std::strtol(value, nullptr, 10) : 0L;
    }();
    return answers;
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
        && std::memcmp(bytes, answer, sizeof answer - 1) == 0 && ++removed == limit())
        ::kill(::getpid(), SIGKILL);
    return written;
}
