// Lookup, attributes, set-attributes and reclaim against a scripted daemon: the exact requests,
// the item table and the items' cached attributes.
#include "VLFSModule/ItemFileHandle.h"
#include "VolumeOperationTesting.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testing_support;
using fskit::FSItemAttribute;
using vl::Item;
using Identifier = fskit::FSItem::Identifier;
using VolumeItemOperations = VolumeOperationTest;

TEST_F(VolumeItemOperations, LookupSendsTheNameWithOneZeroByteAndMakesOneItemPerNode)
{
    std::uint64_t size = 100;
    peer.on(vl::FUSE_LOOKUP,
        [&size](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(5, 0100640, size++)); });
    auto lookUp = [&] { return tasks::runBlocking(volume->lookupItem(fskit::FSFileName("hello"), root)); };

    std::size_t first = mark();
    auto [item, name] = lookUp();
    EXPECT_EQ(name.string(), "hello");
    FuseRequest lookup = peer.waitForRequest(first);
    EXPECT_EQ(sentAs(lookup), (Sent { vl::FUSE_LOOKUP, 1, joined("hello\0"sv) }));
    EXPECT_EQ(std::tuple(lookup.header().len, lookup.header().uid, lookup.header().gid, lookup.header().pid),
        std::tuple(46u, 0u, 0u, 0u));
    EXPECT_EQ(item->fileID(), Identifier { 6 });
    EXPECT_EQ(item->attributes->fileID(), Identifier { 6 });
    EXPECT_EQ(item->attributes->parentID(), Identifier::rootDirectory);
    EXPECT_EQ(item->attributes->type(), fskit::FSItemType::file);
    EXPECT_EQ(std::tuple(item->attributes->mode(), item->attributes->size()), std::tuple(0640u, 100u));
    EXPECT_EQ(item->debugName()->string(), "hello");

    // The same node again is the same item, its cached attributes untouched by the second reply.
    EXPECT_EQ(lookUp().item, item);
    EXPECT_EQ(item->attributes->size(), 100u);

    // Reclaim gives back both lookups at once, and the table forgets the item.
    tasks::runBlocking(volume->reclaimItem(item));
    peer.waitForRequestCount(first + 3); // FORGET has no reply to wait for
    EXPECT_EQ(sentSince(first + 2),
        (std::vector<Sent> { { vl::FUSE_FORGET, 5, bytesOf(vl::fuse_forget_in { 2 }) } }));
    EXPECT_EQ(item->state, Item::State::reclaimed);
    std::shared_ptr<Item> fresh = lookUp().item;
    EXPECT_NE(fresh, item);
    EXPECT_EQ(fresh->attributes->size(), 102u);

    // Nodes the daemon cannot number are registered under identifier zero; the others one higher.
    for (auto [node, identifier] : { std::pair { 0xFFFFFFFFull, Identifier::invalid },
             { ~0ull, Identifier::invalid }, { 0x100000000ull, Identifier { 0x100000001 } } })
        EXPECT_EQ(itemFor(node, 0040755, "odd")->fileID(), identifier) << node;
}

TEST_F(
    VolumeItemOperations, AttributesAreFetchedEveryTimeAndSetIntoTheItemsOwnObjectWithTheHandleOfAnOpenItem)
{
    std::uint64_t size = 1;
    peer.on(vl::FUSE_GETATTR,
        [&size](const FuseRequest&) { return FuseAnswer::replyWith(attrOut(1, 0040755, size++)); });
    answer(vl::FUSE_SETATTR, FuseAnswer::replyWith(attrOut(1, 0040700, 9)));
    std::size_t first = mark();
    EXPECT_EQ(tasks::runBlocking(volume->activate()), root) << "a second activation asks no daemon";
    std::shared_ptr<fskit::FSItemAttributes> attributes = tasks::runBlocking(volume->attributes(root));
    EXPECT_EQ(attributes, root->attributes);
    EXPECT_EQ(attributes->size(), 1u);
    EXPECT_EQ(attributes->type(), fskit::FSItemType::directory);
    EXPECT_EQ(attributes->fileID(), Identifier::rootDirectory);
    EXPECT_EQ(attributes->parentID(), Identifier::parentOfRoot);
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->setModifyTime(timespec { 1700000000, 5 });
    EXPECT_EQ(tasks::runBlocking(volume->setAttributes(request, root)), root->attributes);
    EXPECT_EQ(std::tuple(attributes->mode(), attributes->size()), std::tuple(0700u, 9u));
    EXPECT_EQ(request->consumedAttributes, FSItemAttribute::modifyTime);

    // An open item names its handle; the flags stay 0.
    root->fh = std::make_shared<Item::FileHandle>(fskit::FSVolumeOpenModes::write, 77, 0, 0);
    EXPECT_EQ(tasks::runBlocking(volume->attributes(root))->size(), 2u);
    auto nothing = std::make_shared<fskit::FSItemSetAttributesRequest>();
    tasks::runBlocking(volume->setAttributes(nothing, root));
    root->fh.reset();
    EXPECT_EQ(nothing->consumedAttributes, FSItemAttribute());
    EXPECT_EQ(sentSince(first),
        (std::vector<Sent> { { vl::FUSE_GETATTR, 1, bytesOf(vl::fuse_getattr_in {}) },
            { vl::FUSE_SETATTR, 1,
                bytesOf(
                    vl::fuse_setattr_in { .valid = vl::FATTR_MTIME, .mtime = 1700000000, .mtimensec = 5 }) },
            { vl::FUSE_GETATTR, 1, bytesOf(vl::fuse_getattr_in { .fh = 77 }) },
            { vl::FUSE_SETATTR, 1, bytesOf(vl::fuse_setattr_in { .valid = vl::FATTR_FH, .fh = 77 }) } }));
}

TEST_F(VolumeItemOperations, DaemonErrorsReachFSKitUnchangedAndChangeNothing)
{
    peer.on(vl::FUSE_LOOKUP, [](const FuseRequest& request) {
        return request.bodyString() == "missing" ? FuseAnswer::error(ENOENT)
                                                 : FuseAnswer::replyWith(entryFor(8, 0100600));
    });
    answer(vl::FUSE_GETATTR, FuseAnswer::error(EACCES));
    answer(vl::FUSE_SETATTR, FuseAnswer::error(EPERM));
    EXPECT_EQ(errnoOf(volume->lookupItem(fskit::FSFileName("missing"), root)), ENOENT);
    std::shared_ptr<Item> item
        = tasks::runBlocking(volume->lookupItem(fskit::FSFileName("present"), root)).item;
    EXPECT_EQ(errnoOf(volume->attributes(item)), EACCES);
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->setSize(1);
    EXPECT_EQ(errnoOf(volume->setAttributes(request, item)), EPERM);
    EXPECT_EQ(std::tuple(item->attributes->size(), item->attributes->mode()), std::tuple(0u, 0600u));

    // The failed lookup counted nothing: reclaim forgets only the one that succeeded.
    std::size_t first = mark();
    tasks::runBlocking(volume->reclaimItem(item));
    peer.waitForRequestCount(first + 1);
    EXPECT_EQ(
        sentSince(first), (std::vector<Sent> { { vl::FUSE_FORGET, 8, bytesOf(vl::fuse_forget_in { 1 }) } }));
}

using VolumeItemOperationsDeathTest = VolumeItemOperations;

TEST_F(VolumeItemOperationsDeathTest, ReclaimingAnOpenItemOrOneTheTableLacksIsFatalAndForgetsNothing)
{
    // The volume holds the device open, so its file can go now: a death test's child, which
    // never runs destructors, then leaves no file behind.
    ::unlink(device.path.c_str());
    std::shared_ptr<Item> item = itemFor(4, 0100600, "file");
    std::size_t first = mark();
    item->fh = std::make_shared<Item::FileHandle>(fskit::FSVolumeOpenModes::read, 1, 0, 0);
    EXPECT_DEATH(tasks::runBlocking(volume->reclaimItem(item)),
        "Reclaim item Item\\(5, \"file\"\\) with open file handle");
    item->fh.reset();
    tasks::runBlocking(volume->reclaimItem(item));
    EXPECT_DEATH(
        tasks::runBlocking(volume->reclaimItem(item)), "Item Item\\(5, \"file\"\\) not found in store");
    // One FORGET, from the reclaim that was allowed.
    peer.waitForRequestCount(first + 1);
    EXPECT_EQ(opcodesSince(first), std::vector<vl::fuse_opcode> { vl::FUSE_FORGET });
}

} // namespace
