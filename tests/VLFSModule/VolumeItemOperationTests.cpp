// Lookup, attributes, set-attributes and reclaim through FSKit's entry points, against a scripted
// daemon: the exact requests, the item table and the items' cached attributes.
#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/VolumeTestSupport.h"
#include "VLFSModule/FSItemAttributes+FUSE.h"
#include "VLFSModule/ItemFileHandle.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <sys/stat.h>
#include <tuple>

namespace {

using namespace testing_support;
using fskit::FSItemAttribute;
using vl::Item;
using vl::Volume;
using Identifier = fskit::FSItem::Identifier;
using AttributesPointer = std::shared_ptr<fskit::FSItemAttributes>;

// What a reply handler was called with; fails the test if it is called twice.
template <typename... Values> class Answer {
public:
    std::function<void(Values...)> handler()
    {
        return [this](Values... values) {
            ++calls;
            EXPECT_EQ(calls, 1) << "a reply handler was called more than once";
            if (calls == 1)
                promise.set_value(std::make_tuple(std::move(values)...));
        };
    }
    std::tuple<Values...> wait() { return promise.get_future().get(); }

private:
    std::atomic<int> calls { 0 };
    std::promise<std::tuple<Values...>> promise;
};

int errnoOf(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& systemError) {
        return systemError.code().value();
    } catch (...) {
        return -1;
    }
}

vl::fuse_attr nodeAttributes(std::uint64_t inode, std::uint32_t mode, std::uint64_t size = 0)
{
    vl::fuse_attr attr {};
    attr.ino = inode;
    attr.mode = mode;
    attr.size = size;
    attr.nlink = 1;
    attr.uid = 501;
    attr.gid = 20;
    return attr;
}

vl::fuse_entry_out entryFor(std::uint64_t node, std::uint32_t mode, std::uint64_t size = 0)
{
    vl::fuse_entry_out entry {};
    entry.nodeid = node;
    entry.generation = 1;
    entry.attr = nodeAttributes(node, mode, size);
    return entry;
}

vl::fuse_attr_out attrOut(vl::fuse_attr attr)
{
    vl::fuse_attr_out out {};
    out.attr_valid = 1;
    out.attr = attr;
    return out;
}

// A volume connected to a scripted daemon that answers the handshake; its root activated.
class VolumeItemOperations : public testing::Test {
protected:
    VolumeItemOperations()
    {
        answerHandshake(peer);
        volume = tasks::runBlocking(Volume::make(device.open(), connectTo(peer)));
        // The volume holds the device open, so its file can go now: a death test's child, which
        // never runs destructors, then leaves no file behind.
        ::unlink(device.path.c_str());
        root = tasks::runBlocking(volume->activate());
        peer.waitForRequestCount(handshakeRequests);
    }

    std::tuple<std::shared_ptr<Item>, std::optional<fskit::FSFileName>, std::exception_ptr> lookUp(
        std::string_view name, std::shared_ptr<fskit::FSItem> directory)
    {
        Answer<fskit::FSVolume::ItemPointer, std::optional<fskit::FSFileName>, std::exception_ptr> answer;
        volume->lookupItem(fskit::FSFileName(name), std::move(directory), answer.handler());
        auto [item, returnedName, error] = answer.wait();
        return { std::dynamic_pointer_cast<Item>(item), returnedName, error };
    }

    std::pair<AttributesPointer, std::exception_ptr> attributesOf(std::shared_ptr<fskit::FSItem> item)
    {
        Answer<AttributesPointer, std::exception_ptr> answer;
        volume->attributes(std::make_shared<fskit::FSItemGetAttributesRequest>(FSItemAttribute::size),
            std::move(item), answer.handler());
        auto [attributes, error] = answer.wait();
        return { attributes, error };
    }

    std::pair<AttributesPointer, std::exception_ptr> setAttributesOf(
        std::shared_ptr<fskit::FSItem> item, std::shared_ptr<fskit::FSItemSetAttributesRequest> request)
    {
        Answer<AttributesPointer, std::exception_ptr> answer;
        volume->setAttributes(std::move(request), std::move(item), answer.handler());
        auto [attributes, error] = answer.wait();
        return { attributes, error };
    }

    std::exception_ptr reclaim(std::shared_ptr<fskit::FSItem> item)
    {
        Answer<std::exception_ptr> answer;
        volume->reclaimItem(std::move(item), answer.handler());
        return std::get<0>(answer.wait());
    }

    // INIT and the first STATFS.
    static constexpr std::size_t handshakeRequests = 2;

    DeviceImage device;
    FusePeer peer;
    std::shared_ptr<Volume> volume;
    std::shared_ptr<Item> root;
};

TEST_F(VolumeItemOperations, LookupSendsTheNameWithOneZeroByteAndMakesOneItemPerNode)
{
    std::uint64_t size = 100;
    peer.on(vl::FUSE_LOOKUP,
        [&size](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(5, 0100640, size++)); });

    auto [item, name, error] = lookUp("hello", root);
    ASSERT_FALSE(error);
    ASSERT_TRUE(item);
    EXPECT_EQ(name->string(), "hello");
    FuseRequest lookup = peer.waitForRequest(handshakeRequests);
    EXPECT_EQ(lookup.opcode(), vl::FUSE_LOOKUP);
    EXPECT_EQ(lookup.nodeid(), 1u);
    EXPECT_EQ(lookup.header().len, 40u + 6u);
    EXPECT_EQ(lookup.header().uid, 0u);
    EXPECT_EQ(lookup.header().gid, 0u);
    EXPECT_EQ(lookup.header().pid, 0u);
    EXPECT_EQ(std::vector<std::byte>(lookup.body().begin(), lookup.body().end()),
        bytesOf(std::string_view("hello\0", 6)));

    EXPECT_EQ(item->fileID(), Identifier { 6 });
    EXPECT_EQ(item->attributes->fileID(), Identifier { 6 });
    EXPECT_EQ(item->attributes->parentID(), Identifier::rootDirectory);
    EXPECT_EQ(item->attributes->type(), fskit::FSItemType::file);
    EXPECT_EQ(item->attributes->mode(), 0640u);
    EXPECT_EQ(item->attributes->size(), 100u);
    EXPECT_EQ(item->debugName()->string(), "hello");

    // The same node again is the same item, its cached attributes untouched by the second reply.
    auto [again, againName, againError] = lookUp("hello", root);
    ASSERT_FALSE(againError);
    EXPECT_EQ(again, item);
    EXPECT_EQ(item->attributes->size(), 100u);

    // Reclaim gives back both lookups at once, and the table forgets the item.
    EXPECT_FALSE(reclaim(item));
    FuseRequest forget = peer.waitForRequest(handshakeRequests + 2);
    EXPECT_EQ(forget.opcode(), vl::FUSE_FORGET);
    EXPECT_EQ(forget.nodeid(), 5u);
    EXPECT_EQ(forget.body().size(), sizeof(vl::fuse_forget_in));
    EXPECT_EQ(forget.bodyAs<vl::fuse_forget_in>().nlookup, 2u);
    EXPECT_EQ(item->state, Item::State::reclaimed);
    auto [fresh, freshName, freshError] = lookUp("hello", root);
    ASSERT_FALSE(freshError);
    EXPECT_NE(fresh, item);
    EXPECT_EQ(fresh->attributes->size(), 102u);
}

TEST_F(VolumeItemOperations, ANodeTheDaemonCannotNumberIsRegisteredUnderIdentifierZero)
{
    peer.on(vl::FUSE_LOOKUP,
        [](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(0xFFFFFFFF, 0040755)); });
    auto [item, name, error] = lookUp("odd", root);
    ASSERT_FALSE(error);
    EXPECT_EQ(item->fileID(), Identifier::invalid);
    EXPECT_EQ(item->attributes->type(), fskit::FSItemType::directory);
}

TEST_F(VolumeItemOperations, AttributesAreFetchedEveryTimeIntoTheItemsOwnObject)
{
    std::uint64_t size = 1;
    peer.on(vl::FUSE_GETATTR, [&size](const FuseRequest&) {
        return FuseAnswer::replyWith(attrOut(nodeAttributes(1, 0040755, size++)));
    });

    auto [first, error] = attributesOf(root);
    ASSERT_FALSE(error);
    EXPECT_EQ(first, root->attributes);
    EXPECT_EQ(first->size(), 1u);
    EXPECT_EQ(first->type(), fskit::FSItemType::directory);
    EXPECT_EQ(first->fileID(), Identifier::rootDirectory);
    EXPECT_EQ(first->parentID(), Identifier::parentOfRoot);
    FuseRequest getattr = peer.waitForRequest(handshakeRequests);
    EXPECT_EQ(getattr.opcode(), vl::FUSE_GETATTR);
    EXPECT_EQ(getattr.nodeid(), 1u);
    ASSERT_EQ(getattr.body().size(), sizeof(vl::fuse_getattr_in));
    EXPECT_EQ(getattr.bodyAs<vl::fuse_getattr_in>().fh, 0u);

    // An open item names its handle; the flags stay 0.
    root->fh = std::make_shared<Item::FileHandle>(fskit::FSVolumeOpenModes::read, 77, 0, 0);
    auto [second, secondError] = attributesOf(root);
    ASSERT_FALSE(secondError);
    EXPECT_EQ(second->size(), 2u);
    vl::fuse_getattr_in in = peer.waitForRequest(handshakeRequests + 1).bodyAs<vl::fuse_getattr_in>();
    EXPECT_EQ(in.fh, 77u);
    EXPECT_EQ(in.getattr_flags, 0u);
    EXPECT_EQ(in.dummy, 0u);
    root->fh.reset();
}

TEST_F(VolumeItemOperations, SetAttributesSendsWhatItTranslatesAndTheHandleOnlyOfAnOpenItem)
{
    peer.on(vl::FUSE_SETATTR,
        [](const FuseRequest&) { return FuseAnswer::replyWith(attrOut(nodeAttributes(1, 0040700, 9))); });

    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->setModifyTime(timespec { 1700000000, 5 });
    auto [attributes, error] = setAttributesOf(root, request);
    ASSERT_FALSE(error);
    EXPECT_EQ(attributes, root->attributes);
    EXPECT_EQ(attributes->mode(), 0700u);
    EXPECT_EQ(attributes->size(), 9u);
    EXPECT_EQ(request->consumedAttributes, FSItemAttribute::modifyTime);
    FuseRequest closed = peer.waitForRequest(handshakeRequests);
    EXPECT_EQ(closed.opcode(), vl::FUSE_SETATTR);
    EXPECT_EQ(closed.nodeid(), 1u);
    ASSERT_EQ(closed.body().size(), sizeof(vl::fuse_setattr_in));
    vl::fuse_setattr_in sent = closed.bodyAs<vl::fuse_setattr_in>();
    EXPECT_EQ(sent.valid, vl::FATTR_MTIME);
    EXPECT_EQ(sent.fh, 0u);
    EXPECT_EQ(sent.mtime, 1700000000);
    EXPECT_EQ(sent.mtimensec, 5);

    root->fh = std::make_shared<Item::FileHandle>(fskit::FSVolumeOpenModes::write, 31, 0, 0);
    auto nothing = std::make_shared<fskit::FSItemSetAttributesRequest>();
    auto [unchanged, unchangedError] = setAttributesOf(root, nothing);
    ASSERT_FALSE(unchangedError);
    vl::fuse_setattr_in open = peer.waitForRequest(handshakeRequests + 1).bodyAs<vl::fuse_setattr_in>();
    EXPECT_EQ(open.valid, vl::FATTR_FH);
    EXPECT_EQ(open.fh, 31u);
    EXPECT_EQ(nothing->consumedAttributes, FSItemAttribute());
    root->fh.reset();
}

TEST_F(VolumeItemOperations, DaemonErrorsReachFSKitUnchangedAndChangeNothing)
{
    peer.on(vl::FUSE_LOOKUP, [](const FuseRequest& request) {
        return request.bodyString() == "missing" ? FuseAnswer::error(ENOENT)
                                                 : FuseAnswer::replyWith(entryFor(8, 0100600));
    });
    peer.on(vl::FUSE_GETATTR, [](const FuseRequest&) { return FuseAnswer::error(EACCES); });
    peer.on(vl::FUSE_SETATTR, [](const FuseRequest&) { return FuseAnswer::error(EPERM); });

    auto [missing, missingName, lookupError] = lookUp("missing", root);
    EXPECT_EQ(errnoOf(lookupError), ENOENT);
    EXPECT_FALSE(missing);
    EXPECT_FALSE(missingName);

    auto [item, name, error] = lookUp("present", root);
    ASSERT_FALSE(error);
    auto [attributes, getError] = attributesOf(item);
    EXPECT_EQ(errnoOf(getError), EACCES);
    EXPECT_FALSE(attributes);

    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->setSize(1);
    auto [set, setError] = setAttributesOf(item, request);
    EXPECT_EQ(errnoOf(setError), EPERM);
    EXPECT_FALSE(set);
    EXPECT_EQ(item->attributes->size(), 0u);
    EXPECT_EQ(item->attributes->mode(), 0600u);

    // The failed lookup counted nothing: reclaim forgets only the one that succeeded.
    EXPECT_FALSE(reclaim(item));
    EXPECT_EQ(peer.waitForRequest(handshakeRequests + 4).bodyAs<vl::fuse_forget_in>().nlookup, 1u);
}

// An item of some other file system.
class ForeignItem final : public fskit::FSItem { };

TEST_F(VolumeItemOperations, ForeignItemsFailWithEIOAndADisconnectedVolumeWithENXIOBeforeAnythingIsSent)
{
    peer.on(vl::FUSE_LOOKUP, [](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(3, 0100600)); });
    auto [item, name, error] = lookUp("kept", root);
    ASSERT_FALSE(error);
    std::size_t sent = peer.requests().size();

    auto foreign = std::make_shared<ForeignItem>();
    EXPECT_EQ(errnoOf(std::get<2>(lookUp("x", foreign))), EIO);
    EXPECT_EQ(errnoOf(attributesOf(foreign).second), EIO);
    EXPECT_EQ(
        errnoOf(setAttributesOf(foreign, std::make_shared<fskit::FSItemSetAttributesRequest>()).second), EIO);
    EXPECT_EQ(errnoOf(reclaim(foreign)), EIO);
    EXPECT_EQ(peer.requests().size(), sent);

    peer.on(vl::FUSE_DESTROY, [](const FuseRequest&) { return FuseAnswer::reply(); });
    // No daemon service listens here, so telling it fails; the volume is disconnected all the same.
    (void)tasks::runBlocking(tasks::catching(volume->deactivate()));
    sent = peer.requests().size();
    EXPECT_EQ(errnoOf(std::get<2>(lookUp("x", root))), ENXIO);
    EXPECT_EQ(errnoOf(attributesOf(root).second), ENXIO);
    EXPECT_EQ(
        errnoOf(setAttributesOf(root, std::make_shared<fskit::FSItemSetAttributesRequest>()).second), ENXIO);
    EXPECT_EQ(errnoOf(reclaim(item)), ENXIO);
    EXPECT_EQ(peer.requests().size(), sent);
    EXPECT_EQ(item->state, Item::State::active);
}

using VolumeItemOperationsDeathTest = VolumeItemOperations;

TEST_F(VolumeItemOperationsDeathTest, ReclaimingAnOpenItemOrOneTheTableLacksIsFatalAndForgetsNothing)
{
    peer.on(vl::FUSE_LOOKUP, [](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(4, 0100600)); });
    auto [item, name, error] = lookUp("file", root);
    ASSERT_FALSE(error);

    item->fh = std::make_shared<Item::FileHandle>(fskit::FSVolumeOpenModes::read, 1, 0, 0);
    EXPECT_DEATH(reclaim(item), "Reclaim item Item\\(5, \"file\"\\) with open file handle");
    item->fh.reset();

    EXPECT_FALSE(reclaim(item));
    EXPECT_DEATH(reclaim(item), "Item Item\\(5, \"file\"\\) not found in store");
    // One FORGET, from the reclaim that was allowed.
    std::size_t forgets = 0;
    for (const FuseRequest& request : peer.requests())
        forgets += request.opcode() == vl::FUSE_FORGET;
    EXPECT_EQ(forgets, 1u);
}

} // namespace
