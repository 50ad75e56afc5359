#include "VLFSModule/Item.h"
#include "VLFSModule/ItemFileHandle.h"

#include "Platform/Tasks/Spawn.h"
#include "VLFoundation/BuildConfig.h"

#include "Platform/OS/Logger.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using fskit::FSItemAttribute;
using vl::Item;

bool notEarlier(timespec a, timespec b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

TEST(Item, NewItemPresetsItsTimesButReportsNoValidAttribute)
{
    timespec before {};
    ::clock_gettime(CLOCK_REALTIME, &before);
    Item item(Item::Identifier { 9 });
    timespec after {};
    ::clock_gettime(CLOCK_REALTIME, &after);

    const fskit::FSItemAttributes& attributes = *item.attributes;
    EXPECT_EQ(attributes.fileID(), Item::Identifier { 9 });
    EXPECT_EQ(attributes.size(), 0u);
    EXPECT_EQ(attributes.flags(), 0u);
    const timespec created = attributes.birthTime();
    EXPECT_TRUE(notEarlier(created, before));
    EXPECT_TRUE(notEarlier(after, created));
    for (const timespec time : { attributes.addedTime(), attributes.changeTime(), attributes.modifyTime() })
        EXPECT_EQ(std::tuple(time.tv_sec, time.tv_nsec), std::tuple(created.tv_sec, created.tv_nsec));
    for (unsigned bit = 0; bit < 18; ++bit)
        EXPECT_FALSE(attributes.isValid(FSItemAttribute(std::uint64_t { 1 } << bit)))
            << "attribute bit " << bit;
}

// Item 3 checks `checked` while the operation holds it in `held` mode (or holds another item):
// only a hold of this item in a mode that covers the checked one is silent; anything else logs
// one error on the module's logger naming the item.
TEST(ItemAssertLocked, OnlyAHoldOfTheItemInAModeCoveringTheCheckedOneIsSilent)
{
    using Mode = Item::LockMode;
    using Constraint = Item::UpgradableLockStateConstraint;
    enum Held { writing, upgradable, reading, anotherItem };
    struct Case {
        Held held;
        Mode checked;
        bool logs;
    };
    for (const Case& c : { Case { writing, Mode::writing(), false }, { writing, Mode::reading(false), false },
             { writing, Mode::reading(true), false }, { upgradable, Mode::reading(true), false },
             { upgradable, Mode::reading(false), true }, { upgradable, Mode::writing(), true },
             { reading, Mode::reading(false), false }, { reading, Mode::reading(true), true },
             { anotherItem, Mode::writing(), true } }) {
        auto item = std::make_shared<Item>(Item::Identifier { 3 });
        item->setDebugName(fskit::FSFileName("a"));
        auto holder = c.held == anotherItem ? std::make_shared<Item>(Item::Identifier { 4 }) : item;
        Constraint constraint = c.held == upgradable || c.held == reading
            ? Constraint::reading(holder, c.held == upgradable)
            : Constraint::writing(holder);
        os::LogCapture capture;
        tasks::runBlocking(
            Item::withLocks(std::vector { constraint }, [&](Item::UpgradeFunction) -> tasks::Task<void> {
                item->assertLocked(c.checked);
                co_return;
            }));
        std::vector<os::LogMessage> errors;
        for (const os::LogMessage& message : capture.messages())
            if (message.level == os::LogLevel::error)
                errors.push_back(message);
        ASSERT_EQ(errors.size(), c.logs ? 1u : 0u) << c.held;
        if (c.logs) {
            EXPECT_EQ(errors[0].subsystem, vl::BuildConfig::variantIdentifier);
            EXPECT_EQ(errors[0].category, "fsmodule");
            EXPECT_EQ(errors[0].text, "State of item Item(3, \"a\") accessed without item being locked");
        }
    }
}

} // namespace
