#pragma once

// A disruption run from inside a call of this process's own on a volume: once
// armed, the N-th removal (unlinkat, as SafeRemove removes) or the N-th read
// of a folder's entries (getdents64, as the walk reads them) on one device
// runs the test's action before that call returns, on the thread that made
// it, so the work under test cannot go a step further before the disruption
// is done, however a loaded machine schedules its threads.
//
// It defines unlinkat and getdents64 for the whole binary: include it in one
// file of a binary only.

#include <atomic>
#include <functional>
#include <utility>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testsupport {

class VolumeCallHook
{
public:
    enum class Call { removal, listing };

    // Arms the hook: after the `count`-th call of the kind on `device`, `action` runs.
    static void arm(Call call, dev_t device, int count, std::function<void()> action)
    {
        s_call = call;
        s_device = device;
        s_action = std::move(action);
        s_left.store(count);
    }
    // Disarms it (the action, if it ran, has returned): a test's action holds
    // references into that test.
    static void disarm() { s_left.store(0); }

    // Called by every call of the kind that succeeded on `fd` (a folder).
    static void called(Call call, int fd)
    {
        struct stat st{};
        if (s_left.load() > 0 && call == s_call && ::fstat(fd, &st) == 0 && st.st_dev == s_device
            && s_left.fetch_sub(1) == 1)
            s_action();
    }

private:
    static inline Call s_call = Call::removal;
    static inline dev_t s_device = 0;
    static inline std::function<void()> s_action;
    static inline std::atomic<int> s_left{0};
};

} // namespace testsupport

extern "C" int unlinkat(int folder, const char *name, int flags) noexcept
{
    const int result = int(::syscall(SYS_unlinkat, folder, name, flags));
    if (result == 0)
        testsupport::VolumeCallHook::called(testsupport::VolumeCallHook::Call::removal, folder);
    return result;
}

extern "C" ssize_t getdents64(int folder, void *buffer, size_t length) noexcept
{
    const ssize_t result = ::syscall(SYS_getdents64, folder, buffer, length);
    if (result >= 0)
        testsupport::VolumeCallHook::called(testsupport::VolumeCallHook::Call::listing, folder);
    return result;
}
