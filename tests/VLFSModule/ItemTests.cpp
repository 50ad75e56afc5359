#include "VLFSModule/Item.h"
#include "VLFSModule/ItemFileHandle.h"

#include "Platform/Tasks/Spawn.h"
#include "VLFoundation/BuildConfig.h"

#include "Platform/OS/Logger.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>

namespace {

using fskit::FSItemAttribute;
using vl::Item;

constexpr Item::Identifier identifier(std::uint64_t value)
{
    return Item::Identifier { value };
}

bool notEarlier(timespec a, timespec b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

const char* const unlockedMessage = "State of item %s accessed without item being locked";

TEST(Item, ItemsWithTheSameIdentifierAreEqualAndHashAlike)
{
    Item first(identifier(42));
    Item second(identifier(42));
    Item other(identifier(43));
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    EXPECT_EQ(std::hash<Item>()(first), std::hash<Item>()(second));
    EXPECT_EQ(std::hash<Item>()(first), std::hash<Item::Identifier>()(identifier(42)));
}

TEST(Item, NewItemPresetsItsTimesButReportsNoValidAttribute)
{
    timespec before {};
    ::clock_gettime(CLOCK_REALTIME, &before);
    Item item(identifier(9));
    timespec after {};
    ::clock_gettime(CLOCK_REALTIME, &after);

    const fskit::FSItemAttributes& attributes = *item.attributes;
    EXPECT_EQ(attributes.fileID(), identifier(9));
    EXPECT_EQ(attributes.size(), 0u);
    EXPECT_EQ(attributes.flags(), 0u);
    const timespec created = attributes.birthTime();
    EXPECT_TRUE(notEarlier(created, before));
    EXPECT_TRUE(notEarlier(after, created));
    for (const timespec time : { attributes.addedTime(), attributes.changeTime(), attributes.modifyTime() }) {
        EXPECT_EQ(time.tv_sec, created.tv_sec);
        EXPECT_EQ(time.tv_nsec, created.tv_nsec);
    }
    for (unsigned bit = 0; bit < 18; ++bit)
        EXPECT_FALSE(attributes.isValid(FSItemAttribute(std::uint64_t { 1 } << bit)))
            << "attribute bit " << bit;

    EXPECT_EQ(item.state, Item::State::active);
    EXPECT_FALSE(item.debugName());
    EXPECT_FALSE(item.fh);
    EXPECT_EQ(item.fileID(), identifier(9));
    EXPECT_TRUE(item.lock->tryLock(vl::AsyncReadWriteLock::Mode::writing)) << "a new item's lock is free";
    item.lock->unlock();
}

TEST(Item, DescriptionNamesIdentifierAndDebugName)
{
    Item item(identifier(5));
    EXPECT_EQ(item.description(), "Item(5, <n/a>)");
    item.setDebugName(fskit::FSFileName("notes.txt"));
    EXPECT_EQ(item.description(), "Item(5, \"notes.txt\")");
}

TEST(Item, FileHandleStartsWithOneOpen)
{
    Item::FileHandle handle(
        fskit::FSVolumeOpenModes::read | fskit::FSVolumeOpenModes::write, 0x1234, 0x202, 7);
    EXPECT_EQ(handle.modes.rawValue, 3u);
    EXPECT_EQ(handle.fileDescriptor, 0x1234u);
    EXPECT_EQ(handle.flags, 0x202u);
    EXPECT_EQ(handle.returnedFlags, 7u);
    EXPECT_EQ(handle.count, 1);
}

// Runs `mode` checks on an item held in `held` and returns how many of them logged.
std::vector<std::string> assertionsLogged(
    Item::UpgradableLockStateConstraint (*constraint)(std::shared_ptr<Item>),
    const std::vector<Item::LockMode>& checkedModes)
{
    auto item = std::make_shared<Item>(identifier(3));
    os::LogCapture capture;
    tasks::runBlocking(
        Item::withLocks(std::vector { constraint(item) }, [&](Item::UpgradeFunction) -> tasks::Task<void> {
            for (const Item::LockMode mode : checkedModes)
                item->assertLocked(mode);
            co_return;
        }));
    return capture.texts(os::LogLevel::error);
}

Item::UpgradableLockStateConstraint writingConstraint(std::shared_ptr<Item> item)
{
    return Item::UpgradableLockStateConstraint::writing(std::move(item));
}
Item::UpgradableLockStateConstraint upgradableConstraint(std::shared_ptr<Item> item)
{
    return Item::UpgradableLockStateConstraint::reading(std::move(item), true);
}
Item::UpgradableLockStateConstraint plainReadConstraint(std::shared_ptr<Item> item)
{
    return Item::UpgradableLockStateConstraint::reading(std::move(item), false);
}

TEST(ItemAssertLocked, WriteHoldSatisfiesEveryMode)
{
    EXPECT_TRUE(assertionsLogged(writingConstraint,
        { Item::LockMode::writing(), Item::LockMode::reading(false), Item::LockMode::reading(true) })
                    .empty());
}

TEST(ItemAssertLocked, ReadHoldSatisfiesOnlyExactlyItsOwnMode)
{
    EXPECT_TRUE(assertionsLogged(upgradableConstraint, { Item::LockMode::reading(true) }).empty());
    EXPECT_EQ(assertionsLogged(upgradableConstraint, { Item::LockMode::reading(false) }).size(), 1u);
    EXPECT_EQ(assertionsLogged(upgradableConstraint, { Item::LockMode::writing() }).size(), 1u);
    EXPECT_TRUE(assertionsLogged(plainReadConstraint, { Item::LockMode::reading(false) }).empty());
    EXPECT_EQ(assertionsLogged(plainReadConstraint, { Item::LockMode::reading(true) }).size(), 1u);
}

TEST(ItemAssertLocked, LogsOnTheModuleLoggerWithTheItemsDescription)
{
    Item item(identifier(77));
    item.setDebugName(fskit::FSFileName("a"));
    os::LogCapture capture;
    item.assertLocked(Item::LockMode::reading(false));
    const std::vector<os::LogMessage> messages = capture.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].subsystem, vl::BuildConfig::variantIdentifier);
    EXPECT_EQ(messages[0].category, "fsmodule");
    EXPECT_EQ(messages[0].level, os::LogLevel::error);
    EXPECT_EQ(messages[0].text, os::formatLogMessage(unlockedMessage, { item.description() }));
}

TEST(ItemAssertLocked, AnotherItemsHoldDoesNotCount)
{
    auto held = std::make_shared<Item>(identifier(1));
    Item other(identifier(2));
    os::LogCapture capture;
    tasks::runBlocking(
        Item::withLocks(std::vector { Item::LockStateConstraint::writing(held) }, [&]() -> tasks::Task<void> {
            other.assertLocked(Item::LockMode::writing());
            co_return;
        }));
    EXPECT_EQ(capture.texts(os::LogLevel::error).size(), 1u);
}

} // namespace
