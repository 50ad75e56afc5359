#include "vorlane-fskitd/NodeTable.h"

#include "LoadedVolume.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;
using host::NodeTable;
using Forget = std::pair<std::uint64_t, std::uint64_t>;

// A table over a loaded volume whose reclaims wait until the test lets them reach the volume.
class NodeTableTest : public testing::Test {
protected:
    // Volume lookup of `name`, admitted and identified as the host does for the kernel.
    NodeTable::ItemPointer lookUp(const std::string& name, NodeTable::Inode inode, bool directory = false)
    {
        NodeTable::ItemPointer item = loaded.lookUp(name);
        EXPECT_TRUE(table->admit(item, [] { FAIL() << "no reclaim was pending"; }));
        table->identify(item, inode);
        struct stat told { };
        told.st_mode = directory ? S_IFDIR : S_IFREG;
        table->told(item, told);
        return item;
    }
    // Lets reclaim number `index` reach the volume and waits until the table has heard back.
    void finishReclaim(std::size_t index)
    {
        auto done = std::make_shared<Mailbox<bool>>();
        loaded.volume()->reclaimItem(
            reclaims.at(index).first, [reply = reclaims.at(index).second, done](std::exception_ptr error) {
                reply(error), done->push(!error);
            });
        EXPECT_TRUE(done->next());
    }

    LoadedVolume loaded;
    std::vector<std::pair<NodeTable::ItemPointer, fskit::FSVolume::ErrorReply>> reclaims;
    std::shared_ptr<NodeTable> table = NodeTable::make(
        [this](NodeTable::ItemPointer item, fskit::FSVolume::ErrorReply reply) {
            reclaims.push_back({ std::move(item), std::move(reply) });
        },
        loaded.root());
};

TEST_F(NodeTableTest, ReclaimsAnItemOnceEveryLookupIsForgottenAndSendsTheDaemonItsWholeCount)
{
    NodeTable::ItemPointer a = lookUp("a", 5);
    EXPECT_EQ(lookUp("a", 5, true), a);
    EXPECT_EQ(std::pair(table->item(5), table->lookups(5)), std::pair(a, std::uint64_t { 2 }));
    EXPECT_EQ(table->isDirectory(a), std::optional(true));

    table->forget(5, 1);
    EXPECT_TRUE(reclaims.empty());
    table->forget(5, 7); // more than held: the count stops at zero
    ASSERT_EQ(reclaims.size(), 1u);
    EXPECT_TRUE(reclaims[0].first == a && table->item(5) == nullptr);
    finishReclaim(0);
    EXPECT_EQ(loaded.forgets.next(), Forget(5, 2));
    EXPECT_EQ(table->size(), 1u);

    // The root stays, whatever the kernel says; unknown inodes are ignored.
    table->forget(NodeTable::rootInode, 1);
    table->forget(99, 1);
    EXPECT_EQ(reclaims.size(), 1u);
    EXPECT_EQ(table->item(NodeTable::rootInode), loaded.root());

    // A lookup the host made for itself is given back with drop.
    NodeTable::ItemPointer b = lookUp("b", 6);
    table->drop(b, 1);
    ASSERT_EQ(reclaims.size(), 2u);
    finishReclaim(1);
    EXPECT_EQ(loaded.forgets.next(), Forget(6, 1));
}

TEST_F(NodeTableTest, AnOpenItemIsReclaimedAtItsLastReleaseAndForgetAllWaitsForIt)
{
    NodeTable::ItemPointer a = lookUp("a", 5);
    lookUp("b", 6);
    EXPECT_FALSE(table->opened(42));
    EXPECT_TRUE(table->opened(5) && table->opened(5));
    table->forget(5, 1);
    table->released(5);
    EXPECT_TRUE(reclaims.empty());
    EXPECT_EQ(table->item(5), a); // still open: the host may name it

    bool emptied = false;
    table->forgetAll([&emptied] { emptied = true; });
    ASSERT_EQ(reclaims.size(), 2u); // the root and b
    finishReclaim(0);
    finishReclaim(1);
    std::map<std::uint64_t, std::uint64_t> forgotten { loaded.forgets.next(), loaded.forgets.next() };
    EXPECT_EQ(forgotten, (std::map<std::uint64_t, std::uint64_t> { { 1, 1 }, { 6, 1 } }));
    EXPECT_FALSE(emptied);

    table->released(5);
    ASSERT_EQ(reclaims.size(), 3u);
    finishReclaim(2);
    EXPECT_EQ(loaded.forgets.next(), Forget(5, 1));
    EXPECT_TRUE(emptied);
    EXPECT_EQ(table->size(), 0u);
}

// The kernel forgets X while a second lookup of the same name is on its way; the volume answers
// that lookup with X before X leaves its store. Whether X's reclaim is still in flight or over
// when the answer arrives, the table refuses X and the lookup asked again gets a new item.
TEST_F(NodeTableTest, ALookupRacingTheReclaimOfItsItemNeverBringsTheReclaimedItemBack)
{
    for (bool reclaimEndsFirst : { false, true }) {
        SCOPED_TRACE(reclaimEndsFirst ? "reclaim over" : "reclaim in flight");
        reclaims.clear();
        NodeTable::ItemPointer x = lookUp("a", 5);
        table->forget(5, 1);
        ASSERT_EQ(reclaims.size(), 1u);
        NodeTable::ItemPointer late = loaded.lookUp("a");
        ASSERT_EQ(late, x);

        bool retried = false;
        auto retry = [&retried] { retried = true; };
        // Refused either way; the retry runs once the reclaim has ended.
        if (reclaimEndsFirst) {
            finishReclaim(0);
            EXPECT_FALSE(table->admit(late, retry));
        } else {
            EXPECT_FALSE(table->admit(late, retry));
            EXPECT_FALSE(retried);
            finishReclaim(0);
        }
        EXPECT_TRUE(retried);
        // The reclaim gave the daemon both lookups it had counted.
        EXPECT_EQ(loaded.forgets.next(), Forget(5, 2));
        NodeTable::ItemPointer fresh = lookUp("a", 5);
        EXPECT_NE(fresh, x);
        EXPECT_EQ(std::pair(table->item(5), table->lookups(5)), std::pair(fresh, std::uint64_t { 1 }));
        table->forget(5, 1);
        finishReclaim(1);
        EXPECT_EQ(loaded.forgets.next(), Forget(5, 1));
    }
}

} // namespace
