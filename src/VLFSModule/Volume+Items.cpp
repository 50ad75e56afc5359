// Looking names up, reading and setting attributes, and reclaiming items: the operations on which
// every other item operation rests.
#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/OS/FatalError.h"
#include "Platform/OS/Signpost.h"
#include "VLChannel/Request.h"
#include "VLFSModule/FSItemAttributes+FUSE.h"
#include "VLFSModule/FSModuleLogger.h"
#include "VLFSModule/ItemFileHandle.h"
#include "VLFSModule/OperationReply.h"

#include <vector>

namespace vl {
namespace {

// The lock lists below are named variables (g++ 12, see Task.h).

fuse_attr attributesIn(Reply reply)
{
    return std::move(reply).consume<fuse_attr_out>([](const fuse_attr_out& out) { return out.attr; });
}

} // namespace

std::shared_ptr<Item> Volume::requireItem(const ItemPointer& item)
{
    std::shared_ptr<Item> ours = std::dynamic_pointer_cast<Item>(item);
    if (!ours)
        throw fskit::fs_errorForPOSIXError(posix::eio);
    return ours;
}

Request::Part Volume::namePart(const fskit::FSFileName& name)
{
    std::span<const std::uint8_t> bytes = name.data();
    DiscontiguousData::Region nameBytes(name.sharedData(), std::as_bytes(bytes));
    return Request::Part::unmanaged(DiscontiguousData(nameBytes, Request::Part::nullByte));
}

tasks::Task<ItemAndName> Volume::lookupItem(fskit::FSFileName name, ItemPointer directoryItem)
{
    os::signpostEvent("volume.start");
    std::shared_ptr<Item> directory = requireItem(directoryItem);
    std::shared_ptr<Channel> connected = requireChannel();
    auto lookUp = [&]() -> tasks::Task<ItemAndName> {
        Request lookup(FUSE_LOOKUP, nodeIDOf(directory->attributes->fileID()), 0, 0, 0, namePart(name));
        Reply reply = co_await connected->process(std::move(lookup));
        os::signpostEvent("volume.resumed");
        fuse_entry_out entry
            = std::move(reply).consume<fuse_entry_out>([](const fuse_entry_out& out) { return out; });
        std::shared_ptr<Item> found = items.get(fileIDFromFUSE(entry.nodeid), [&](Item& made) {
            made.assertLocked(Item::LockMode::writing());
            made.setDebugName(name);
            made.attributes->setParentID(directory->attributes->fileID());
            apply(*made.attributes, entry.attr);
        });
        co_return ItemAndName { std::move(found), name };
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(directory) };
    co_return co_await Item::withLocks(std::move(locks), lookUp);
}

tasks::Task<std::shared_ptr<fskit::FSItemAttributes>> Volume::attributes(ItemPointer itemPointer)
{
    os::signpostEvent("volume.start");
    std::shared_ptr<Item> item = requireItem(itemPointer);
    auto fetch = [&](Item::UpgradeFunction upgrade) -> tasks::Task<std::shared_ptr<fskit::FSItemAttributes>> {
        co_await upgrade();
        std::shared_ptr<Channel> connected = requireChannel();
        std::uint64_t handle = item->fh ? item->fh->fileDescriptor : 0;
        Request getattr(FUSE_GETATTR, nodeIDOf(item->attributes->fileID()), 0, 0, 0,
            Request::Part::managed<fuse_getattr_in>([handle](fuse_getattr_in& in) { in.fh = handle; }));
        fuse_attr reported = attributesIn(co_await connected->process(std::move(getattr)));
        os::signpostEvent("volume.resumed");
        apply(*item->attributes, reported);
        co_return item->attributes;
    };
    std::vector<Item::UpgradableLockStateConstraint> locks { Item::UpgradableLockStateConstraint::reading(
        item, true) };
    co_return co_await Item::withLocks(std::move(locks), fetch);
}

tasks::Task<std::shared_ptr<fskit::FSItemAttributes>> Volume::setAttributes(
    std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes, ItemPointer itemPointer)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Channel> connected = requireChannel();
    auto change = [&]() -> tasks::Task<std::shared_ptr<fskit::FSItemAttributes>> {
        fuse_setattr_in in {};
        if (item->fh) {
            in.fh = item->fh->fileDescriptor;
            in.valid |= FATTR_FH;
        }
        toFUSE(*newAttributes, in);
        Request setattr(FUSE_SETATTR, nodeIDOf(item->attributes->fileID()), 0, 0, 0,
            Request::Part::managed<fuse_setattr_in>([&in](fuse_setattr_in& out) { out = in; }));
        fuse_attr reported = attributesIn(co_await connected->process(std::move(setattr)));
        apply(*item->attributes, reported);
        co_return item->attributes;
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_return co_await Item::withLocks(std::move(locks), change);
}

tasks::Task<void> Volume::reclaimItem(ItemPointer itemPointer)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Channel> connected = requireChannel();
    auto reclaim = [&]() -> tasks::Task<void> {
        if (item->fh) {
            fsModule().error("Reclaim item %s with open file handle", item->description());
            fatalError("Reclaim item with open file handle", "VLFSModule/Volume");
        }
        std::int64_t lookups = 0;
        try {
            lookups = items.remove(*item);
        } catch (const Item::Store::Error&) {
            fsModule().error("Item %s not found in store", item->description());
            fatalError("Item not found in store", "VLFSModule/Volume");
        }
        item->state = Item::State::reclaimed;
        Request forget(FUSE_FORGET, nodeIDOf(item->attributes->fileID()), 0, 0, 0,
            Request::Part::managed<fuse_forget_in>(
                [lookups](fuse_forget_in& in) { in.nlookup = static_cast<std::uint64_t>(lookups); }));
        co_await connected->send(forget);
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_await Item::withLocks(std::move(locks), reclaim);
}

void Volume::lookupItem(fskit::FSFileName name, ItemPointer directory, ItemAndNameReply replyHandler)
{
    replyWhenDone(
        shared_from_this(), lookupItem(std::move(name), std::move(directory)), std::move(replyHandler));
}

void Volume::attributes(
    std::shared_ptr<fskit::FSItemGetAttributesRequest>, ItemPointer item, AttributesReply replyHandler)
{
    replyWhenDone(shared_from_this(), attributes(std::move(item)), std::move(replyHandler));
}

void Volume::setAttributes(std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes, ItemPointer item,
    AttributesReply replyHandler)
{
    replyWhenDone(shared_from_this(), setAttributes(std::move(newAttributes), std::move(item)),
        std::move(replyHandler));
}

void Volume::reclaimItem(ItemPointer item, ErrorReply replyHandler)
{
    replyWhenDone(shared_from_this(), reclaimItem(std::move(item)), std::move(replyHandler));
}

} // namespace vl
