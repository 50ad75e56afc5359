#include "VLFSModule/Item.h"

#include "Platform/OS/Logger.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/Gate.h"
#include "Support/ManualExecutor.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using vl::AsyncReadWriteLock;
using vl::Item;
using Constraint = Item::LockStateConstraint;
using Upgradable = Item::UpgradableLockStateConstraint;
using Access = AsyncReadWriteLock::Mode;
using testing_support::Gate;
using testing_support::ManualExecutor;

std::shared_ptr<Item> makeItem(std::uint64_t fileID)
{
    return std::make_shared<Item>(Item::Identifier { fileID });
}

// The mode the running task's record holds for `item`, if any.
std::optional<Item::LockMode> recordedMode(const Item& item)
{
    const std::shared_ptr<const Item::LockRecord> record = Item::lockState.get();
    if (!record)
        return std::nullopt;
    const auto entry = record->find(item.fileID());
    return entry == record->end() ? std::nullopt : std::optional(entry->second);
}

// Whether `item`'s lock would be granted in `mode` now (writing: nobody holds it at all).
bool admits(const Item& item, Access mode = Access::writing)
{
    if (!item.lock->tryLock(mode))
        return false;
    item.lock->unlock();
    return true;
}

TEST(ItemLocking, AbsentItemsAreDroppedAnEmptyListLocksNothingAndTheLaterOccurrenceOfAnItemWins)
{
    auto item = makeItem(4);
    const int value
        = tasks::runBlocking(Item::withLocks(std::vector<Constraint> {}, [&]() -> tasks::Task<int> {
              EXPECT_FALSE(Item::lockState.get());
              EXPECT_TRUE(admits(*item));
              co_return 17;
          }));
    EXPECT_EQ(value, 17);

    tasks::runBlocking(Item::withLocks(
        std::vector { Constraint::writing(item), Constraint::reading(item) }, [&]() -> tasks::Task<void> {
            EXPECT_EQ(recordedMode(*item), Item::LockMode::reading(false));
            EXPECT_TRUE(admits(*item, Access::reading));
            EXPECT_FALSE(admits(*item));
            const std::shared_ptr<const Item::LockRecord> outer = Item::lockState.get();
            // Named lists (g++ 12, see Task.h).
            const std::vector absent { Constraint::reading(nullptr), Constraint::writing(nullptr) };
            co_await Item::withLocks(absent, [&]() -> tasks::Task<void> {
                EXPECT_EQ(Item::lockState.get(), outer); // the record is left as it was
                co_return;
            });
        }));
    tasks::runBlocking(Item::withLocks(
        std::vector { Constraint::reading(item), Constraint::writing(item) }, [&]() -> tasks::Task<void> {
            EXPECT_EQ(recordedMode(*item), Item::LockMode::writing());
            EXPECT_FALSE(admits(*item, Access::reading));
            co_return;
        }));
    EXPECT_TRUE(admits(*item));
}

// Two items, and operations on an executor the test steps, each noting its name once it runs.
class ItemLockingOrder : public testing::Test {
protected:
    tasks::Task<void> noting(std::vector<Constraint> constraints, std::string name)
    {
        co_await Item::withLocks(constraints, [&]() -> tasks::Task<void> {
            events.push_back(name);
            co_return;
        });
    }
    // Starts an operation locking `constraints` and runs the executor until nothing can go on.
    void start(std::vector<Constraint> constraints, std::string name)
    {
        tasks::spawn(noting(std::move(constraints), std::move(name)), executor);
        executor.runUntilIdle();
    }

    ManualExecutor executor;
    std::shared_ptr<Item> low = makeItem(1);
    std::shared_ptr<Item> high = makeItem(2);
    std::vector<std::string> events;
};

TEST_F(ItemLockingOrder, OperationsListingTheSameItemsInOppositeOrdersBothFinish)
{
    ASSERT_TRUE(low->lock->tryLock(Access::writing));
    start({ Constraint::writing(high), Constraint::writing(low) }, "high first");
    EXPECT_TRUE(admits(*high)) << "waiting for the lower item must not hold the higher one";
    start({ Constraint::writing(low), Constraint::writing(high) }, "low first");
    EXPECT_TRUE(events.empty());

    low->lock->unlock();
    executor.runUntilIdle();
    EXPECT_EQ(events, (std::vector<std::string> { "high first", "low first" }));
    EXPECT_TRUE(admits(*low));
    EXPECT_TRUE(admits(*high));
}

TEST_F(ItemLockingOrder, ReleasesInReverseOrderAlsoWhenTheOperationFails)
{
    Gate gate;
    auto holder = [&]() -> tasks::Task<void> {
        try {
            const std::vector both { Constraint::writing(low), Constraint::writing(high) };
            co_await Item::withLocks(both, [&]() -> tasks::Task<void> {
                co_await gate.passed();
                throw std::runtime_error("operation failed");
            });
        } catch (const std::runtime_error& error) {
            events.push_back(error.what());
        }
    };
    tasks::spawn(holder(), executor);
    executor.runUntilIdle();
    ASSERT_EQ(gate.waiterCount(), 1);
    start({ Constraint::writing(low) }, "low admitted");
    start({ Constraint::writing(high) }, "high admitted");
    EXPECT_TRUE(events.empty());

    gate.open();
    executor.runUntilIdle();
    EXPECT_EQ(events, (std::vector<std::string> { "operation failed", "high admitted", "low admitted" }));
}

TEST(ItemLocking, NestedCallsExtendTheRecordForTheirDurationAndChildTasksInheritIt)
{
    auto outerItem = makeItem(30);
    auto innerItem = makeItem(31);
    tasks::runBlocking(Item::withLocks(std::vector { Upgradable::reading(outerItem, true) },
        [&](Item::UpgradeFunction) -> tasks::Task<void> {
            const std::vector inner { Constraint::reading(outerItem), Constraint::writing(innerItem) };
            co_await Item::withLocks(inner, [&]() -> tasks::Task<void> {
                EXPECT_EQ(recordedMode(*outerItem), Item::LockMode::reading(true))
                    << "a held reading keeps the mode it was taken with";
                EXPECT_EQ(recordedMode(*innerItem), Item::LockMode::writing());
                const bool childSees = co_await tasks::spawn([&]() -> tasks::Task<bool> {
                    co_return recordedMode(*innerItem) == Item::LockMode::writing();
                }())
                                           .value();
                EXPECT_TRUE(childSees);
            });
            EXPECT_EQ(recordedMode(*innerItem), std::nullopt);
            EXPECT_EQ(recordedMode(*outerItem), Item::LockMode::reading(true));
        }));
}

TEST(ItemLocking, ConcurrentUpgradesRerunOneOperationHoldingAWriteLockFromTheStart)
{
    ManualExecutor executor;
    auto item = makeItem(12);
    Gate firstGate;
    Gate secondGate;
    std::vector<std::string> events;
    os::LogCapture capture;

    auto upgrader = [&](std::string name, Gate& gate) -> tasks::Task<void> {
        int attempt = 0;
        const std::vector constraints { Upgradable::reading(item, true) };
        co_await Item::withLocks(constraints, [&](Item::UpgradeFunction upgrade) -> tasks::Task<void> {
            ++attempt;
            events.push_back(name + " attempt " + std::to_string(attempt));
            EXPECT_EQ(recordedMode(*item), Item::LockMode::reading(true));
            if (attempt == 1)
                co_await gate.passed();
            else
                EXPECT_FALSE(admits(*item, Access::reading))
                    << "the retry holds the write lock from the start";
            co_await upgrade();
            EXPECT_FALSE(admits(*item, Access::reading));
            item->assertLocked(Item::LockMode::writing());
            events.push_back(name + " upgraded");
        });
    };

    tasks::spawn(upgrader("first", firstGate), executor);
    tasks::spawn(upgrader("second", secondGate), executor);
    executor.runUntilIdle();
    ASSERT_EQ(firstGate.waiterCount(), 1);
    ASSERT_EQ(secondGate.waiterCount(), 1);
    EXPECT_TRUE(admits(*item, Access::reading)) << "both hold the item for reading";

    firstGate.open();
    executor.runUntilIdle();
    EXPECT_EQ(events.size(), 2u) << "the first upgrade waits for the second reader";

    secondGate.open();
    executor.runUntilIdle();
    EXPECT_EQ(events,
        (std::vector<std::string> { "first attempt 1", "second attempt 1", "first upgraded",
            "second attempt 2", "second upgraded" }));
    EXPECT_EQ(capture.texts(os::LogLevel::error).size(), 2u)
        << "an upgraded item stays recorded as an upgradable read";
    EXPECT_TRUE(admits(*item));
}

TEST(ItemLocking, TryFormRunsOnlyWhenEveryLockIsFreeAndLeavesNothingHeldOtherwise)
{
    auto low = makeItem(1);
    auto high = makeItem(2);
    ASSERT_TRUE(high->lock->tryLock(Access::writing));
    tasks::runBlocking([&]() -> tasks::Task<void> {
        bool ran = false;
        const std::optional<int> refused
            = Item::tryWithLocks(std::vector { Constraint::writing(low), Constraint::reading(high) },
                [&] { return ran = true, 1; });
        EXPECT_FALSE(refused);
        EXPECT_FALSE(ran);
        EXPECT_TRUE(admits(*low)) << "the lock taken before the refusal is given back";
        high->lock->unlock();

        const std::optional<int> granted
            = Item::tryWithLocks(std::vector { Constraint::writing(low), Constraint::reading(high) }, [&] {
                  EXPECT_EQ(recordedMode(*low), Item::LockMode::writing());
                  EXPECT_EQ(recordedMode(*high), Item::LockMode::reading(false));
                  EXPECT_FALSE(admits(*low));
                  EXPECT_TRUE(admits(*high, Access::reading));
                  return 5;
              });
        EXPECT_EQ(granted, 5);
        EXPECT_FALSE(Item::lockState.get());
        EXPECT_TRUE(admits(*low));
        EXPECT_TRUE(admits(*high));

        EXPECT_THROW(Item::tryWithLocks(std::vector { Constraint::writing(low) },
                         []() -> bool { throw std::runtime_error("initializer failed"); }),
            std::runtime_error);
        EXPECT_TRUE(admits(*low));
        co_return;
    }());
}

} // namespace
