// Removing and renaming names. Both change only the daemon's namespace and the cached names and
// parents of the items involved: items leave the table only when FSKit reclaims them.
#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "VLChannel/Request.h"
#include "VLFSModule/FSItemAttributes+FUSE.h"
#include "VLFSModule/OperationReply.h"

#include <vector>

namespace vl {
namespace {

// Darwin's rename flags, which the daemon receives as they are. A rename always carries one of
// them: without a replaced item the new name must be free, with one the two names are exchanged,
// so the daemon never replaces (and drops) a node behind the volume's back.
constexpr std::uint32_t renameSwap = 2; // RENAME_SWAP
constexpr std::uint32_t renameExclusive = 4; // RENAME_EXCL

// Removal answers an item that is not ours with ENOENT: to the caller such an item does not
// exist in this volume.
std::shared_ptr<Item> requireRemovable(const Volume::ItemPointer& item)
{
    std::shared_ptr<Item> ours = std::dynamic_pointer_cast<Item>(item);
    if (!ours)
        throw fskit::fs_errorForPOSIXError(posix::enoent);
    return ours;
}

} // namespace

tasks::Task<void> Volume::removeItem(
    ItemPointer itemPointer, fskit::FSFileName name, ItemPointer directoryPointer)
{
    std::shared_ptr<Item> item = requireRemovable(itemPointer);
    std::shared_ptr<Item> directory = requireRemovable(directoryPointer);
    std::shared_ptr<Channel> connected = requireChannel();
    auto remove = [&]() -> tasks::Task<void> {
        fuse_opcode operation
            = item->attributes->type() == fskit::FSItemType::directory ? FUSE_RMDIR : FUSE_UNLINK;
        Request request(operation, nodeIDOf(directory->attributes->fileID()), 0, 0, 0, namePart(name));
        (void)co_await connected->process(std::move(request));
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(directory),
        Item::LockStateConstraint::writing(item) };
    co_await Item::withLocks(std::move(locks), remove);
}

tasks::Task<fskit::FSFileName> Volume::renameItem(ItemPointer itemPointer, ItemPointer sourceDirectoryPointer,
    fskit::FSFileName sourceName, fskit::FSFileName destinationName, ItemPointer destinationDirectoryPointer,
    ItemPointer overItemPointer)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Item> sourceDirectory = requireItem(sourceDirectoryPointer);
    std::shared_ptr<Item> destinationDirectory = requireItem(destinationDirectoryPointer);
    std::shared_ptr<Item> replaced = overItemPointer ? requireItem(overItemPointer) : nullptr;
    std::shared_ptr<Channel> connected = requireChannel();
    auto rename = [&]() -> tasks::Task<fskit::FSFileName> {
        std::uint64_t newdir = nodeIDOf(destinationDirectory->attributes->fileID());
        std::uint32_t flags = replaced ? renameSwap : renameExclusive;
        Request request(FUSE_RENAME, nodeIDOf(sourceDirectory->attributes->fileID()), 0, 0, 0,
            Request::Part::managed<fuse_rename_in>([newdir, flags](fuse_rename_in& in) {
                in.newdir = newdir;
                in.flags = flags;
            }),
            namePart(sourceName), namePart(destinationName));
        (void)co_await connected->process(std::move(request));
        // Only a successful exchange reaches here, so a failed rename leaves every item as it was.
        item->assertLocked(Item::LockMode::writing());
        item->setDebugName(destinationName);
        item->attributes->setParentID(destinationDirectory->attributes->fileID());
        if (replaced) {
            replaced->assertLocked(Item::LockMode::writing());
            replaced->setDebugName(sourceName);
            replaced->attributes->setParentID(sourceDirectory->attributes->fileID());
        }
        co_return destinationName;
    };
    // The locking layer orders the acquisition; a directory named twice is locked once.
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(sourceDirectory),
        Item::LockStateConstraint::writing(item), Item::LockStateConstraint::writing(destinationDirectory),
        Item::LockStateConstraint::writing(replaced) };
    co_return co_await Item::withLocks(std::move(locks), rename);
}

void Volume::removeItem(
    ItemPointer item, fskit::FSFileName name, ItemPointer directory, ErrorReply replyHandler)
{
    replyWhenDone(shared_from_this(), removeItem(std::move(item), std::move(name), std::move(directory)),
        std::move(replyHandler));
}

void Volume::renameItem(ItemPointer item, ItemPointer sourceDirectory, fskit::FSFileName sourceName,
    fskit::FSFileName destinationName, ItemPointer destinationDirectory, ItemPointer overItem,
    NameReply replyHandler)
{
    replyWhenDone(shared_from_this(),
        renameItem(std::move(item), std::move(sourceDirectory), std::move(sourceName),
            std::move(destinationName), std::move(destinationDirectory), std::move(overItem)),
        std::move(replyHandler));
}

} // namespace vl
