#include "VLFSModule/ItemStore.h"

#include "Platform/Tasks/Spawn.h"

#include "Platform/OS/Logger.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace {

using vl::Item;
using Identifier = Item::Identifier;

Item::Store::Error::Code removalError(Item::Store& store, const Item& item)
{
    try {
        store.remove(item);
    } catch (const Item::Store::Error& error) {
        return error.code();
    }
    ADD_FAILURE() << "removal did not fail";
    return Item::Store::Error::Code::itemCollision;
}

// The initializer runs once per new item, on that item under its write lock.
TEST(ItemStore, OneItemPerIdentifierCountsLookupsUntilRemovalAndAFailedInitializerLeavesNoEntry)
{
    Item::Store store;
    os::LogCapture capture;
    tasks::runBlocking([&]() -> tasks::Task<void> {
        int initialized = 0;
        auto naming = [&initialized](const char* name) {
            return [&initialized, name](Item& item) {
                ++initialized;
                item.assertLocked(Item::LockMode::writing());
                EXPECT_FALSE(item.lock->tryLock(vl::AsyncReadWriteLock::Mode::reading));
                item.setDebugName(fskit::FSFileName(name));
            };
        };
        std::shared_ptr<Item> first = store.get(Identifier { 5 }, naming("first"));
        EXPECT_EQ(store.get(Identifier { 5 }, naming("second")), first);
        EXPECT_EQ(initialized, 1);
        EXPECT_EQ(first->debugName(), fskit::FSFileName("first")) << "an existing item is returned unchanged";
        EXPECT_TRUE(first->lock->tryLock(vl::AsyncReadWriteLock::Mode::writing))
            << "released after initialising";
        first->lock->unlock();
        EXPECT_EQ(store.remove(*first), 2);
        EXPECT_EQ(removalError(store, *first), Item::Store::Error::Code::itemNotFound);
        std::shared_ptr<Item> renewed = store.get(Identifier { 5 }, naming("renewed"));
        EXPECT_TRUE(renewed != first && *renewed == *first && *renewed != Item(Identifier { 6 }));
        EXPECT_EQ(std::hash<Item>()(*renewed), std::hash<Item>()(*first));
        EXPECT_EQ(store.remove(*first), 1) << "the entry is found by identifier and counts from 1 again";

        EXPECT_THROW(store.get(Identifier { 7 }, [](Item&) { throw std::runtime_error("bad reply"); }),
            std::runtime_error);
        EXPECT_EQ(removalError(store, Item(Identifier { 7 })), Item::Store::Error::Code::itemNotFound);
        store.get(Identifier { 7 }, naming("retried"));
        EXPECT_EQ(initialized, 3);
        co_return;
    }());
    EXPECT_TRUE(capture.texts(os::LogLevel::error).empty());
}

} // namespace
