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
    auto at = [](timespec time) { return std::tuple(time.tv_sec, time.tv_nsec); };
    const timespec created = attributes.birthTime();
    EXPECT_LE(at(before), at(created));
    EXPECT_LE(at(created), at(after));
    for (const timespec time : { attributes.addedTime(), attributes.changeTime(), attributes.modifyTime() })
        EXPECT_EQ(at(time), at(created));
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
        std::vector<os::LogMessage> errors = capture.messages();
        std::erase_if(
            errors, [](const os::LogMessage& message) { return message.level != os::LogLevel::error; });
        ASSERT_EQ(errors.size(), c.logs ? 1u : 0u) << c.held;
        if (c.logs) {
            EXPECT_EQ(errors[0].subsystem, vl::BuildConfig::variantIdentifier);
            EXPECT_EQ(errors[0].category, "fsmodule");
            EXPECT_EQ(errors[0].text, "State of item Item(3, \"a\") accessed without item being locked");
        }
    }
}

} // namespace
