// Removal and rename against a scripted daemon: the exact requests, the locks held while the
// daemon answers, and the names and parents the items remember.
#include "Support/Mailbox.h"
#include "VolumeOperationTesting.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;
using vl::Item;

// Whether no task holds `item` for writing: the non-waiting lock is granted at once.
bool isUnlocked(std::shared_ptr<Item> item)
{
    return tasks::runBlocking([](std::shared_ptr<Item> held) -> tasks::Task<bool> {
        co_return Item::tryWithLocks({Item::LockStateConstraint::reading(held)}, [] {});
    }(std::move(item)));
}

class VolumeRemoveAndRename : public VolumeOperationTest {
protected:
    // The item of `node`, found as `name` in `directory`.
    std::shared_ptr<Item> in(std::shared_ptr<Item> directory, std::uint64_t node, std::uint32_t mode,
                             std::string_view name = "a")
    {
        peer.on(vl::FUSE_LOOKUP, [=](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(node, mode)); });
        return tasks::runBlocking(volume->lookupItem(fskit::FSFileName(name), std::move(directory))).item;
    }
    // Whether `item` remembers `name` in `directory`.
    static bool isAt(const std::shared_ptr<Item>& item, std::string_view name, const std::shared_ptr<Item>& directory)
    {
        return item->debugName() == fskit::FSFileName(name) && item->attributes->parentID() == directory->fileID();
    }
};

TEST_F(VolumeRemoveAndRename, RemovalSendsRmdirOnlyForADirectoryToTheParentAndKeepsTheItemInTheTable)
{
    std::shared_ptr<Item> parent = in(root, 7, 0040755);
    peer.onAnyOther([](const FuseRequest&) { return FuseAnswer::reply(); });
    for (auto [mode, expected] : std::vector<std::pair<std::uint32_t, vl::fuse_opcode>>{
             {0040700, vl::FUSE_RMDIR}, {0100600, vl::FUSE_UNLINK}, {0120777, vl::FUSE_UNLINK}}) {
        std::shared_ptr<Item> item = in(parent, mode, mode, "gone");
        std::size_t first = mark();
        ASSERT_EQ(errnoOf(volume->removeItem(item, fskit::FSFileName("gone"), parent)), 0);
        EXPECT_EQ(peer.waitForRequest(first).opcode(), expected);
        EXPECT_EQ(peer.waitForRequest(first).nodeid(), 7u);
        EXPECT_EQ(bodyOf(peer.waitForRequest(first)), bytesOf(std::string_view("gone\0", 5)));
        EXPECT_EQ(in(parent, mode, mode), item) << "only FSKit's reclaim takes an item out of the table";
        EXPECT_TRUE(isAt(item, "gone", parent));
    }
}

TEST_F(VolumeRemoveAndRename, RenameIsExclusiveOrASwapHoldsItsItemsAndMovesNamesOnlyOnSuccess)
{
    std::shared_ptr<Item> source = in(root, 7, 0040755, "source");
    std::shared_ptr<Item> destination = in(root, 9, 0040755, "destination");
    std::shared_ptr<Item> item = in(source, 11, 0100644, "old");
    std::shared_ptr<Item> replaced = in(destination, 12, 0100644, "new");
    fskit::FSFileName oldName("old"), newName("new");
    peer.on(vl::FUSE_RENAME, [](const FuseRequest&) { return FuseAnswer::error(posix::eexist); });
    for (std::shared_ptr<Item> over : {std::shared_ptr<Item>(), replaced}) {
        std::size_t first = mark();
        EXPECT_EQ(errnoOf(volume->renameItem(item, source, oldName, newName, destination, over)), posix::eexist);
        std::vector<std::byte> expected = bytesOf(vl::fuse_rename_in{.newdir = 9, .flags = over ? 2u : 4u});
        for (std::byte byte : bytesOf(std::string_view("old\0new\0", 8)))
            expected.push_back(byte);
        EXPECT_EQ(bodyOf(peer.waitForRequest(first)), expected);
        EXPECT_EQ(peer.waitForRequest(first).nodeid(), 7u);
        EXPECT_TRUE(isAt(item, "old", source) && isAt(replaced, "new", destination));
    }

    // Within one directory: that directory is locked once, and with the items for the whole exchange.
    std::shared_ptr<Item> other = in(source, 13, 0100644, "b");
    peer.on(vl::FUSE_RENAME, [](const FuseRequest&) { return FuseAnswer::unanswered(); });
    auto answers = std::make_shared<Mailbox<std::exception_ptr>>();
    std::size_t first = mark();
    volume->renameItem(item, source, oldName, fskit::FSFileName("b"), source, other,
                       [answers](std::optional<fskit::FSFileName>, std::exception_ptr error) { answers->push(error); });
    FuseRequest rename = peer.waitForRequest(first);
    EXPECT_EQ(rename.bodyAs<vl::fuse_rename_in>().newdir, rename.nodeid());
    EXPECT_FALSE(isUnlocked(source) || isUnlocked(item) || isUnlocked(other));
    EXPECT_TRUE(isUnlocked(destination) && isUnlocked(replaced));
    peer.reply(rename.unique());
    EXPECT_FALSE(answers->next());
    EXPECT_TRUE(isAt(item, "b", source) && isAt(other, "old", source) && isUnlocked(source) && isUnlocked(item));

    // Across directories the replaced item takes the moved one's name and parent.
    peer.on(vl::FUSE_RENAME, [](const FuseRequest&) { return FuseAnswer::reply(); });
    EXPECT_EQ(tasks::runBlocking(volume->renameItem(item, source, fskit::FSFileName("b"), newName, destination, replaced)),
              newName);
    EXPECT_TRUE(isAt(item, "new", destination) && isAt(replaced, "b", source));
}

} // namespace
