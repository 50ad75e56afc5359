// Many tasks lock random subsets of a few items in random modes; every holder checks on entry and
// exit that no writer overlaps another holder of the same item.
#include "VLFSModule/Item.h"

#include "Platform/Tasks/Spawn.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>

namespace {

using vl::Item;
using Upgradable = Item::UpgradableLockStateConstraint;

constexpr int itemCount = 4;
constexpr int taskCount = 16;
constexpr int iterationsPerTask = 300;

struct Occupancy {
    std::atomic<int> readers { 0 };
    std::atomic<int> writers { 0 };
};

struct Shared {
    std::array<std::shared_ptr<Item>, itemCount> items;
    std::array<Occupancy, itemCount> occupancy;
    std::atomic<int> violations { 0 };
    std::atomic<int> completedOperations { 0 };

    void enterReading(int index)
    {
        occupancy[index].readers.fetch_add(1);
        if (occupancy[index].writers.load() != 0)
            violations.fetch_add(1);
    }
    void leaveReading(int index) { occupancy[index].readers.fetch_sub(1); }
    void enterWriting(int index)
    {
        if (occupancy[index].writers.fetch_add(1) != 0 || occupancy[index].readers.load() != 0)
            violations.fetch_add(1);
    }
    void leaveWriting(int index) { occupancy[index].writers.fetch_sub(1); }
};

enum class Wanted { none, reading, upgradable, writing };

tasks::Task<void> nothing()
{
    co_return;
}

tasks::Task<void> worker(Shared& shared, unsigned seed)
{
    std::mt19937 random(seed);
    for (int iteration = 0; iteration < iterationsPerTask; ++iteration) {
        std::array<Wanted, itemCount> wanted {};
        std::vector<Upgradable> constraints;
        // An upgrade waits for the item's other readers while its operation holds everything else
        // it locked, outside the ascending order; so, as in the volume, an operation that may
        // upgrade locks that one item only.
        const bool upgrading = random() % 4 == 0;
        const int upgradedIndex = static_cast<int>(random() % itemCount);
        for (int index = 0; index < itemCount; ++index) {
            if (upgrading)
                wanted[index] = index == upgradedIndex ? Wanted::upgradable : Wanted::none;
            else {
                const unsigned draw = random() % 3;
                wanted[index] = draw == 0 ? Wanted::none : draw == 1 ? Wanted::reading : Wanted::writing;
            }
            switch (wanted[index]) {
            case Wanted::none:
                break;
            case Wanted::reading:
                constraints.push_back(Upgradable::reading(shared.items[index], false));
                break;
            case Wanted::upgradable:
                constraints.push_back(Upgradable::reading(shared.items[index], true));
                break;
            case Wanted::writing:
                constraints.push_back(Upgradable::writing(shared.items[index]));
                break;
            }
        }
        std::shuffle(constraints.begin(), constraints.end(), random);
        const bool callsUpgrade = upgrading && random() % 2 == 0;
        const bool suspendsWhileHolding = random() % 2 == 0;

        int attempt = 0;
        co_await Item::withLocks(constraints, [&](Item::UpgradeFunction upgrade) -> tasks::Task<void> {
            // A retried operation holds its upgradable items for writing from the start.
            ++attempt;
            std::array<Wanted, itemCount> held = wanted;
            for (int index = 0; index < itemCount; ++index)
                if (held[index] == Wanted::upgradable && attempt == 2)
                    held[index] = Wanted::writing;
            auto enterAll = [&] {
                for (int index = 0; index < itemCount; ++index)
                    if (held[index] == Wanted::writing)
                        shared.enterWriting(index);
                    else if (held[index] != Wanted::none)
                        shared.enterReading(index);
            };
            auto leaveAll = [&] {
                for (int index = 0; index < itemCount; ++index)
                    if (held[index] == Wanted::writing)
                        shared.leaveWriting(index);
                    else if (held[index] != Wanted::none)
                        shared.leaveReading(index);
            };
            enterAll();
            // Waiting on another task while holding the locks lets other workers run in between.
            if (suspendsWhileHolding)
                co_await tasks::spawn(nothing()).value();
            if (callsUpgrade) {
                // While an upgrade is pending the item is counted neither as read nor as written.
                leaveAll();
                for (Wanted& mode : held)
                    if (mode == Wanted::upgradable)
                        mode = Wanted::none;
                enterAll();
                std::exception_ptr refused;
                try {
                    co_await upgrade();
                } catch (...) {
                    refused = std::current_exception();
                }
                leaveAll();
                if (refused)
                    std::rethrow_exception(refused);
                for (int index = 0; index < itemCount; ++index)
                    if (wanted[index] == Wanted::upgradable)
                        held[index] = Wanted::writing;
                enterAll();
            }
            leaveAll();
            shared.completedOperations.fetch_add(1);
        });
    }
}

TEST(ItemLockingStress, RandomSubsetsInRandomModesNeverOverlapAWriterAndAllFinish)
{
    Shared shared;
    for (int index = 0; index < itemCount; ++index)
        shared.items[index]
            = std::make_shared<Item>(Item::Identifier { static_cast<std::uint64_t>(100 - index) });

    tasks::runBlocking([&]() -> tasks::Task<void> {
        std::vector<tasks::TaskHandle<void>> handles;
        for (int task = 0; task < taskCount; ++task)
            handles.push_back(tasks::spawn(worker(shared, 7919u * (task + 1))));
        for (tasks::TaskHandle<void>& handle : handles)
            co_await handle.value();
    }());

    EXPECT_EQ(shared.violations.load(), 0);
    EXPECT_EQ(shared.completedOperations.load(), taskCount * iterationsPerTask);
    for (const std::shared_ptr<Item>& item : shared.items) {
        EXPECT_TRUE(item->lock->tryLock(vl::AsyncReadWriteLock::Mode::writing)) << "every lock was released";
        item->lock->unlock();
    }
}

} // namespace
