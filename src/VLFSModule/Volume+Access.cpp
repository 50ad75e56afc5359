// The access check, volume synchronisation and volume rename: the operations outside the
// lookup, data and namespace families.
#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/Tasks/Cancellation.h"
#include "VLChannel/Request.h"
#include "VLFSModule/ExchangeErrors.h"
#include "VLFSModule/FSItemAttributes+FUSE.h"
#include "VLFSModule/FSModuleLogger.h"
#include "VLFSModule/ItemFileHandle.h"
#include "VLFSModule/OperationReply.h"

#include <optional>
#include <vector>

namespace vl {
namespace {

// FUSE access bits (the same on Darwin and Linux).
constexpr std::uint32_t readOK = 4;
constexpr std::uint32_t writeOK = 2;
constexpr std::uint32_t executeOK = 1;
// FSKit's bits that need reading, writing and execution: read data, read attributes, read
// extended attributes and read security; write data, delete, append, delete child, write
// attributes, write extended attributes and write security; execute or search.
constexpr std::uint32_t readingAccess = 0xA82;
constexpr std::uint32_t writingAccess = 0x1574;
constexpr std::uint32_t executingAccess = 0x8;
// Bits 1 to 13 of FSKit's mask; a daemon that checks extended access gets them 8 places up.
constexpr std::uint32_t extendedAccess = 0x3FFE;
constexpr unsigned extendedAccessShift = 8;
// fuse_fsync_in.fsync_flags: synchronise the data only.
constexpr std::uint32_t fsyncDataOnly = 1;

std::uint32_t fuseAccessMask(std::uint32_t requested, bool extendedAccessInhibited)
{
    std::uint32_t mask = 0;
    if (requested & readingAccess)
        mask |= readOK;
    if (requested & writingAccess)
        mask |= writeOK;
    if (requested & executingAccess)
        mask |= executeOK;
    if (!extendedAccessInhibited)
        mask |= (requested & extendedAccess) << extendedAccessShift;
    return mask;
}

// The answer to a failed access exchange: false for the refusals that mean "no access", an
// error otherwise (ENOSYS as ENOTSUP); errors of other kinds pass unchanged.
bool refusalOrRethrow(std::exception_ptr error)
{
    std::optional<int> code;
    try {
        std::rethrow_exception(error);
    } catch (const foundation::POSIXError& posixError) {
        code = posixError.errnoCode();
    } catch (...) {
    }
    if (!code)
        std::rethrow_exception(error);
    if (*code == posix::eacces || *code == posix::etxtbsy || *code == posix::erofs)
        return false;
    throw fskit::fs_errorForPOSIXError(*code == posix::enosys ? posix::enotsup : *code);
}

bool isSynchronized(fskit::FSItemType type)
{
    return type == fskit::FSItemType::file || type == fskit::FSItemType::directory
        || type == fskit::FSItemType::blockDevice;
}

// One item's part of a synchronisation: an fsync of its open handle, if it has one worth it.
tasks::Task<void> synchronizeItem(std::shared_ptr<Item> item, std::shared_ptr<Channel> connected)
{
    if (tasks::isCancelled())
        co_return;
    auto flush = [&]() -> tasks::Task<void> {
        item->assertLocked(Item::LockMode::writing());
        fskit::FSItemType type = item->attributes->type();
        if (item->state == Item::State::reclaimed || !isSynchronized(type) || !item->fh)
            co_return;
        // A sibling's failure cancels the others; those not yet asking stay quiet.
        if (tasks::isCancelled())
            co_return;
        std::uint64_t handle = item->fh->fileDescriptor;
        Request request(type == fskit::FSItemType::directory ? FUSE_FSYNCDIR : FUSE_FSYNC,
            nodeIDOf(item->attributes->fileID()), 0, 0, 0,
            Request::Part::managed<fuse_fsync_in>([handle](fuse_fsync_in& in) {
                in.fh = handle;
                in.fsync_flags = fsyncDataOnly;
            }));
        (void)co_await connected->process(std::move(request));
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_await translatingExchangeErrors(Item::withLocks(std::move(locks), flush));
}

} // namespace

tasks::Task<bool> Volume::checkAccess(ItemPointer itemPointer, AccessMask requestedAccess)
{
    fsModule().info("checkAccess() has been called");
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Channel> connected = requireChannel();
    std::uint32_t mask = fuseAccessMask(requestedAccess.rawValue, extendedAccessInhibited);
    auto check = [&]() -> tasks::Task<void> {
        Request request(FUSE_ACCESS, nodeIDOf(item->attributes->fileID()), 0, 0, 0,
            Request::Part::managed<fuse_access_in>([mask](fuse_access_in& in) { in.mask = mask; }));
        (void)co_await connected->process(std::move(request));
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    tasks::Result<void> outcome = co_await tasks::catching(Item::withLocks(std::move(locks), check));
    co_return outcome.isSuccess() || refusalOrRethrow(outcome.error());
}

// The flags are not used: every synchronisation waits for the daemon's answers.
tasks::Task<void> Volume::synchronize(fskit::FSSyncFlags)
{
    std::shared_ptr<Channel> connected = requireChannel();
    co_await items.forEach(
        [connected](std::shared_ptr<Item> item) { return synchronizeItem(std::move(item), connected); });
    co_await updateVolumeStatistics();
}

tasks::Task<fskit::FSFileName> Volume::setVolumeName(fskit::FSFileName name)
{
    std::shared_ptr<Channel> connected = requireChannel();
    (void)co_await connected->process(Request(FUSE_SETVOLNAME, 0, 0, 0, 0, namePart(name)));
    setName(name);
    co_return name;
}

void Volume::checkAccess(ItemPointer item, AccessMask requestedAccess,
    std::function<void(bool granted, std::exception_ptr error)> replyHandler)
{
    replyWhenDone(shared_from_this(), checkAccess(std::move(item), requestedAccess), std::move(replyHandler));
}

void Volume::synchronize(fskit::FSSyncFlags flags, ErrorReply replyHandler)
{
    replyWhenDone(shared_from_this(), synchronize(flags), std::move(replyHandler));
}

void Volume::setVolumeName(fskit::FSFileName name, NameReply replyHandler)
{
    replyWhenDone(shared_from_this(), setVolumeName(std::move(name)), std::move(replyHandler));
}

} // namespace vl
