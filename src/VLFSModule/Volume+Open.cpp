// Opening, closing, reading and writing files: one daemon handle per item, shared by every FSKit
// open of it and counted, and data moved in chunks of at most ioSize() bytes, one at a time.
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

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace vl {
namespace {

// Darwin's open flags as the daemon receives them.
constexpr std::uint32_t openReadOnly = 0x0;
constexpr std::uint32_t openWriteOnly = 0x1;
constexpr std::uint32_t openReadWrite = 0x2;
// Opens a symbolic link itself instead of what it points to.
constexpr std::uint32_t openSymbolicLink = 0x200000;

std::string describe(fskit::FSVolumeOpenModes modes)
{
    switch (modes.rawValue) {
    case 0:
        return "-";
    case 1:
        return "r";
    case 2:
        return "w";
    case 3:
        return "rw";
    default:
        return "?";
    }
}

std::string quotedName(const Item& item)
{
    std::optional<fskit::FSFileName> name = item.debugName();
    return name ? "\"" + name->description() + "\"" : std::string("<n/a>");
}

// FSKit never opens or closes a FIFO through the file system; such a call is refused. The cached
// type is read under the item's lock because attribute replies rewrite it.
void refuseFIFO(const Item& item)
{
    if (item.attributes->type() == fskit::FSItemType::fifo)
        throw fskit::fs_errorForPOSIXError(posix::eperm);
}

// The handle of an open item, or EIO: reading or writing needs an open.
std::shared_ptr<Item::FileHandle> requireHandle(const Item& item)
{
    item.assertLocked(Item::LockMode::reading(false));
    if (!item.fh)
        throw fskit::fs_errorForPOSIXError(posix::eio);
    return item.fh;
}

std::uint64_t fuseOffset(std::int64_t offset)
{
    if (offset < 0)
        fatalError("Negative file offset", "VLFSModule/Volume");
    return static_cast<std::uint64_t>(offset);
}

std::uint32_t fuseSize(std::int64_t chunk)
{
    if (chunk < 0 || chunk > std::numeric_limits<std::uint32_t>::max())
        fatalError("I/O chunk does not fit 32 bits", "VLFSModule/Volume");
    return static_cast<std::uint32_t>(chunk);
}

} // namespace

tasks::Task<void> Volume::openItem(ItemPointer itemPointer, OpenModes modes)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    auto open = [&]() -> tasks::Task<void> {
        refuseFIFO(*item);
        fsModule().info("open name=%s modes=%s", quotedName(*item), describe(modes));
        item->assertLocked(Item::LockMode::writing());
        if (item->fh) {
            ++item->fh->count;
            co_return;
        }
        std::shared_ptr<Channel> connected = requireChannel();
        fskit::FSItemType type = item->attributes->type();
        bool directory = type == fskit::FSItemType::directory;
        std::uint32_t flags = openReadOnly;
        if (!directory) {
            if (modes.rawValue == 2)
                flags = openWriteOnly;
            else if (modes.rawValue == 3)
                flags = openReadWrite;
            if (type == fskit::FSItemType::symlink)
                flags |= openSymbolicLink;
        }
        Request request(directory ? FUSE_OPENDIR : FUSE_OPEN, nodeIDOf(item->attributes->fileID()), 0, 0, 0,
            Request::Part::managed<fuse_open_in>([flags](fuse_open_in& in) { in.flags = flags; }));
        Reply reply = co_await connected->process(std::move(request));
        fuse_open_out opened
            = std::move(reply).consume<fuse_open_out>([](const fuse_open_out& out) { return out; });
        item->fh = std::make_shared<Item::FileHandle>(modes, opened.fh, flags, opened.open_flags);
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_await Item::withLocks(std::move(locks), open);
}

tasks::Task<void> Volume::closeItem(ItemPointer itemPointer, OpenModes keptModes)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    auto close = [&]() -> tasks::Task<void> {
        refuseFIFO(*item);
        fsModule().info("close name=%s modes=%s", quotedName(*item), describe(keptModes));
        item->assertLocked(Item::LockMode::writing());
        std::shared_ptr<Item::FileHandle> handle = item->fh;
        if (!handle)
            co_return;
        --handle->count;
        if (!keptModes.isEmpty())
            co_return;
        if (handle->count != 0) {
            fsModule().error("Mismatch of open and close calls");
            throw fskit::fs_errorForPOSIXError(posix::eio);
        }
        std::shared_ptr<Channel> connected = requireChannel();
        bool directory = item->attributes->type() == fskit::FSItemType::directory;
        Request request(directory ? FUSE_RELEASEDIR : FUSE_RELEASE, nodeIDOf(item->attributes->fileID()), 0,
            0, 0, Request::Part::managed<fuse_release_in>([&handle](fuse_release_in& in) {
                in.fh = handle->fileDescriptor;
                in.flags = handle->flags;
            }));
        // A failed release leaves the handle on the item at count 0, so that the next open
        // reuses it and its last close asks the daemon again.
        co_await connected->process(std::move(request));
        item->fh.reset();
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_await Item::withLocks(std::move(locks), close);
}

tasks::Task<std::int64_t> Volume::read(
    ItemPointer itemPointer, std::int64_t offset, std::int64_t length, std::span<std::uint8_t> buffer)
{
    os::signpostEvent("volume.start");
    std::shared_ptr<Item> item = requireItem(itemPointer);
    if (length > static_cast<std::int64_t>(buffer.size()))
        fatalError("Read longer than its buffer", "VLFSModule/Volume");
    auto readChunks = [&]() -> tasks::Task<std::int64_t> {
        std::shared_ptr<Item::FileHandle> handle = requireHandle(*item);
        std::shared_ptr<Channel> connected = requireChannel();
        std::uint64_t node = nodeIDOf(item->attributes->fileID());
        std::int64_t total = 0;
        std::int64_t remaining = length;
        while (remaining > 0) {
            std::int64_t chunk = std::min(ioSize(), remaining);
            fuse_read_in in {};
            in.fh = handle->fileDescriptor;
            in.offset = fuseOffset(offset + total);
            in.size = fuseSize(chunk);
            Request request(FUSE_READ, node, 0, 0, 0,
                Request::Part::managed<fuse_read_in>([&in](fuse_read_in& out) { out = in; }));
            Reply reply = co_await connected->process(std::move(request));
            os::signpostEvent("volume.resumed");
            std::int64_t received = reply.count();
            if (received > chunk)
                throw fskit::fs_errorForPOSIXError(posix::eio);
            // The payload may lie in several regions; each is copied straight into place.
            std::uint8_t* destination = buffer.data() + total;
            for (const DiscontiguousData::Region& region : reply.data().regions()) {
                std::memcpy(destination, region.bytes().data(), region.bytes().size());
                destination += region.bytes().size();
            }
            total += received;
            remaining -= received;
            if (received < chunk)
                break;
        }
        co_return total;
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::reading(item) };
    co_return co_await Item::withLocks(std::move(locks), readChunks);
}

tasks::Task<std::int64_t> Volume::write(
    DiscontiguousData contents, ItemPointer itemPointer, std::int64_t offset)
{
    os::signpostEvent("volume.start");
    std::shared_ptr<Item> item = requireItem(itemPointer);
    auto writeChunks = [&]() -> tasks::Task<std::int64_t> {
        std::shared_ptr<Item::FileHandle> handle = requireHandle(*item);
        std::shared_ptr<Channel> connected = requireChannel();
        std::uint64_t node = nodeIDOf(item->attributes->fileID());
        std::int64_t total = 0;
        std::int64_t remaining = contents.count();
        while (remaining > 0) {
            std::int64_t chunk = std::min(ioSize(), remaining);
            fuse_write_in in {};
            in.fh = handle->fileDescriptor;
            in.offset = fuseOffset(offset + total);
            in.size = fuseSize(chunk);
            // The chunk is a slice of the caller's bytes: the request references them.
            Request request(FUSE_WRITE, node, 0, 0, 0,
                Request::Part::managed<fuse_write_in>([&in](fuse_write_in& out) { out = in; }),
                Request::Part::unmanaged(contents[{ total, total + chunk }]));
            Reply reply = co_await connected->process(std::move(request));
            os::signpostEvent("volume.resumed");
            std::int64_t written = std::move(reply).consume<fuse_write_out>(
                [](const fuse_write_out& out) { return out.size; });
            // A daemon cannot have written bytes it was never sent. Counting them would report
            // more than the caller gave and skip data at the next offset, so the write fails as
            // a read does whose reply is longer than its chunk.
            if (written > chunk)
                throw fskit::fs_errorForPOSIXError(posix::eio);
            total += written;
            remaining -= written;
            if (written < chunk)
                break;
        }
        co_return total;
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_return co_await Item::withLocks(std::move(locks), writeChunks);
}

void Volume::openItem(ItemPointer item, OpenModes modes, ErrorReply replyHandler)
{
    replyWhenDone(shared_from_this(), openItem(std::move(item), modes), std::move(replyHandler));
}

void Volume::closeItem(ItemPointer item, OpenModes modes, ErrorReply replyHandler)
{
    replyWhenDone(shared_from_this(), closeItem(std::move(item), modes), std::move(replyHandler));
}

namespace {

// Keeps FSKit's buffer alive while the read fills it.
tasks::Task<std::int64_t> readInto(
    [[maybe_unused]] std::shared_ptr<fskit::FSMutableFileDataBuffer> buffer, tasks::Task<std::int64_t> read)
{
    co_return co_await std::move(read);
}

} // namespace

void Volume::read(ItemPointer item, std::int64_t offset, std::int64_t length,
    std::shared_ptr<fskit::FSMutableFileDataBuffer> buffer,
    std::function<void(std::int64_t bytesRead, std::exception_ptr error)> replyHandler)
{
    std::span<std::uint8_t> bytes = buffer->mutableBytes();
    replyWhenDone(shared_from_this(),
        readInto(std::move(buffer), read(std::move(item), offset, length, bytes)), std::move(replyHandler));
}

void Volume::write(foundation::Data contents, ItemPointer item, std::int64_t offset,
    std::function<void(std::int64_t bytesWritten, std::exception_ptr error)> replyHandler)
{
    // The requests reference the caller's bytes, moved (not copied) into storage they share.
    auto owner = std::make_shared<const foundation::Data>(std::move(contents));
    std::span<const std::byte> bytes = std::as_bytes(owner->bytes());
    DiscontiguousData data(DiscontiguousData::Region(std::move(owner), bytes));
    replyWhenDone(
        shared_from_this(), write(std::move(data), std::move(item), offset), std::move(replyHandler));
}

} // namespace vl
