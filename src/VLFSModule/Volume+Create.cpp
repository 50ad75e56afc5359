// Adding names to a directory (files, directories, special files, symbolic and hard links) and
// reading a symbolic link. A created node is registered as a lookup is: the daemon counted one.
#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "VLChannel/Request.h"
#include "VLFSModule/FSItemAttributes+FUSE.h"
#include "VLFSModule/ItemFileHandle.h"
#include "VLFSModule/OperationReply.h"

#include <vector>

namespace vl {
namespace {

// A file is created exclusively and opened for reading and writing (Darwin's O_RDWR | O_CREAT |
// O_EXCL); the handle that comes with it is released with O_RDWR | O_CREAT.
constexpr std::uint32_t createFlags = 0xA02;
constexpr std::uint32_t createdHandleFlags = 0x202;
constexpr std::uint32_t defaultMode = 0755;

// The item for a node the daemon has just entered in `directory` as `name`, counting one lookup.
// `isNew` tells whether the table made the item now (and filled it from the reply).
std::shared_ptr<Item> registerEntry(Item::Store& items, const fuse_entry_out& entry,
    const fskit::FSFileName& name, const Item& directory, bool& isNew)
{
    return items.get(fileIDFromFUSE(entry.nodeid), [&](Item& made) {
        made.assertLocked(Item::LockMode::writing());
        isNew = true;
        made.setDebugName(name);
        made.attributes->setParentID(directory.attributes->fileID());
        apply(*made.attributes, entry.attr);
    });
}

// What makes the store refuse to make an item for an identifier it does not hold.
struct NotInTable { };

} // namespace

tasks::Task<ItemAndName> Volume::createItem(fskit::FSFileName name, fskit::FSItemType type,
    ItemPointer directoryItem, std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes)
{
    std::shared_ptr<Item> directory = requireItem(directoryItem);
    std::shared_ptr<Channel> connected = requireChannel();
    if (!newAttributes)
        newAttributes = std::make_shared<fskit::FSItemSetAttributesRequest>();
    auto create = [&]() -> tasks::Task<ItemAndName> {
        directory->assertLocked(Item::LockMode::writing());
        const std::uint32_t mode
            = newAttributes->isValid(fskit::FSItemAttribute::mode) ? newAttributes->mode() : defaultMode;
        fuse_opcode opcode = FUSE_MKNOD;
        Request::Part structure
            = Request::Part::managed<fuse_mknod_in>([mode](fuse_mknod_in& in) { in.mode = mode; });
        if (type == fskit::FSItemType::directory) {
            opcode = FUSE_MKDIR;
            structure = Request::Part::managed<fuse_mkdir_in>([mode](fuse_mkdir_in& in) { in.mode = mode; });
        } else if (type == fskit::FSItemType::file) {
            opcode = FUSE_CREATE;
            structure = Request::Part::managed<fuse_create_in>([mode](fuse_create_in& in) {
                in.flags = createFlags;
                in.mode = mode;
            });
        }
        Request request(
            opcode, nodeIDOf(directory->attributes->fileID()), 0, 0, 0, structure, namePart(name));
        Reply reply = co_await connected->process(std::move(request));
        fuse_entry_out entry
            = reply.consumePart<fuse_entry_out>([](const fuse_entry_out& out) { return out; });
        // The handle the daemon opened with the file; it is not the item's, which FSKit opens
        // through openItem when it needs to.
        std::shared_ptr<Item::FileHandle> provisional;
        if (opcode == FUSE_CREATE) {
            fuse_open_out opened
                = reply.consumePart<fuse_open_out>([](const fuse_open_out& out) { return out; });
            fskit::FSVolumeOpenModes readWrite
                = fskit::FSVolumeOpenModes::read | fskit::FSVolumeOpenModes::write;
            provisional = std::make_shared<Item::FileHandle>(
                readWrite, opened.fh, createdHandleFlags, opened.open_flags);
        }
        bool isNew = false;
        std::shared_ptr<Item> item = registerEntry(items, entry, name, *directory, isNew);
        // A name that turns out to hold a node already known keeps that node's attributes.
        if (isNew) {
            auto setOwnAttributes = [&]() -> tasks::Task<void> {
                fuse_setattr_in in {};
                if (provisional) {
                    in.fh = provisional->fileDescriptor;
                    in.valid |= FATTR_FH;
                }
                toFUSE(*newAttributes, in);
                Request setattr(FUSE_SETATTR, nodeIDOf(item->attributes->fileID()), 0, 0, 0,
                    Request::Part::managed<fuse_setattr_in>([&in](fuse_setattr_in& out) { out = in; }));
                Reply attributes = co_await connected->process(std::move(setattr));
                apply(*item->attributes,
                    std::move(attributes).consume<fuse_attr_out>([](const fuse_attr_out& out) {
                        return out.attr;
                    }));
            };
            std::vector<Item::LockStateConstraint> itemLock { Item::LockStateConstraint::writing(item) };
            co_await Item::withLocks(std::move(itemLock), setOwnAttributes);
        }
        if (provisional) {
            // Addressed by the reply's node id: a node known before is not locked here, so its
            // attributes are not read.
            Request release(FUSE_RELEASE, entry.nodeid, 0, 0, 0,
                Request::Part::managed<fuse_release_in>([&provisional](fuse_release_in& in) {
                    in.fh = provisional->fileDescriptor;
                    in.flags = provisional->flags;
                }));
            co_await connected->process(std::move(release));
        }
        co_return ItemAndName { std::move(item), name };
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(directory) };
    co_return co_await Item::withLocks(std::move(locks), create);
}

tasks::Task<ItemAndName> Volume::createSymbolicLink(
    fskit::FSFileName name, ItemPointer directoryItem, fskit::FSFileName contents)
{
    std::shared_ptr<Item> directory = requireItem(directoryItem);
    std::shared_ptr<Channel> connected = requireChannel();
    auto create = [&]() -> tasks::Task<ItemAndName> {
        // The target goes as a name does: its bytes and one zero byte.
        Request request(FUSE_SYMLINK, nodeIDOf(directory->attributes->fileID()), 0, 0, 0, namePart(name),
            namePart(contents));
        Reply reply = co_await connected->process(std::move(request));
        fuse_entry_out entry
            = std::move(reply).consume<fuse_entry_out>([](const fuse_entry_out& out) { return out; });
        bool isNew = false;
        co_return ItemAndName { registerEntry(items, entry, name, *directory, isNew), name };
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(directory) };
    co_return co_await Item::withLocks(std::move(locks), create);
}

tasks::Task<fskit::FSFileName> Volume::createLink(
    ItemPointer itemPointer, fskit::FSFileName name, ItemPointer directoryItem)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Item> directory = requireItem(directoryItem);
    std::shared_ptr<Channel> connected = requireChannel();
    auto link = [&]() -> tasks::Task<fskit::FSFileName> {
        const std::uint64_t node = nodeIDOf(item->attributes->fileID());
        Request request(FUSE_LINK, nodeIDOf(directory->attributes->fileID()), 0, 0, 0,
            Request::Part::managed<fuse_link_in>([node](fuse_link_in& in) { in.oldnodeid = node; }),
            namePart(name));
        // The reply's entry is that of the linked node; its attributes are not taken over, so the
        // item's link count changes with its next attribute request.
        co_await connected->process(std::move(request));
        // The daemon counted the reply as one more lookup of the node. It becomes one more lookup
        // of the item, given back with the others when the item is reclaimed. An item the table
        // no longer holds gives it back at once.
        bool counted = false;
        try {
            items.get(item->attributes->fileID(), [](Item&) { throw NotInTable(); });
            counted = true;
        } catch (const NotInTable&) {
        }
        if (!counted) {
            Request forget(FUSE_FORGET, node, 0, 0, 0,
                Request::Part::managed<fuse_forget_in>([](fuse_forget_in& in) { in.nlookup = 1; }));
            co_await connected->send(forget);
        }
        co_return name;
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item),
        Item::LockStateConstraint::writing(directory) };
    co_return co_await Item::withLocks(std::move(locks), link);
}

tasks::Task<fskit::FSFileName> Volume::readSymbolicLink(ItemPointer itemPointer)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Channel> connected = requireChannel();
    auto readLink = [&]() -> tasks::Task<fskit::FSFileName> {
        Request readlink(FUSE_READLINK, nodeIDOf(item->attributes->fileID()), 0, 0, 0);
        Reply reply = co_await connected->process(std::move(readlink));
        // The target is the whole payload, byte for byte: no terminator is stripped or added.
        co_return std::move(reply).consume([](std::span<const std::byte> bytes) {
            const auto* first = reinterpret_cast<const std::uint8_t*>(bytes.data());
            return fskit::FSFileName(std::vector<std::uint8_t>(first, first + bytes.size()));
        });
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_return co_await Item::withLocks(std::move(locks), readLink);
}

void Volume::createItem(fskit::FSFileName name, fskit::FSItemType type, ItemPointer directory,
    std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes, ItemAndNameReply replyHandler)
{
    replyWhenDone(shared_from_this(),
        createItem(std::move(name), type, std::move(directory), std::move(newAttributes)),
        std::move(replyHandler));
}

// The attributes FSKit passes are not sent: the daemon sets a symbolic link's own.
void Volume::createSymbolicLink(fskit::FSFileName name, ItemPointer directory,
    std::shared_ptr<fskit::FSItemSetAttributesRequest>, fskit::FSFileName contents,
    ItemAndNameReply replyHandler)
{
    replyWhenDone(shared_from_this(),
        createSymbolicLink(std::move(name), std::move(directory), std::move(contents)),
        std::move(replyHandler));
}

void Volume::createLink(
    ItemPointer item, fskit::FSFileName name, ItemPointer directory, NameReply replyHandler)
{
    replyWhenDone(shared_from_this(), createLink(std::move(item), std::move(name), std::move(directory)),
        std::move(replyHandler));
}

void Volume::readSymbolicLink(ItemPointer item, NameReply replyHandler)
{
    replyWhenDone(shared_from_this(), readSymbolicLink(std::move(item)), std::move(replyHandler));
}

} // namespace vl
