// Extended attributes: listing and reading in two steps (the size, then exactly that many bytes),
// setting with Darwin's create/replace flags, and removal.
#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "VLChannel/Request.h"
#include "VLFSModule/ExchangeErrors.h"
#include "VLFSModule/FSItemAttributes+FUSE.h"
#include "VLFSModule/OperationReply.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace vl {
namespace {

// Darwin's setxattr flags, as the daemon receives them.
constexpr std::uint32_t xattrCreate = 2; // XATTR_CREATE
constexpr std::uint32_t xattrReplace = 4; // XATTR_REPLACE

// A fuse_getxattr_in asking for `size` bytes; 0 asks for the size alone.
Request::Part sizeRequest(std::uint32_t size)
{
    return Request::Part::managed<fuse_getxattr_in>([size](fuse_getxattr_in& in) { in.size = size; });
}

std::uint32_t announcedSize(Reply reply)
{
    return std::move(reply).consume<fuse_getxattr_out>([](const fuse_getxattr_out& out) { return out.size; });
}

// Exactly `count` bytes of the reply; a shorter payload fails (and is reported as ENXIO).
std::vector<std::uint8_t> bytesOf(Reply reply, std::uint32_t count)
{
    return reply.consumePart(static_cast<std::ptrdiff_t>(count), [](std::span<const std::byte> bytes) {
        std::span<const std::uint8_t> octets(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        return std::vector<std::uint8_t>(octets.begin(), octets.end());
    });
}

// The names of a listing: the pieces between zero bytes, empty pieces dropped; a last name
// without its zero byte counts like the others.
std::vector<fskit::FSFileName> namesIn(const std::vector<std::uint8_t>& listing)
{
    std::vector<fskit::FSFileName> names;
    auto start = listing.begin();
    while (start != listing.end()) {
        auto end = std::find(start, listing.end(), std::uint8_t { 0 });
        if (end != start)
            names.emplace_back(std::vector<std::uint8_t>(start, end));
        start = end == listing.end() ? end : end + 1;
    }
    return names;
}

std::uint32_t setFlags(fskit::FSVolume::SetXattrPolicy policy)
{
    switch (policy) {
    case fskit::FSVolume::SetXattrPolicy::mustCreate:
        return xattrCreate;
    case fskit::FSVolume::SetXattrPolicy::mustReplace:
        return xattrReplace;
    default:
        return 0;
    }
}

} // namespace

tasks::Task<std::vector<fskit::FSFileName>> Volume::xattrs(ItemPointer itemPointer)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Channel> connected = requireChannel();
    auto list = [&]() -> tasks::Task<std::vector<fskit::FSFileName>> {
        std::uint64_t node = nodeIDOf(item->attributes->fileID());
        Request sizing(FUSE_LISTXATTR, node, 0, 0, 0, sizeRequest(0));
        std::uint32_t size = announcedSize(co_await connected->process(std::move(sizing)));
        if (size < 1)
            co_return std::vector<fskit::FSFileName>();
        Request fetch(FUSE_LISTXATTR, node, 0, 0, 0, sizeRequest(size));
        co_return namesIn(bytesOf(co_await connected->process(std::move(fetch)), size));
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_return co_await translatingExchangeErrors(Item::withLocks(std::move(locks), list));
}

tasks::Task<foundation::Data> Volume::xattr(fskit::FSFileName name, ItemPointer itemPointer)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Channel> connected = requireChannel();
    auto get = [&]() -> tasks::Task<foundation::Data> {
        std::uint64_t node = nodeIDOf(item->attributes->fileID());
        Request sizing(FUSE_GETXATTR, node, 0, 0, 0, sizeRequest(0), namePart(name));
        std::uint32_t size = announcedSize(co_await connected->process(std::move(sizing)));
        if (size < 1)
            co_return foundation::Data();
        Request fetch(FUSE_GETXATTR, node, 0, 0, 0, sizeRequest(size), namePart(name));
        co_return foundation::Data(bytesOf(co_await connected->process(std::move(fetch)), size));
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_return co_await translatingExchangeErrors(Item::withLocks(std::move(locks), get));
}

// Removal goes to the daemon as FUSE_REMOVEXATTR with the name alone: a FUSE_SETXATTR without a
// value would look exactly like setting an empty value, and an empty attribute is not a missing
// one. Any value FSKit passes along with the delete policy is ignored.
tasks::Task<void> Volume::setXattr(fskit::FSFileName name, std::optional<foundation::Data> value,
    ItemPointer itemPointer, SetXattrPolicy policy)
{
    std::shared_ptr<Item> item = requireItem(itemPointer);
    std::shared_ptr<Channel> connected = requireChannel();
    bool removal = policy == SetXattrPolicy::deleteXattr;
    if (!removal && !value)
        throw fskit::fs_errorForPOSIXError(posix::einval);
    // fuse_setxattr_in counts the value in 32 bits; FSKit never hands a longer one.
    if (!removal && value->size() > std::numeric_limits<std::uint32_t>::max())
        throw fskit::fs_errorForPOSIXError(posix::e2big);
    auto set = [&]() -> tasks::Task<void> {
        std::uint64_t node = nodeIDOf(item->attributes->fileID());
        if (removal) {
            (void)co_await connected->process(Request(FUSE_REMOVEXATTR, node, 0, 0, 0, namePart(name)));
            co_return;
        }
        auto size = static_cast<std::uint32_t>(value->size());
        std::uint32_t flags = setFlags(policy);
        // The request references the value's bytes and keeps them alive as long as its data lives.
        auto owned = std::make_shared<const foundation::Data>(std::move(*value));
        std::span<const std::uint8_t> bytes = owned->bytes();
        Request request(FUSE_SETXATTR, node, 0, 0, 0,
            Request::Part::managed<fuse_setxattr_in>([size, flags](fuse_setxattr_in& in) {
                in.size = size;
                in.flags = flags;
            }),
            namePart(name), Request::Part::unmanaged(DiscontiguousData::Region(owned, std::as_bytes(bytes))));
        (void)co_await connected->process(std::move(request));
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(item) };
    co_await translatingExchangeErrors(Item::withLocks(std::move(locks), set));
}

void Volume::xattrs(ItemPointer item,
    std::function<void(std::vector<fskit::FSFileName> names, std::exception_ptr error)> replyHandler)
{
    replyWhenDone(shared_from_this(), xattrs(std::move(item)), std::move(replyHandler));
}

void Volume::xattr(fskit::FSFileName name, ItemPointer item,
    std::function<void(std::optional<foundation::Data> value, std::exception_ptr error)> replyHandler)
{
    replyWhenDone(shared_from_this(), xattr(std::move(name), std::move(item)), std::move(replyHandler));
}

void Volume::setXattr(fskit::FSFileName name, std::optional<foundation::Data> value, ItemPointer item,
    SetXattrPolicy policy, ErrorReply replyHandler)
{
    replyWhenDone(shared_from_this(), setXattr(std::move(name), std::move(value), std::move(item), policy),
        std::move(replyHandler));
}

} // namespace vl
