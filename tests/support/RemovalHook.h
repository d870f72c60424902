#pragma once

// A disruption run from inside a removal of this process's own: once armed,
// the N-th file or folder removed (unlinkat, as SafeRemove removes) on one
// device runs the test's action before that removal returns, on the thread
// that removed it, so the work under test cannot remove anything more before
// the disruption is done, however a loaded machine schedules its threads.
//
// It defines unlinkat for the whole binary: include it in one file of a
// binary only.

#include <atomic>
#include <functional>
#include <utility>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testsupport {

class RemovalHook
{
public:
    // Arms the hook: after the `removals`-th removal on `device`, `action` runs.
    static void arm(dev_t device, int removals, std::function<void()> action)
    {
        s_device = device;
        s_action = std::move(action);
        s_left.store(removals);
    }
    // Disarms it (the action, if it ran, has returned): a test's action holds
    // references into that test.
    static void disarm() { s_left.store(0); }

    // Called by every removal that succeeded in `folder`.
    static void removed(int folder)
    {
        struct stat st{};
        if (s_left.load() > 0 && ::fstat(folder, &st) == 0 && st.st_dev == s_device && s_left.fetch_sub(1) == 1)
            s_action();
    }

private:
    static inline dev_t s_device = 0;
    static inline std::function<void()> s_action;
    static inline std::atomic<int> s_left{0};
};

} // namespace testsupport

extern "C" int unlinkat(int folder, const char *name, int flags) noexcept
{
    const int result = int(::syscall(SYS_unlinkat, folder, name, flags));
    if (result == 0)
        testsupport::RemovalHook::removed(folder);
    return result;
}
