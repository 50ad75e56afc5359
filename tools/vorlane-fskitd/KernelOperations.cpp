#include "vorlane-fskitd/KernelOperations.h"

#include "vorlane-fskitd/KernelAttributes.h"
#include "vorlane-fskitd/KernelOperations+Pending.h"

#include "Platform/OS/Signpost.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace host {

std::shared_ptr<fskit::FSItemGetAttributesRequest> KernelOperations::everyAttribute()
{
    return std::make_shared<fskit::FSItemGetAttributesRequest>(fskit::FSItemAttribute(~std::uint64_t { 0 }));
}

fskit::FSFileName KernelOperations::nameOf(const char* name)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name);
    return fskit::FSFileName(std::vector<std::uint8_t>(bytes, bytes + std::strlen(name)));
}

KernelOperations::KernelOperations(std::shared_ptr<fskit::FSVolume> volume, std::shared_ptr<NodeTable> nodes)
    : volume(std::move(volume))
    , table(std::move(nodes))
    , noCapabilities(std::chrono::duration_cast<CapabilityAbsence::Clock::duration>(
          std::chrono::duration<double>(attributeTimeout)))
{
}

KernelOperations::PendingRequest KernelOperations::pending(fuse_req_t request)
{
    {
        std::lock_guard guard(answeredMutex);
        ++unanswered;
    }
    return std::make_shared<Pending>(*this, request);
}

void KernelOperations::answered()
{
    std::lock_guard guard(answeredMutex);
    if (--unanswered == 0)
        allAnswered.notify_all();
}

bool KernelOperations::waitUntilAnswered(std::chrono::milliseconds limit)
{
    std::unique_lock guard(answeredMutex);
    return allAnswered.wait_for(guard, limit, [this] { return unanswered == 0; });
}

NodeTable::ItemPointer KernelOperations::itemOrStale(fuse_req_t request, fuse_ino_t inode)
{
    ItemPointer item = table->item(inode);
    if (!item)
        fuse_reply_err(request, ESTALE);
    return item;
}

void KernelOperations::init(fuse_conn_info* connection)
{
    // FSKit times carry nanoseconds.
    connection->time_gran = 1;
    // libfuse announces max_pages to the kernel from max_write.
    connection->max_write = maximumTransfer;
    // Without atomic O_TRUNC the kernel truncates an open with O_TRUNC itself, by a setattr of
    // size 0 on the new handle, which becomes the volume's setAttributes.
    connection->want &= ~unsigned { FUSE_CAP_ATOMIC_O_TRUNC };
    // The kernel clears set-user-ID and set-group-ID bits on write and chown itself, by setattr,
    // instead of leaving that to a daemon that may not know it is expected to.
    connection->want &= ~unsigned { FUSE_CAP_HANDLE_KILLPRIV };
}

void KernelOperations::destroy()
{
    table->forgetAll({});
}

void KernelOperations::lookup(fuse_req_t request, fuse_ino_t parent, const char* name)
{
    os::signpostEvent("host.callback");
    ItemPointer directory = itemOrStale(request, parent);
    if (!directory)
        return;
    find(directory, nameOf(name),
        [this, answer = pending(request)](ItemPointer item, Attributes attributes, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answerEntry(answer, item, *attributes);
        });
}

void KernelOperations::find(const ItemPointer& directory, const fskit::FSFileName& name, Found found)
{
    lookUp(directory, name, [this, found](ItemPointer item, std::exception_ptr error) {
        if (error)
            return found(nullptr, nullptr, error);
        admitted(item, found);
    });
}

void KernelOperations::findKind(const ItemPointer& directory, const fskit::FSFileName& name, FoundKind found)
{
    lookUp(directory, name, [this, found](ItemPointer item, std::exception_ptr error) {
        if (error)
            return found(nullptr, false, error);
        // An item the kernel has been told of needs no attributes to tell its kind.
        if (std::optional<bool> directory = table->isDirectory(item))
            return found(item, *directory, nullptr);
        admitted(item, [found](ItemPointer item, Attributes attributes, std::exception_ptr error) {
            found(item, attributes && attributes->type() == fskit::FSItemType::directory, error);
        });
    });
}

void KernelOperations::lookUp(const ItemPointer& directory, const fskit::FSFileName& name, Admitted admitted)
{
    volume->lookupItem(name, directory,
        [this, directory, name, admitted](
            ItemPointer item, std::optional<fskit::FSFileName>, std::exception_ptr error) {
            if (error)
                return admitted(nullptr, error);
            // An item whose reclaim raced this lookup is dead: ask again once it is gone.
            if (table->admit(item, [this, directory, name, admitted] { lookUp(directory, name, admitted); }))
                admitted(item, nullptr);
        });
}

void KernelOperations::admitted(const ItemPointer& item, Found found)
{
    volume->attributes(
        everyAttribute(), item, [this, item, found](Attributes attributes, std::exception_ptr error) {
            if (error) {
                table->drop(item, 1);
                return found(nullptr, nullptr, error);
            }
            found(item, std::move(attributes), nullptr);
        });
}

fuse_entry_param KernelOperations::entryFor(
    const ItemPointer& item, const fskit::FSItemAttributes& attributes)
{
    fuse_entry_param entry {};
    entry.attr = statFrom(attributes);
    entry.ino = entry.attr.st_ino;
    entry.attr_timeout = attributeTimeout;
    entry.entry_timeout = entryTimeout;
    table->identify(item, entry.ino);
    table->told(item, entry.attr);
    return entry;
}

void KernelOperations::answerEntry(
    const PendingRequest& request, const ItemPointer& item, const fskit::FSItemAttributes& attributes)
{
    if (!request->entry(entryFor(item, attributes)))
        table->drop(item, 1);
}

void KernelOperations::getattr(fuse_req_t request, fuse_ino_t inode)
{
    os::signpostEvent("host.callback");
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    volume->attributes(everyAttribute(), item,
        [this, item, answer = pending(request)](Attributes attributes, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answerAttributes(answer, item, *attributes);
        });
}

void KernelOperations::setattr(fuse_req_t request, fuse_ino_t inode, const struct stat& wanted, int toSet)
{
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    volume->setAttributes(setAttributesRequest(wanted, toSet, now), item,
        [this, item, answer = pending(request)](Attributes attributes, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answerAttributes(answer, item, *attributes);
        });
}

void KernelOperations::answerAttributes(
    const PendingRequest& request, const ItemPointer& item, const fskit::FSItemAttributes& attributes)
{
    struct stat status = statFrom(attributes);
    table->told(item, status);
    request->attributes(status);
}

void KernelOperations::statfs(fuse_req_t request)
{
    // The volume answers from the statistics it has and refreshes them in the background.
    struct statvfs status = statvfsFrom(volume->volumeStatistics(), volume->maximumNameLength());
    fuse_reply_statfs(request, &status);
}

const fuse_lowlevel_ops& KernelOperations::lowlevelOperations()
{
    static const fuse_lowlevel_ops operations = [] {
        fuse_lowlevel_ops table {};
        table.init = [](void* userdata, fuse_conn_info* connection) { of(userdata).init(connection); };
        table.destroy = [](void* userdata) { of(userdata).destroy(); };
        table.lookup = [](fuse_req_t request, fuse_ino_t parent, const char* name) {
            of(request).lookup(request, parent, name);
        };
        table.forget = [](fuse_req_t request, fuse_ino_t inode, std::uint64_t count) {
            of(request).noCapabilities.forget(inode);
            of(request).table->forget(inode, count);
            fuse_reply_none(request);
        };
        table.forget_multi = [](fuse_req_t request, std::size_t count, fuse_forget_data* forgets) {
            for (std::size_t index = 0; index < count; ++index) {
                of(request).noCapabilities.forget(forgets[index].ino);
                of(request).table->forget(forgets[index].ino, forgets[index].nlookup);
            }
            fuse_reply_none(request);
        };
        table.getattr = [](fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
            of(request).getattr(request, inode);
        };
        table.setattr = [](fuse_req_t request, fuse_ino_t inode, struct stat* wanted, int toSet,
                            fuse_file_info*) { of(request).setattr(request, inode, *wanted, toSet); };
        table.statfs = [](fuse_req_t request, fuse_ino_t) { of(request).statfs(request); };

        table.open = [](fuse_req_t request, fuse_ino_t inode, fuse_file_info* file) {
            of(request).open(request, inode, file, false);
        };
        table.release = [](fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
            of(request).release(request, file);
        };
        // The volume writes through to the daemon; a close has nothing left to flush.
        table.flush = [](fuse_req_t request, fuse_ino_t, fuse_file_info*) { fuse_reply_err(request, 0); };
        table.read = [](fuse_req_t request, fuse_ino_t, std::size_t size, off_t offset,
                         fuse_file_info* file) { of(request).read(request, size, offset, file); };
        table.write = [](fuse_req_t request, fuse_ino_t, const char* bytes, std::size_t size, off_t offset,
                          fuse_file_info* file) { of(request).write(request, bytes, size, offset, file); };
        table.fsync
            = [](fuse_req_t request, fuse_ino_t, int, fuse_file_info*) { of(request).synchronize(request); };

        table.opendir = [](fuse_req_t request, fuse_ino_t inode, fuse_file_info* file) {
            of(request).open(request, inode, file, true);
        };
        table.readdir
            = [](fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset, fuse_file_info* file) {
                  of(request).readdir(request, inode, size, offset, file);
              };
        table.releasedir = [](fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
            of(request).release(request, file);
        };
        table.fsyncdir
            = [](fuse_req_t request, fuse_ino_t, int, fuse_file_info*) { of(request).synchronize(request); };

        table.mknod = [](fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
            of(request).mknod(request, parent, name, mode);
        };
        table.mkdir = [](fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode) {
            of(request).mkdir(request, parent, name, mode);
        };
        table.create = [](fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
                           fuse_file_info* file) { of(request).create(request, parent, name, mode, file); };
        table.symlink = [](fuse_req_t request, const char* target, fuse_ino_t parent, const char* name) {
            of(request).symlink(request, target, parent, name);
        };
        table.link = [](fuse_req_t request, fuse_ino_t inode, fuse_ino_t parent, const char* name) {
            of(request).link(request, inode, parent, name);
        };
        table.readlink = [](fuse_req_t request, fuse_ino_t inode) { of(request).readlink(request, inode); };

        table.unlink = [](fuse_req_t request, fuse_ino_t parent, const char* name) {
            of(request).remove(request, parent, name, false);
        };
        table.rmdir = [](fuse_req_t request, fuse_ino_t parent, const char* name) {
            of(request).remove(request, parent, name, true);
        };
        table.rename = [](fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                           const char* newName, unsigned int flags) {
            of(request).rename(request, parent, name, newParent, newName, flags);
        };

        table.getxattr = [](fuse_req_t request, fuse_ino_t inode, const char* name, std::size_t size) {
            of(request).getxattr(request, inode, name, size);
        };
        table.listxattr = [](fuse_req_t request, fuse_ino_t inode, std::size_t size) {
            of(request).listxattr(request, inode, size);
        };
        table.setxattr
            = [](fuse_req_t request, fuse_ino_t inode, const char* name, const char* value, std::size_t size,
                  int flags) { of(request).setxattr(request, inode, name, value, size, flags); };
        table.removexattr = [](fuse_req_t request, fuse_ino_t inode, const char* name) {
            of(request).removexattr(request, inode, name);
        };
        table.access = [](fuse_req_t request, fuse_ino_t inode, int mask) {
            of(request).access(request, inode, mask);
        };
        return table;
    }();
    return operations;
}

} // namespace host
