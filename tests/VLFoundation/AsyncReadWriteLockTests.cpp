#include "VLFoundation/AsyncReadWriteLock.h"

#include "Platform/Tasks/Spawn.h"
#include "Support/Gate.h"
#include "Support/ManualExecutor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Mode = vl::AsyncReadWriteLock::Mode;
using tasks::Task;
using testing_support::Gate;
using testing_support::ManualExecutor;

// Tasks that take one lock, driven step by step on a manual executor. Each participant records
// what it obtained and then waits at its gate until the test lets it go on.
class Scene {
public:
    ~Scene() { executor.runUntilIdle(); }

    Gate& hold(const std::string& name, Mode mode)
    {
        Gate& release = gates.emplace_back();
        start(holding(*this, name, mode, release));
        return release;
    }

    struct Upgrader {
        Gate& upgrade;
        Gate& release;
    };

    // Reads, upgrades when its first gate opens, unlocks when its second gate opens.
    Upgrader readThenUpgrade(const std::string& name)
    {
        Upgrader gates { this->gates.emplace_back(), this->gates.emplace_back() };
        start(upgrading(*this, name, gates));
        return gates;
    }

    // Events recorded since the last call, after every runnable job has run.
    std::vector<std::string> settle()
    {
        executor.runUntilIdle();
        return std::exchange(events, {});
    }

    vl::AsyncReadWriteLock lock;

private:
    void start(Task<void> participant) { tasks::spawn(std::move(participant), executor); }

    static std::string describe(const std::string& name, Mode mode)
    {
        return name + (mode == Mode::reading ? " reads" : " writes");
    }

    static Task<void> holding(Scene& scene, std::string name, Mode mode, Gate& release)
    {
        co_await scene.lock.lock(mode);
        scene.events.push_back(describe(name, mode));
        co_await release.passed();
        scene.lock.unlock();
    }

    static Task<void> upgrading(Scene& scene, std::string name, Upgrader gates)
    {
        co_await scene.lock.lock(Mode::reading);
        scene.events.push_back(describe(name, Mode::reading));
        co_await gates.upgrade.passed();
        bool upgraded = co_await scene.lock.upgrade();
        scene.events.push_back(upgraded ? describe(name, Mode::writing) : name + " refused");
        co_await gates.release.passed();
        scene.lock.unlock();
    }

    ManualExecutor executor;
    std::deque<Gate> gates;
    std::vector<std::string> events;
};

using Events = std::vector<std::string>;

TEST(AsyncReadWriteLock, FreedLockAdmitsTheLeadingReadersTogetherAndQueuedWritersAlone)
{
    Scene scene;
    Gate& firstWriter = scene.hold("W1", Mode::writing);
    EXPECT_EQ(scene.settle(), Events { "W1 writes" });
    Gate& firstReader = scene.hold("R1", Mode::reading);
    Gate& secondReader = scene.hold("R2", Mode::reading);
    Gate& secondWriter = scene.hold("W2", Mode::writing);
    Gate& thirdReader = scene.hold("R3", Mode::reading);
    EXPECT_EQ(scene.settle(), Events {});
    firstWriter.open();
    EXPECT_EQ(scene.settle(), (Events { "R1 reads", "R2 reads" }));
    secondReader.open();
    EXPECT_EQ(scene.settle(), Events {});
    firstReader.open();
    EXPECT_EQ(scene.settle(), Events { "W2 writes" });
    secondWriter.open();
    EXPECT_EQ(scene.settle(), Events { "R3 reads" });
    thirdReader.open();
    scene.settle();
}

TEST(AsyncReadWriteLock, SecondUpgraderIsRefusedAndTheFirstWritesOnceTheSecondUnlocks)
{
    Scene scene;
    Scene::Upgrader first = scene.readThenUpgrade("A");
    Scene::Upgrader second = scene.readThenUpgrade("B");
    EXPECT_EQ(scene.settle(), (Events { "A reads", "B reads" }));
    first.upgrade.open();
    EXPECT_EQ(scene.settle(), Events {});
    second.upgrade.open();
    EXPECT_EQ(scene.settle(), Events { "B refused" });
    // The refused reader still reads: a writer cannot get in.
    EXPECT_FALSE(scene.lock.tryLock(Mode::writing));
    second.release.open();
    EXPECT_EQ(scene.settle(), Events { "A writes" });
    EXPECT_FALSE(scene.lock.tryLock(Mode::reading));
    first.release.open();
    scene.settle();
}

TEST(AsyncReadWriteLock, PendingUpgradeIsServedBeforeQueuedContendersWhileNewReadersStillEnter)
{
    Scene scene;
    Scene::Upgrader upgrader = scene.readThenUpgrade("A");
    Gate& readerB = scene.hold("B", Mode::reading);
    EXPECT_EQ(scene.settle(), (Events { "A reads", "B reads" }));
    Gate& writer = scene.hold("W", Mode::writing);
    upgrader.upgrade.open();
    Gate& readerC = scene.hold("C", Mode::reading);
    EXPECT_EQ(scene.settle(), Events { "C reads" });
    readerB.open();
    EXPECT_EQ(scene.settle(), Events {});
    readerC.open();
    EXPECT_EQ(scene.settle(), Events { "A writes" });
    upgrader.release.open();
    EXPECT_EQ(scene.settle(), Events { "W writes" });
    writer.open();
    scene.settle();
}

TEST(AsyncReadWriteLock, DowngradeAdmitsOnlyTheReadersAtTheHeadOfTheQueue)
{
    Scene scene;
    ASSERT_TRUE(scene.lock.tryLock(Mode::writing));
    Gate& firstReader = scene.hold("R1", Mode::reading);
    Gate& writer = scene.hold("W1", Mode::writing);
    Gate& secondReader = scene.hold("R2", Mode::reading);
    EXPECT_EQ(scene.settle(), Events {});
    scene.lock.downgrade();
    EXPECT_EQ(scene.settle(), Events { "R1 reads" });
    // The downgraded holder reads now: another reader enters at once, a writer does not.
    EXPECT_TRUE(scene.lock.tryLock(Mode::reading));
    EXPECT_FALSE(scene.lock.tryLock(Mode::writing));
    scene.lock.unlock();
    scene.lock.unlock();
    EXPECT_EQ(scene.settle(), Events {});
    firstReader.open();
    EXPECT_EQ(scene.settle(), Events { "W1 writes" });
    writer.open();
    EXPECT_EQ(scene.settle(), Events { "R2 reads" });
    secondReader.open();
    scene.settle();
}

// Uncontended acquisition completes without suspending; the try forms never queue.
TEST(AsyncReadWriteLock, UncontendedAcquisitionNeverSuspendsAndTheTryFormsNeverQueue)
{
    vl::AsyncReadWriteLock lock;
    EXPECT_TRUE(lock.lock(Mode::writing).await_ready());
    lock.unlock();
    EXPECT_TRUE(lock.lock(Mode::reading).await_ready());
    EXPECT_TRUE(lock.tryLock(Mode::reading));
    EXPECT_FALSE(lock.tryLock(Mode::writing));
    EXPECT_FALSE(lock.tryUpgrade());
    lock.unlock();
    EXPECT_TRUE(lock.tryUpgrade());
    EXPECT_FALSE(lock.tryLock(Mode::reading));
    EXPECT_FALSE(lock.lock(Mode::writing).await_ready());
    lock.unlock();
    // Nothing was queued by the refused attempts: the free lock goes straight to a writer.
    EXPECT_TRUE(lock.tryLock(Mode::writing));
    lock.unlock();
}

TEST(AsyncReadWriteLockDeathTest, UnbalancedUseIsAnIllegalLockState)
{
    using Lock = vl::AsyncReadWriteLock;
    const std::vector<std::function<void(Lock&)>> misuses {
        [](Lock& lock) { lock.unlock(); },
        [](Lock& lock) {
            (void)lock.tryLock(Mode::writing);
            lock.unlock();
            lock.unlock();
        },
        [](Lock& lock) {
            (void)lock.tryLock(Mode::writing);
            (void)tasks::runBlocking(lock.upgrade());
        },
        [](Lock& lock) { (void)tasks::runBlocking(lock.upgrade()); },
        [](Lock& lock) {
            (void)lock.tryLock(Mode::writing);
            (void)lock.tryUpgrade();
        },
        [](Lock& lock) {
            (void)lock.tryLock(Mode::reading);
            lock.downgrade();
        },
        [](Lock& lock) { lock.downgrade(); },
    };
    for (const std::function<void(Lock&)>& misuse : misuses)
        EXPECT_DEATH(
            {
                Lock lock;
                misuse(lock);
            },
            "VLFoundation/AsyncReadWriteLock: Fatal error: Illegal lock state");
}

// Counts the holders each task believes it has; any overlap of a writer with anyone is a fault.
struct Occupancy {
    std::atomic<int> readers { 0 };
    std::atomic<int> writers { 0 };
    std::atomic<int> violations { 0 };
    std::atomic<int> upgrades { 0 };

    void enterReading()
    {
        readers.fetch_add(1);
        if (writers.load() != 0)
            violations.fetch_add(1);
    }
    void leaveReading() { readers.fetch_sub(1); }
    void enterWriting()
    {
        if (writers.fetch_add(1) != 0 || readers.load() != 0)
            violations.fetch_add(1);
    }
    void leaveWriting() { writers.fetch_sub(1); }
};

Task<void> exerciseLock(vl::AsyncReadWriteLock& lock, Occupancy& occupancy, unsigned seed, int rounds)
{
    std::mt19937 random(seed);
    for (int round = 0; round < rounds; ++round) {
        switch (random() % 4) {
        case 0:
            co_await lock.lock(Mode::writing);
            occupancy.enterWriting();
            occupancy.leaveWriting();
            if (random() % 2) {
                occupancy.enterReading();
                lock.downgrade();
                occupancy.leaveReading();
            }
            lock.unlock();
            break;
        case 1:
        case 2: {
            co_await lock.lock(Mode::reading);
            occupancy.enterReading();
            bool upgraded = false;
            if (random() % 2) {
                upgraded = random() % 2 ? co_await lock.upgrade() : lock.tryUpgrade();
                if (upgraded) {
                    occupancy.leaveReading();
                    occupancy.enterWriting();
                    occupancy.upgrades.fetch_add(1);
                }
            }
            if (upgraded)
                occupancy.leaveWriting();
            else
                occupancy.leaveReading();
            lock.unlock();
            break;
        }
        default:
            if (lock.tryLock(Mode::reading)) {
                occupancy.enterReading();
                occupancy.leaveReading();
                lock.unlock();
            }
        }
    }
}

TEST(AsyncReadWriteLock, RandomisedMixOfModesUpgradesAndDowngradesKeepsWritersAlone)
{
    vl::AsyncReadWriteLock lock;
    Occupancy occupancy;
    std::vector<tasks::TaskHandle<void>> participants;
    for (unsigned index = 0; index < 16; ++index)
        participants.push_back(tasks::spawn(exerciseLock(lock, occupancy, index + 1, 1500)));
    for (tasks::TaskHandle<void>& participant : participants)
        tasks::runBlocking(participant.value());
    EXPECT_EQ(occupancy.violations.load(), 0);
    EXPECT_EQ(occupancy.readers.load(), 0);
    EXPECT_EQ(occupancy.writers.load(), 0);
    EXPECT_GT(occupancy.upgrades.load(), 0);
    // Everything was given back: the lock is free.
    EXPECT_TRUE(lock.tryLock(Mode::writing));
    lock.unlock();
}

} // namespace
