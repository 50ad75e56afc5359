#include "Platform/OS/UnfairLock.h"

#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace os {
namespace {

// The futex system call directly: the standard library's atomic wait in this toolchain can lose
// wake-ups, and the lock must never do that.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr,
        nullptr, 0);
}

void futexWakeOne(std::atomic<std::uint32_t>& word)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

} // namespace

void UnfairLock::lockContended()
{
    // A brief spin catches the common case of a holder that is about to leave a short section.
    for (int spin = 0; spin < 64; ++spin) {
        std::uint32_t expected = unlocked;
        if (word.load(std::memory_order_relaxed) == unlocked
            && word.compare_exchange_weak(
                expected, locked, std::memory_order_acquire, std::memory_order_relaxed))
            return;
#if defined(__x86_64__)
        __builtin_ia32_pause();
#endif
    }
    // Mark the word contended so that the holder's unlock wakes a sleeper.
    while (word.exchange(contended, std::memory_order_acquire) != unlocked)
        futexWait(word, contended);
}

void UnfairLock::wakeWaiter()
{
    futexWakeOne(word);
}

} // namespace os
