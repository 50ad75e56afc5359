// Creating, linking, removing and renaming names against a scripted daemon: the exact requests,
// their order, the registration of new nodes, the locks held and the names the items remember.
#include "VolumeOperationTesting.h"

namespace {

using namespace testing_support;
using vl::Item;

class VolumeNamespace : public VolumeOperationTest {
protected:
    // The nlookup of the FORGET that reclaiming `item` sends.
    std::uint64_t lookupsOf(std::shared_ptr<Item> item)
    {
        std::size_t forget = mark();
        tasks::runBlocking(volume->reclaimItem(item));
        return peer.waitForRequest(forget).bodyAs<vl::fuse_forget_in>().nlookup;
    }
};

// Whether no task holds `item` for writing: the non-waiting lock is granted at once.
bool isUnlocked(std::shared_ptr<Item> item)
{
    return tasks::runBlocking([](std::shared_ptr<Item> held) -> tasks::Task<bool> {
        co_return Item::tryWithLocks({ Item::LockStateConstraint::reading(held) }, [] {});
    }(std::move(item)));
}
// Whether `item` remembers `name` in `directory`.
bool isAt(const std::shared_ptr<Item>& item, std::string_view name, const std::shared_ptr<Item>& directory)
{
    return item->debugName() == fskit::FSFileName(name)
        && item->attributes->parentID() == directory->fileID();
}

TEST_F(VolumeNamespace, NewNodesGetTheirAttributesSetAndAFileItsHandleReleased)
{
    for (auto [type, mode, opcode, in] : { std::tuple { fskit::FSItemType::file, 0u, vl::FUSE_CREATE,
                                               bytesOf(vl::fuse_create_in { 0xA02, 0755 }) },
             { fskit::FSItemType::directory, 0700u, vl::FUSE_MKDIR, bytesOf(vl::fuse_mkdir_in { 0700 }) },
             { fskit::FSItemType::fifo, 0640u, vl::FUSE_MKNOD, bytesOf(vl::fuse_mknod_in { 0640 }) } }) {
        bool file = opcode == vl::FUSE_CREATE;
        std::uint64_t node = 10 + std::uint64_t(type);
        answer(opcode,
            file ? FuseAnswer::replyWith(entryFor(node, 0), vl::fuse_open_out { 44, 1 })
                 : FuseAnswer::replyWith(entryFor(node, 0)));
        answer(vl::FUSE_SETATTR, FuseAnswer::replyWith(attrOut(node, 0100600, 7)));
        answer(vl::FUSE_RELEASE, FuseAnswer::reply());
        auto attributes = std::make_shared<fskit::FSItemSetAttributesRequest>();
        attributes->setUid(1000);
        if (mode)
            attributes->setMode(mode);
        std::size_t first = mark();
        vl::ItemAndName created
            = tasks::runBlocking(volume->createItem(fskit::FSFileName("new"), type, root, attributes));
        EXPECT_TRUE(
            created.name == fskit::FSFileName("new") && isAt(created.item, "new", root) && !created.item->fh);
        EXPECT_EQ(created.item->attributes->size(), 7u);
        std::vector<Sent> expected { { opcode, 1, joined(in, "new\0"sv) },
            { vl::FUSE_SETATTR, node,
                bytesOf(vl::fuse_setattr_in {
                    .valid = vl::FATTR_UID | (mode ? vl::FATTR_MODE : 0) | (file ? vl::FATTR_FH : 0),
                    .fh = file ? 44u : 0u,
                    .mode = mode,
                    .uid = 1000 }) } };
        if (file)
            expected.emplace_back(vl::FUSE_RELEASE, node, bytesOf(vl::fuse_release_in { 44, 0x202 }));
        EXPECT_EQ(sentSince(first), expected);
        EXPECT_EQ(lookupsOf(created.item), 1u);
    }
}

TEST_F(VolumeNamespace, ACreationNamingAKnownNodeOnlyCountsALookupAndFailuresStopWhereTheyHappen)
{
    std::shared_ptr<Item> known = itemFor(5, 0100644);
    auto createFile
        = [&] { return volume->createItem(fskit::FSFileName("f"), fskit::FSItemType::file, root, nullptr); };
    answer(vl::FUSE_CREATE, FuseAnswer::replyWith(entryFor(5, 0100600, 99), vl::fuse_open_out { 3 }));
    answer(vl::FUSE_RELEASE, FuseAnswer::reply());
    answer(vl::FUSE_SETATTR, FuseAnswer::error(posix::eperm));
    std::size_t first = mark();
    EXPECT_EQ(tasks::runBlocking(createFile()).item, known);
    EXPECT_EQ(known->attributes->size(), 0u);
    EXPECT_EQ(lookupsOf(known), 2u);
    EXPECT_EQ(errnoOf(createFile()), posix::eperm); // the provisional handle is not released
    answer(vl::FUSE_CREATE, FuseAnswer::error(posix::eexist));
    EXPECT_EQ(errnoOf(createFile()), posix::eexist);
    EXPECT_EQ(opcodesSince(first),
        (std::vector { vl::FUSE_CREATE, vl::FUSE_RELEASE, vl::FUSE_FORGET, vl::FUSE_CREATE, vl::FUSE_SETATTR,
            vl::FUSE_CREATE }));
    EXPECT_EQ(lookupsOf(itemFor(5, 0100600)), 2u); // the item of the failed SETATTR stayed registered
}

TEST_F(VolumeNamespace, LinksCarryTheirNamesAndTargetsAndAHardLinkCountsOneLookupOfTheItem)
{
    answer(vl::FUSE_SYMLINK, FuseAnswer::replyWith(entryFor(6, 0120777, 3)));
    answer(vl::FUSE_READLINK, FuseAnswer::reply(bytesOf("t\0u"sv)));
    std::size_t first = mark();
    vl::ItemAndName link = tasks::runBlocking(
        volume->createSymbolicLink(fskit::FSFileName("ln"), root, fskit::FSFileName("to/x")));
    EXPECT_TRUE(isAt(link.item, "ln", root));
    EXPECT_EQ(tasks::runBlocking(volume->readSymbolicLink(link.item)),
        fskit::FSFileName(std::vector<std::uint8_t> { 't', 0, 'u' }));
    std::shared_ptr<Item> item = itemFor(5, 0100644), directory = itemFor(9, 0040755, "d");
    answer(vl::FUSE_LINK,
        FuseAnswer::replyWith(vl::fuse_entry_out { .nodeid = 5, .attr = { .ino = 5, .nlink = 2 } }));
    EXPECT_EQ(tasks::runBlocking(volume->createLink(item, fskit::FSFileName("hard"), directory)),
        fskit::FSFileName("hard"));
    EXPECT_EQ(item->attributes->linkCount(), 1u);
    EXPECT_EQ(lookupsOf(item), 2u);
    // A link to an item the table no longer holds gives the daemon's count back at once.
    tasks::runBlocking(volume->createLink(item, fskit::FSFileName("again"), directory));
    peer.waitForRequestCount(first + 8);
    std::vector<Sent> sent = sentSince(first);
    EXPECT_EQ(sent[0], (Sent { vl::FUSE_SYMLINK, 1, joined("ln\0to/x\0"sv) }));
    EXPECT_EQ(sent[1], (Sent { vl::FUSE_READLINK, 6, {} }));
    EXPECT_EQ(sent[4], (Sent { vl::FUSE_LINK, 9, joined(vl::fuse_link_in { 5 }, "hard\0"sv) }));
    EXPECT_EQ(opcodesSince(first + 4),
        (std::vector { vl::FUSE_LINK, vl::FUSE_FORGET, vl::FUSE_LINK, vl::FUSE_FORGET }));
    EXPECT_EQ(std::get<2>(sent.back()), bytesOf(vl::fuse_forget_in { 1 }));
}

TEST_F(VolumeNamespace, RemovalSendsRmdirOnlyForADirectoryToTheParentAndKeepsTheItemInTheTable)
{
    std::shared_ptr<Item> parent = itemFor(7, 0040755);
    peer.onAnyOther([](const FuseRequest&) { return FuseAnswer::reply(); });
    for (auto [mode, opcode] : { std::pair { 0040700u, vl::FUSE_RMDIR }, { 0100600u, vl::FUSE_UNLINK },
             { 0120777u, vl::FUSE_UNLINK } }) {
        std::shared_ptr<Item> item = itemFor(mode, mode, "gone", parent);
        std::size_t first = mark();
        tasks::runBlocking(volume->removeItem(item, fskit::FSFileName("gone"), parent));
        EXPECT_EQ(sentSince(first), (std::vector { Sent { opcode, 7, joined("gone\0"sv) } }));
        EXPECT_EQ(itemFor(mode, mode, "a", parent), item)
            << "only FSKit's reclaim takes an item out of the table";
        EXPECT_TRUE(isAt(item, "gone", parent));
    }
}

TEST_F(VolumeNamespace, RenameIsExclusiveOrASwapHoldsItsItemsAndMovesNamesOnlyOnSuccess)
{
    std::shared_ptr<Item> source = itemFor(7, 0040755, "source"),
                          destination = itemFor(9, 0040755, "destination");
    std::shared_ptr<Item> item = itemFor(11, 0100644, "old", source),
                          replaced = itemFor(12, 0100644, "new", destination);
    fskit::FSFileName oldName("old"), newName("new");
    answer(vl::FUSE_RENAME, FuseAnswer::error(posix::eexist));
    for (std::shared_ptr<Item> over : { std::shared_ptr<Item>(), replaced }) {
        std::size_t first = mark();
        EXPECT_EQ(
            errnoOf(volume->renameItem(item, source, oldName, newName, destination, over)), posix::eexist);
        vl::fuse_rename_in in { .newdir = 9, .flags = over ? 2u : 4u };
        EXPECT_EQ(
            sentSince(first), (std::vector { Sent { vl::FUSE_RENAME, 7, joined(in, "old\0new\0"sv) } }));
        EXPECT_TRUE(isAt(item, "old", source) && isAt(replaced, "new", destination));
    }
    // Within one directory: that directory is locked once, and with the items for the whole exchange.
    std::shared_ptr<Item> other = itemFor(13, 0100644, "b", source);
    answer(vl::FUSE_RENAME, FuseAnswer::unanswered());
    auto answers = std::make_shared<Mailbox<std::exception_ptr>>();
    std::size_t first = mark();
    volume->renameItem(item, source, oldName, fskit::FSFileName("b"), source, other,
        [answers](std::optional<fskit::FSFileName>, std::exception_ptr error) { answers->push(error); });
    FuseRequest rename = peer.waitForRequest(first);
    EXPECT_FALSE(isUnlocked(source) || isUnlocked(item) || isUnlocked(other));
    EXPECT_TRUE(isUnlocked(destination) && isUnlocked(replaced));
    peer.reply(rename.unique());
    EXPECT_FALSE(answers->next());
    EXPECT_TRUE(
        isAt(item, "b", source) && isAt(other, "old", source) && isUnlocked(source) && isUnlocked(item));
    // Across directories the replaced item takes the moved one's name and parent.
    answer(vl::FUSE_RENAME, FuseAnswer::reply());
    EXPECT_EQ(tasks::runBlocking(
                  volume->renameItem(item, source, fskit::FSFileName("b"), newName, destination, replaced)),
        newName);
    EXPECT_TRUE(isAt(item, "new", destination) && isAt(replaced, "b", source));
}

TEST_F(VolumeNamespace, LookupHoldsItsDirectoryForWritingUntilTheDaemonAnswers)
{
    std::shared_ptr<Item> directory = itemFor(7, 0040755, "d");
    answer(vl::FUSE_LOOKUP, FuseAnswer::unanswered());
    auto answers = std::make_shared<Mailbox<std::exception_ptr>>();
    auto lookUp = [&](std::string_view name) {
        volume->lookupItem(fskit::FSFileName(name), directory,
            [answers](auto, auto, std::exception_ptr error) { answers->push(error); });
    };
    std::size_t first = mark();
    lookUp("a");
    FuseRequest held = peer.waitForRequest(first);
    // Not even an operation that only reads the directory may start while the first is unanswered.
    EXPECT_FALSE(isUnlocked(directory));
    lookUp("b");
    peer.reply(held.unique(), bytesOf(entryFor(8, 0100644)));
    EXPECT_FALSE(answers->next());
    FuseRequest second = peer.waitForRequest(first + 1);
    EXPECT_EQ(second.bodyString(), "b");
    peer.reply(second.unique(), bytesOf(entryFor(9, 0100644)));
    EXPECT_FALSE(answers->next());
    EXPECT_TRUE(isUnlocked(directory));
}

} // namespace
