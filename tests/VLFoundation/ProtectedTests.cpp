#include "VLFoundation/Protected.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace {

TEST(Protected, FailingBodyKeepsItsChangesAndReleasesTheLockAndUnwrapMovesTheValueOut)
{
    vl::Protected<std::vector<int>> cell(std::vector<int> { 1 });
    EXPECT_THROW(cell.withLock([](std::vector<int>& value) {
        value.push_back(2);
        throw std::runtime_error("body failed");
    }),
        std::runtime_error);
    // Unwrapping takes the lock too, and moves the value out.
    EXPECT_EQ(cell.unwrap(), (std::vector<int> { 1, 2 }));
}

TEST(Protected, SerialisesBodiesFromManyThreads)
{
    vl::Protected<long> counter(0);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread)
        threads.emplace_back([&] {
            for (int index = 0; index < 10000; ++index)
                counter.withLock([](long& value) { ++value; });
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter.withLock([](long& value) { return value; }), 40000);
}

TEST(ProtectedDeathTest, UseAfterUnwrapIsFatal)
{
    EXPECT_DEATH(
        {
            vl::Protected<int> cell(1);
            (void)cell.unwrap();
            cell.withLock([](int&) {});
        },
        "VLFoundation/Protected: Fatal error: Protected value has been unwrapped");
    EXPECT_DEATH(
        {
            vl::Protected<int> cell(vl::Protected<int>::Unsafe { 1 });
            (void)cell.unwrap();
            (void)cell.unwrap();
        },
        "Protected value has been unwrapped");
}

} // namespace
