// Making names: mknod, mkdir, create (made, then opened for the caller), symlink and link, and
// reading a link. A new item belongs to the caller of the kernel request: its FSKit attributes
// carry the caller's uid, the caller's gid or the directory's when that is set-group-ID, and the
// mode the kernel passes (already masked by the caller's umask). Every entry answered is a lookup
// the kernel holds.
#include "vorlane-fskitd/KernelAttributes.h"
#include "vorlane-fskitd/KernelOperations+Pending.h"

#include <fcntl.h>

#include <chrono>
#include <string>

namespace host {
namespace {

std::optional<fskit::FSItemType> itemTypeOf(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return fskit::FSItemType::file;
    case S_IFIFO:
        return fskit::FSItemType::fifo;
    case S_IFSOCK:
        return fskit::FSItemType::socket;
    case S_IFCHR:
        return fskit::FSItemType::charDevice;
    case S_IFBLK:
        return fskit::FSItemType::blockDevice;
    default:
        return std::nullopt;
    }
}

} // namespace

void KernelOperations::make(fuse_req_t request, const ItemPointer& directory, const char* name, mode_t mode,
    bool directoryMode, Maker maker, Found made)
{
    fuse_ctx caller = *fuse_req_ctx(request);
    fskit::FSFileName itemName = nameOf(name);
    auto makeIn = [this, directory, itemName, mode, directoryMode, caller, maker, made](
                      const struct stat& parent) {
        maker(directory, itemName, newItemAttributes(caller.uid, caller.gid, parent, mode, directoryMode),
            [this, directory, itemName, made](
                ItemPointer item, std::optional<fskit::FSFileName>, std::exception_ptr failure) {
                if (failure) {
                    // An item made before the failure gives back the lookup it was registered with.
                    if (item && table->admit(item, [] {}))
                        table->drop(item, 1);
                    return made(nullptr, nullptr, failure);
                }
                // A node whose reclaim raced its making comes back as a new item by its name.
                if (table->admit(
                        item, [this, directory, itemName, made] { find(directory, itemName, made); }))
                    admitted(item, made);
            });
    };
    // The directory's own attributes tell whether it passes its group on: those the kernel still
    // trusts will do.
    constexpr auto lifetime = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(attributeTimeout));
    if (std::optional<struct stat> parent = table->toldWithin(directory, lifetime))
        return makeIn(*parent);
    volume->attributes(
        everyAttribute(), directory, [makeIn, made](Attributes parent, std::exception_ptr error) {
            if (error)
                return made(nullptr, nullptr, error);
            makeIn(statFrom(*parent));
        });
}

KernelOperations::Found KernelOperations::entryAnswer(fuse_req_t request)
{
    return
        [this, answer = pending(request)](ItemPointer item, Attributes attributes, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answerEntry(answer, item, *attributes);
        };
}

KernelOperations::Maker KernelOperations::itemMaker(fskit::FSItemType type)
{
    return [this, type](ItemPointer directory, fskit::FSFileName name, SetAttributes attributes,
               fskit::FSVolume::ItemAndNameReply reply) {
        volume->createItem(
            std::move(name), type, std::move(directory), std::move(attributes), std::move(reply));
    };
}

void KernelOperations::mknod(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode)
{
    // The volume sends the mode it is given as it is, so the type bits in it are what tells the
    // daemon which kind of special file to make. Special files are made without a device number.
    std::optional<fskit::FSItemType> type = itemTypeOf(mode);
    if (!type)
        return static_cast<void>(fuse_reply_err(request, EINVAL));
    ItemPointer directory = itemOrStale(request, parent);
    if (directory)
        make(
            request, directory, name, mode & (S_IFMT | 07777), false, itemMaker(*type), entryAnswer(request));
}

void KernelOperations::mkdir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode)
{
    if (ItemPointer directory = itemOrStale(request, parent))
        make(request, directory, name, mode & 07777, true, itemMaker(fskit::FSItemType::directory),
            entryAnswer(request));
}

void KernelOperations::symlink(fuse_req_t request, const char* target, fuse_ino_t parent, const char* name)
{
    fskit::FSFileName contents = nameOf(target);
    // The volume sends no attributes with a symbolic link; its owner is set once it exists.
    Maker maker = [this, contents](ItemPointer directory, fskit::FSFileName linkName,
                      SetAttributes attributes, fskit::FSVolume::ItemAndNameReply reply) {
        volume->createSymbolicLink(std::move(linkName), std::move(directory), attributes, contents,
            [this, attributes, reply](
                ItemPointer item, std::optional<fskit::FSFileName> given, std::exception_ptr error) {
                if (error)
                    return reply(nullptr, std::nullopt, error);
                auto owner = std::make_shared<fskit::FSItemSetAttributesRequest>();
                owner->setUid(attributes->uid());
                owner->setGid(attributes->gid());
                volume->setAttributes(
                    owner, item, [item, given, reply](Attributes, std::exception_ptr failure) {
                        reply(item, given, failure);
                    });
            });
    };
    if (ItemPointer directory = itemOrStale(request, parent))
        make(request, directory, name, 0777, false, maker, entryAnswer(request));
}

void KernelOperations::create(
    fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* file)
{
    ItemPointer directory = itemOrStale(request, parent);
    if (!directory)
        return;
    fuse_file_info opened = *file;
    // As for open().
    opened.noflush = 1;
    opened.keep_cache = 1;
    PendingRequest answer = pending(request);
    Found open = [this, answer, opened](ItemPointer item, Attributes attributes, std::exception_ptr error) {
        if (error)
            return answer->fail(error);
        fuse_entry_param entry = entryFor(item, *attributes);
        openHandle(
            answer, item, entry.ino, modesOf(opened.flags), opened,
            [this, entry, item](Pending& request, const fuse_file_info& handle) {
                bool taken = request.created(entry, handle);
                if (!taken)
                    table->drop(item, 1);
                return taken;
            },
            [this, item] { table->drop(item, 1); });
    };
    // The volume always makes a file exclusively; without O_EXCL an existing file is opened.
    bool exclusive = (file->flags & O_EXCL) != 0;
    make(request, directory, name, mode & 07777, false, itemMaker(fskit::FSItemType::file),
        [this, directory, exclusive, open, nameText = std::string(name)](
            ItemPointer item, Attributes attributes, std::exception_ptr error) {
            if (error && !exclusive && linuxErrnoFor(error) == EEXIST)
                return find(directory, nameOf(nameText.c_str()), open);
            open(std::move(item), std::move(attributes), error);
        });
}

void KernelOperations::link(fuse_req_t request, fuse_ino_t inode, fuse_ino_t parent, const char* name)
{
    ItemPointer item = itemOrStale(request, inode);
    ItemPointer directory = item ? itemOrStale(request, parent) : nullptr;
    if (!directory)
        return;
    volume->createLink(item, nameOf(name), directory,
        [this, item, answered = entryAnswer(request)](
            std::optional<fskit::FSFileName>, std::exception_ptr error) {
            if (error)
                return answered(nullptr, nullptr, error);
            // The kernel holds the item while it links it, so no reclaim can be in flight.
            if (table->admit(item, [answered] {
                    answered(nullptr, nullptr, std::make_exception_ptr(std::runtime_error("reclaimed")));
                }))
                admitted(item, answered);
        });
}

void KernelOperations::readlink(fuse_req_t request, fuse_ino_t inode)
{
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    volume->readSymbolicLink(
        item, [answer = pending(request)](std::optional<fskit::FSFileName> target, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            std::span<const std::uint8_t> bytes = target->data();
            answer->target(std::string(bytes.begin(), bytes.end()).c_str());
        });
}

} // namespace host
