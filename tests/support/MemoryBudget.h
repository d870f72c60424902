#pragma once

// Memory budgets of tests, also in a build with a sanitizer. AddressSanitizer
// and ThreadSanitizer keep memory of their own beside what the code holds:
// shadow memory, red zones and, under AddressSanitizer, a quarantine of freed
// blocks (256 MB by default), so a process's resident peak grows with all it
// ever allocated, kept or not. Under them a budget of resident memory is
// scaled (`residentBudget`), and the peak of what the heap holds is read from
// the sanitizer's allocator (`HeapPeak`) rather than from the kernel.

#include <QtGlobal>

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SWEEPBROOK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SWEEPBROOK_SANITIZED 1
#endif
#endif

#ifdef SWEEPBROOK_SANITIZED
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void *, size_t),
                                              void (*onFree)(const volatile void *));
size_t __sanitizer_get_allocated_size(const volatile void *block);
}
#endif

namespace testsupport::memory {

#ifdef SWEEPBROOK_SANITIZED
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// A budget of resident memory, in any unit, for a process built as this test
// is. The administrator tool refusing a 16 MB request peaks at 31 MB, and
// under AddressSanitizer at 151 MB (43 MB of it without the quarantine).
constexpr qint64 residentBudget(qint64 budget)
{
    return sanitized ? budget * 3 : budget;
}

// The peak of the bytes the heap holds over the object's life, above what it
// held when made: read through the sanitizer's allocator hooks (blocks
// waiting in the quarantine are not held). Without a sanitizer: -1 (the
// kernel's resident peak tells then).
class HeapPeak
{
public:
    HeapPeak()
    {
#ifdef SWEEPBROOK_SANITIZED
        static const bool hooked = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
        m_start = hooked ? live().load() : -1;
        peak().store(m_start);
#endif
    }

    qint64 growth() const { return m_start < 0 ? -1 : peak().load() - m_start; }

private:
    static std::atomic<qint64> &live()
    {
        static std::atomic<qint64> bytes{0};
        return bytes;
    }
    static std::atomic<qint64> &peak()
    {
        static std::atomic<qint64> bytes{0};
        return bytes;
    }
#ifdef SWEEPBROOK_SANITIZED
    static void onMalloc(const volatile void *, size_t size)
    {
        const qint64 now = live().fetch_add(qint64(size)) + qint64(size);
        qint64 seen = peak().load();
        while (now > seen && !peak().compare_exchange_weak(seen, now)) {
        }
    }
    static void onFree(const volatile void *block)
    {
        if (block)
            live().fetch_sub(qint64(__sanitizer_get_allocated_size(block)));
    }
#endif

    qint64 m_start = -1;
};

} // namespace testsupport::memory
