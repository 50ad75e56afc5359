// Listing a directory: READDIR replies on the directory's open handle turned into packer calls,
// with attributes fetched per entry only when FSKit wants them or the daemon left them out.
#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "VLChannel/DirectoryEntry.h"
#include "VLChannel/Request.h"
#include "VLFSModule/FSItemAttributes+FUSE.h"
#include "VLFSModule/ItemFileHandle.h"
#include "VLFSModule/OperationReply.h"

#include <vector>

namespace vl {
namespace {

// The payload size of every READDIR.
constexpr std::uint32_t directoryReadSize = 10240;

bool isDotOrDotDot(const fskit::FSFileName& name)
{
    std::optional<std::string> text = name.string();
    return text && (*text == "." || *text == "..");
}

// The attributes of one listed entry, from the daemon; none when it cannot give them.
tasks::Task<std::optional<fskit::FSItemAttributes>> entryAttributes(
    Channel& connected, std::uint64_t directoryNode, Request::Part name, fskit::FSItem::Identifier id)
{
    fskit::FSItemAttributes attributes;
    try {
        if (id == fskit::FSItem::Identifier::invalid) {
            // The daemon gave no inode number: a lookup finds the node, and the lookup it counted
            // for that node id is given back at once since the entry makes no item.
            Request lookup(FUSE_LOOKUP, directoryNode, 0, 0, 0, std::move(name));
            Reply reply = co_await connected.process(std::move(lookup));
            fuse_entry_out entry
                = std::move(reply).consume<fuse_entry_out>([](const fuse_entry_out& out) { return out; });
            apply(attributes, entry.attr);
            Request forget(FUSE_FORGET, entry.nodeid, 0, 0, 0,
                Request::Part::managed<fuse_forget_in>([](fuse_forget_in& in) { in.nlookup = 1; }));
            co_await connected.send(forget);
        } else {
            Request getattr(FUSE_GETATTR, nodeIDOf(id), 0, 0, 0, Request::Part::managed<fuse_getattr_in>());
            Reply reply = co_await connected.process(std::move(getattr));
            apply(attributes,
                std::move(reply).consume<fuse_attr_out>([](const fuse_attr_out& out) { return out.attr; }));
        }
    } catch (const std::exception&) {
        // An entry whose attributes cannot be had (removed meanwhile, say) is left out of the
        // listing; the listing itself goes on.
        co_return std::nullopt;
    }
    co_return attributes;
}

} // namespace

tasks::Task<fskit::FSDirectoryVerifier> Volume::enumerateDirectory(ItemPointer directoryItem,
    fskit::FSDirectoryCookie startingAt, std::shared_ptr<fskit::FSItemGetAttributesRequest> wanted,
    std::shared_ptr<fskit::FSDirectoryEntryPacker> packer)
{
    std::shared_ptr<Item> directory = std::dynamic_pointer_cast<Item>(directoryItem);
    if (!directory)
        throw fskit::fs_errorForPOSIXError(posix::enoent);
    bool withoutAttributes = !wanted || wanted->wantedAttributes.isEmpty();
    auto enumerate = [&]() -> tasks::Task<fskit::FSDirectoryVerifier> {
        directory->assertLocked(Item::LockMode::writing());
        if (!directory->fh)
            throw fskit::fs_errorForPOSIXError(posix::ebadf);
        std::shared_ptr<Channel> connected = requireChannel();
        const std::uint64_t handle = directory->fh->fileDescriptor;
        const std::uint64_t node = nodeIDOf(directory->attributes->fileID());
        std::uint64_t offset = startingAt;
        while (true) {
            Request readdir(FUSE_READDIR, node, 0, 0, 0,
                Request::Part::managed<fuse_read_in>([handle, offset](fuse_read_in& in) {
                    in.fh = handle;
                    in.offset = offset;
                    in.size = directoryReadSize;
                }));
            Reply reply = co_await connected->process(std::move(readdir));
            if (reply.count() == 0)
                co_return fskit::FSDirectoryVerifierInitial;
            // A reply of a few bytes that hold no record would be asked for again and again at
            // the same offset: it is as malformed as a record cut short.
            if (reply.count() <= static_cast<std::ptrdiff_t>(sizeof(fuse_dirent)))
                throw ConsumableError(ConsumableError::Kind::insufficientData);
            while (std::optional<DirectoryEntry> record = DirectoryEntry::consumeNext(reply)) {
                // Skipped records move the offset too, so the next READDIR starts after them.
                offset = record->dirent.off;
                fskit::FSFileName name(std::vector<std::uint8_t>(record->name.begin(), record->name.end()));
                if (isDotOrDotDot(name))
                    continue;
                fskit::FSItem::Identifier id = fileIDFromFUSE(record->dirent.ino);
                fskit::FSItemType type = itemTypeFrom(record->dirent.type);
                bool complete
                    = id != fskit::FSItem::Identifier::invalid && type != fskit::FSItemType::unknown;
                if (complete && withoutAttributes) {
                    if (!packer->packEntry(name, type, id, record->dirent.off, nullptr))
                        co_return fskit::FSDirectoryVerifierInitial;
                    continue;
                }
                std::optional<fskit::FSItemAttributes> attributes
                    = co_await entryAttributes(*connected, node, namePart(name), id);
                if (!attributes)
                    continue;
                if (!packer->packEntry(
                        name, attributes->type(), attributes->fileID(), record->dirent.off, &*attributes))
                    co_return fskit::FSDirectoryVerifierInitial;
            }
        }
    };
    std::vector<Item::LockStateConstraint> locks { Item::LockStateConstraint::writing(directory) };
    co_return co_await Item::withLocks(std::move(locks), enumerate);
}

void Volume::enumerateDirectory(ItemPointer directory, fskit::FSDirectoryCookie startingAt,
    fskit::FSDirectoryVerifier, std::shared_ptr<fskit::FSItemGetAttributesRequest> attributes,
    std::shared_ptr<fskit::FSDirectoryEntryPacker> packer,
    std::function<void(fskit::FSDirectoryVerifier, std::exception_ptr)> replyHandler)
{
    // The verifier is not used: a listing resumes from its cookie alone.
    replyWhenDone(shared_from_this(),
        enumerateDirectory(std::move(directory), startingAt, std::move(attributes), std::move(packer)),
        std::move(replyHandler));
}

} // namespace vl
