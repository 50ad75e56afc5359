// Creating items and links and reading symbolic links against a scripted daemon: the exact
// requests, their order, the registration of new nodes and the failure rules.
#include "VolumeOperationTesting.h"

namespace {

using namespace testing_support;

std::vector<std::byte> operator+(std::vector<std::byte> first, const std::vector<std::byte>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class VolumeCreate : public VolumeOperationTest {
protected:
    // The nlookup of the FORGET that reclaiming `item` sends.
    std::uint64_t lookupsOf(std::shared_ptr<vl::Item> item)
    {
        std::size_t forget = mark();
        tasks::runBlocking(volume->reclaimItem(item));
        return peer.waitForRequest(forget).bodyAs<vl::fuse_forget_in>().nlookup;
    }
};

TEST_F(VolumeCreate, NewNodesGetTheirAttributesSetAndAFileItsHandleReleased)
{
    struct Case { fskit::FSItemType type; std::uint32_t mode; vl::fuse_opcode opcode; std::vector<std::byte> in; };
    for (const Case& c : {Case{fskit::FSItemType::file, 0, vl::FUSE_CREATE, bytesOf(vl::fuse_create_in{0xA02, 0755, 0, 0})},
                          Case{fskit::FSItemType::directory, 0700, vl::FUSE_MKDIR, bytesOf(vl::fuse_mkdir_in{0700, 0})},
                          Case{fskit::FSItemType::fifo, 0640, vl::FUSE_MKNOD, bytesOf(vl::fuse_mknod_in{0640, 0, 0, 0})}}) {
        bool file = c.opcode == vl::FUSE_CREATE;
        std::uint64_t node = 10 + std::uint64_t(c.type);
        peer.on(c.opcode, [&](const FuseRequest&) {
            return FuseAnswer::reply(bytesOf(entryFor(node, 0)) + (file ? bytesOf(vl::fuse_open_out{44, 1, 0}) : std::vector<std::byte>()));
        });
        peer.on(vl::FUSE_SETATTR, [&](const FuseRequest&) { return FuseAnswer::replyWith(attrOut(node, 0100600, 7)); });
        peer.on(vl::FUSE_RELEASE, [](const FuseRequest&) { return FuseAnswer::reply(); });
        auto attributes = std::make_shared<fskit::FSItemSetAttributesRequest>();
        attributes->setUid(1000);
        if (c.mode)
            attributes->setMode(c.mode);
        std::size_t first = mark();
        vl::ItemAndName created = tasks::runBlocking(volume->createItem(fskit::FSFileName("new"), c.type, root, attributes));
        EXPECT_EQ(created.name, fskit::FSFileName("new"));
        EXPECT_EQ(created.item->debugName(), fskit::FSFileName("new"));
        EXPECT_EQ(created.item->attributes->parentID(), fskit::FSItem::Identifier::rootDirectory);
        EXPECT_EQ(created.item->attributes->size(), 7u);
        EXPECT_EQ(opcodesSince(first), (file ? std::vector{c.opcode, vl::FUSE_SETATTR, vl::FUSE_RELEASE}
                                             : std::vector{c.opcode, vl::FUSE_SETATTR}));
        EXPECT_EQ(bodyOf(peer.waitForRequest(first)), c.in + bytesOf(std::string_view("new\0", 4)));
        vl::fuse_setattr_in setattr = peer.waitForRequest(first + 1).bodyAs<vl::fuse_setattr_in>();
        EXPECT_EQ(peer.waitForRequest(first + 1).nodeid(), node);
        EXPECT_EQ(setattr.valid, vl::FATTR_UID | (c.mode ? vl::FATTR_MODE : 0) | (file ? vl::FATTR_FH : 0));
        EXPECT_EQ(setattr.fh, file ? 44u : 0u);
        if (file)
            EXPECT_EQ(bodyOf(peer.waitForRequest(first + 2)), bytesOf(vl::fuse_release_in{44, 0x202, 0, 0}));
        EXPECT_FALSE(created.item->fh);
        EXPECT_EQ(lookupsOf(created.item), 1u);
    }
}

TEST_F(VolumeCreate, ACreationNamingAKnownNodeOnlyCountsALookupAndFailuresStopWhereTheyHappen)
{
    std::shared_ptr<vl::Item> known = itemFor(5, 0100644);
    auto createFile = [&] { return volume->createItem(fskit::FSFileName("f"), fskit::FSItemType::file, root, nullptr); };
    peer.on(vl::FUSE_CREATE, [](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(5, 0100600, 99), vl::fuse_open_out{3, 0, 0}); });
    peer.on(vl::FUSE_RELEASE, [](const FuseRequest&) { return FuseAnswer::reply(); });
    std::size_t first = mark();
    EXPECT_EQ(tasks::runBlocking(createFile()).item, known);
    EXPECT_EQ(known->attributes->size(), 0u);
    EXPECT_EQ(opcodesSince(first), (std::vector{vl::FUSE_CREATE, vl::FUSE_RELEASE}));
    EXPECT_EQ(lookupsOf(known), 2u);
    peer.on(vl::FUSE_SETATTR, [](const FuseRequest&) { return FuseAnswer::error(posix::eperm); });
    first = mark();
    EXPECT_EQ(errnoOf(createFile()), posix::eperm); // the provisional handle is not released
    peer.on(vl::FUSE_CREATE, [](const FuseRequest&) { return FuseAnswer::error(posix::eexist); });
    EXPECT_EQ(errnoOf(createFile()), posix::eexist);
    EXPECT_EQ(opcodesSince(first), (std::vector{vl::FUSE_CREATE, vl::FUSE_SETATTR, vl::FUSE_CREATE}));
    EXPECT_EQ(lookupsOf(itemFor(5, 0100600)), 2u); // the item of the failed SETATTR stayed registered
}

TEST_F(VolumeCreate, SymbolicLinksCarryNameAndTargetAndAreReadBackByteForByte)
{
    peer.on(vl::FUSE_SYMLINK, [](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(6, 0120777, 3)); });
    peer.on(vl::FUSE_READLINK, [](const FuseRequest&) { return FuseAnswer::reply(bytesOf(std::string_view("t\0u", 3))); });
    std::size_t first = mark();
    vl::ItemAndName link = tasks::runBlocking(volume->createSymbolicLink(fskit::FSFileName("ln"), root, fskit::FSFileName("to/x")));
    EXPECT_EQ(link.item->attributes->type(), fskit::FSItemType::symlink);
    EXPECT_EQ(tasks::runBlocking(volume->readSymbolicLink(link.item)), fskit::FSFileName(std::vector<std::uint8_t>{'t', 0, 'u'}));
    EXPECT_EQ(opcodesSince(first), (std::vector{vl::FUSE_SYMLINK, vl::FUSE_READLINK}));
    EXPECT_EQ(bodyOf(peer.waitForRequest(first)), bytesOf(std::string_view("ln\0to/x\0", 8)));
    EXPECT_EQ(peer.waitForRequest(first + 1).nodeid(), 6u);
    EXPECT_TRUE(peer.waitForRequest(first + 1).body().empty());
}

TEST_F(VolumeCreate, AHardLinkCountsOneLookupOfTheItemAndLeavesItsAttributes)
{
    std::shared_ptr<vl::Item> item = itemFor(5, 0100644), directory = itemFor(9, 0040755, "d");
    vl::fuse_entry_out linked = entryFor(5, 0100644);
    linked.attr.nlink = 2;
    peer.on(vl::FUSE_LINK, [&](const FuseRequest&) { return FuseAnswer::replyWith(linked); });
    std::size_t first = mark();
    EXPECT_EQ(tasks::runBlocking(volume->createLink(item, fskit::FSFileName("hard"), directory)), fskit::FSFileName("hard"));
    EXPECT_EQ(peer.waitForRequest(first).nodeid(), 9u);
    EXPECT_EQ(bodyOf(peer.waitForRequest(first)), bytesOf(vl::fuse_link_in{5}) + bytesOf(std::string_view("hard\0", 5)));
    EXPECT_EQ(item->attributes->linkCount(), 1u);
    EXPECT_EQ(lookupsOf(item), 2u);
    // A link to an item the table no longer holds gives the daemon's count back at once.
    tasks::runBlocking(volume->createLink(item, fskit::FSFileName("again"), directory));
    EXPECT_EQ(bodyOf(peer.waitForRequest(first + 3)), bytesOf(vl::fuse_forget_in{1}));
    EXPECT_EQ(opcodesSince(first), (std::vector{vl::FUSE_LINK, vl::FUSE_FORGET, vl::FUSE_LINK, vl::FUSE_FORGET}));
}

} // namespace
