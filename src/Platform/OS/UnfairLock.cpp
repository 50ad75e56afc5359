#include "Platform/OS/UnfairLock.h"

namespace os {

void UnfairLock::lockContended()
{
    // A brief spin catches the common case of a holder that is about to leave a short section.
    for (int spin = 0; spin < 64; ++spin) {
        std::uint32_t expected = unlocked;
        if (word.load(std::memory_order_relaxed) == unlocked &&
            word.compare_exchange_weak(expected, locked, std::memory_order_acquire,
                                       std::memory_order_relaxed))
            return;
#if defined(__x86_64__)
        __builtin_ia32_pause();
#endif
    }
    // Mark the word contended so that the holder's unlock wakes a sleeper.
    while (word.exchange(contended, std::memory_order_acquire) != unlocked)
        word.wait(contended, std::memory_order_relaxed);
}

} // namespace os
