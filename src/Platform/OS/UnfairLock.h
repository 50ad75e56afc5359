// A small non-recursive mutual-exclusion lock: the stand-in for os_unfair_lock.
//
// Invariants: the word holds 0 (unlocked), 1 (locked, no waiters) or 2 (locked, maybe waiters).
// Only the thread that locked it unlocks it. No fairness is promised: a thread that unlocks and
// locks again at once may win over a waiter. The uncontended paths are one atomic operation each
// and never allocate or enter the kernel.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__clang__)
#define VL_CAPABILITY(x) __attribute__((capability(x)))
#define VL_GUARDED_BY(x) __attribute__((guarded_by(x)))
#define VL_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define VL_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#define VL_TRY_ACQUIRE(...) __attribute__((try_acquire_capability(__VA_ARGS__)))
#define VL_SCOPED_CAPABILITY __attribute__((scoped_lockable))
#define VL_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#define VL_NO_THREAD_SAFETY_ANALYSIS __attribute__((no_thread_safety_analysis))
#else
#define VL_CAPABILITY(x)
#define VL_GUARDED_BY(x)
#define VL_ACQUIRE(...)
#define VL_RELEASE(...)
#define VL_TRY_ACQUIRE(...)
#define VL_SCOPED_CAPABILITY
#define VL_REQUIRES(...)
#define VL_NO_THREAD_SAFETY_ANALYSIS
#endif

namespace os {

class VL_CAPABILITY("mutex") UnfairLock {
public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    void lock() VL_ACQUIRE()
    {
        std::uint32_t expected = unlocked;
        if (word.compare_exchange_strong(
                expected, locked, std::memory_order_acquire, std::memory_order_relaxed)) [[likely]]
            return;
        lockContended();
    }

    bool tryLock() VL_TRY_ACQUIRE(true)
    {
        std::uint32_t expected = unlocked;
        return word.compare_exchange_strong(
            expected, locked, std::memory_order_acquire, std::memory_order_relaxed);
    }

    void unlock() VL_RELEASE()
    {
        if (word.exchange(unlocked, std::memory_order_release) == contended) [[unlikely]]
            wakeWaiter();
    }

private:
    static constexpr std::uint32_t unlocked = 0;
    static constexpr std::uint32_t locked = 1;
    static constexpr std::uint32_t contended = 2;

    void lockContended();
    void wakeWaiter();

    std::atomic<std::uint32_t> word { unlocked };
};

// Holds an UnfairLock for the lifetime of a scope.
class VL_SCOPED_CAPABILITY UnfairLockGuard {
public:
    explicit UnfairLockGuard(UnfairLock& lock) VL_ACQUIRE(lock)
        : held(lock)
    {
        held.lock();
    }
    ~UnfairLockGuard() VL_RELEASE() { held.unlock(); }
    UnfairLockGuard(const UnfairLockGuard&) = delete;
    UnfairLockGuard& operator=(const UnfairLockGuard&) = delete;

private:
    UnfairLock& held;
};

} // namespace os
