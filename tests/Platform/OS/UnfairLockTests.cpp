#include "Platform/OS/UnfairLock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Locks and unlocks by hand, which the static lock analysis cannot follow through tryLock.
void checkTryLock() VL_NO_THREAD_SAFETY_ANALYSIS
{
    os::UnfairLock lock;
    ASSERT_TRUE(lock.tryLock());
    EXPECT_FALSE(lock.tryLock());
    lock.unlock();
    EXPECT_TRUE(lock.tryLock());
    lock.unlock();
}

TEST(UnfairLock, TryLockFailsWhileHeldAndSucceedsAfterUnlock)
{
    checkTryLock();
}

TEST(UnfairLock, ExcludesContendingThreads)
{
    os::UnfairLock lock;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread)
        threads.emplace_back([&] {
            for (int index = 0; index < 20000; ++index) {
                os::UnfairLockGuard guard(lock);
                long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
}

} // namespace
