#include "vorlane-fskitd/KernelOperations.h"

#include "vorlane-fskitd/KernelAttributes.h"
#include "vorlane-fskitd/KernelErrors.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace host {

// One kernel request handed to the volume. Answered exactly once: by one of the reply calls, or
// with EIO when the last reference goes without one (a reply handler that was dropped).
class KernelOperations::Pending {
public:
    Pending(KernelOperations& operations, fuse_req_t request) : operations(operations), request(request) {}
    ~Pending()
    {
        if (request)
            fuse_reply_err(request, EIO);
        operations.answered();
    }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    void fail(const std::exception_ptr& error) { fuse_reply_err(take(), linuxErrnoFor(error)); }
    void attributes(const struct stat& status) { fuse_reply_attr(take(), &status, attributeTimeout); }
    // False when the kernel did not take the entry (the request was interrupted or the session ended).
    bool entry(const fuse_entry_param& entry) { return fuse_reply_entry(take(), &entry) == 0; }

private:
    fuse_req_t take() { return std::exchange(request, nullptr); }

    KernelOperations& operations;
    fuse_req_t request;
};

namespace {

std::shared_ptr<fskit::FSItemGetAttributesRequest> everyAttribute()
{
    return std::make_shared<fskit::FSItemGetAttributesRequest>(fskit::FSItemAttribute(~std::uint64_t{0}));
}

} // namespace

KernelOperations::KernelOperations(std::shared_ptr<fskit::FSVolume> volume, std::shared_ptr<NodeTable> nodes)
    : volume(std::move(volume)), table(std::move(nodes))
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

void KernelOperations::init(fuse_conn_info* connection)
{
    // FSKit times carry nanoseconds.
    connection->time_gran = 1;
}

void KernelOperations::destroy()
{
    table->forgetAll({});
}

void KernelOperations::lookup(fuse_req_t request, fuse_ino_t parent, const char* name)
{
    NodeTable::ItemPointer directory = table->item(parent);
    if (!directory) {
        fuse_reply_err(request, ESTALE);
        return;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name);
    lookUp(pending(request), directory, fskit::FSFileName(std::vector<std::uint8_t>(bytes, bytes + std::strlen(name))));
}

void KernelOperations::lookUp(const PendingRequest& request, const NodeTable::ItemPointer& directory,
                              fskit::FSFileName name)
{
    volume->lookupItem(name, directory,
        [this, request, directory, name](NodeTable::ItemPointer item, std::optional<fskit::FSFileName>,
            std::exception_ptr error) {
            if (error)
                return request->fail(error);
            // An item whose reclaim raced this lookup is dead: ask again once it is gone.
            if (!table->admit(item, [this, request, directory, name] { lookUp(request, directory, name); }))
                return;
            volume->attributes(everyAttribute(), item,
                [this, request, item](std::shared_ptr<fskit::FSItemAttributes> attributes, std::exception_ptr failure) {
                    if (failure) {
                        table->drop(item, 1);
                        return request->fail(failure);
                    }
                    fuse_entry_param entry{};
                    entry.attr = statFrom(*attributes);
                    entry.ino = entry.attr.st_ino;
                    entry.attr_timeout = attributeTimeout;
                    entry.entry_timeout = entryTimeout;
                    table->identify(item, entry.ino);
                    if (!request->entry(entry))
                        table->drop(item, 1);
                });
        });
}

void KernelOperations::getattr(fuse_req_t request, fuse_ino_t inode)
{
    NodeTable::ItemPointer item = table->item(inode);
    if (!item) {
        fuse_reply_err(request, ESTALE);
        return;
    }
    volume->attributes(everyAttribute(), item,
        [answer = pending(request)](std::shared_ptr<fskit::FSItemAttributes> attributes, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answer->attributes(statFrom(*attributes));
        });
}

void KernelOperations::setattr(fuse_req_t request, fuse_ino_t inode, const struct stat& wanted, int toSet)
{
    NodeTable::ItemPointer item = table->item(inode);
    if (!item) {
        fuse_reply_err(request, ESTALE);
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    volume->setAttributes(setAttributesRequest(wanted, toSet, now), item,
        [answer = pending(request)](std::shared_ptr<fskit::FSItemAttributes> attributes, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answer->attributes(statFrom(*attributes));
        });
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
        fuse_lowlevel_ops table{};
        table.init = [](void* userdata, fuse_conn_info* connection) { of(userdata).init(connection); };
        table.destroy = [](void* userdata) { of(userdata).destroy(); };
        table.lookup = [](fuse_req_t request, fuse_ino_t parent, const char* name) {
            of(request).lookup(request, parent, name);
        };
        table.forget = [](fuse_req_t request, fuse_ino_t inode, std::uint64_t count) {
            of(request).table->forget(inode, count);
            fuse_reply_none(request);
        };
        table.forget_multi = [](fuse_req_t request, std::size_t count, fuse_forget_data* forgets) {
            for (std::size_t index = 0; index < count; ++index)
                of(request).table->forget(forgets[index].ino, forgets[index].nlookup);
            fuse_reply_none(request);
        };
        table.getattr = [](fuse_req_t request, fuse_ino_t inode, fuse_file_info*) { of(request).getattr(request, inode); };
        table.setattr = [](fuse_req_t request, fuse_ino_t inode, struct stat* wanted, int toSet, fuse_file_info*) {
            of(request).setattr(request, inode, *wanted, toSet);
        };
        table.statfs = [](fuse_req_t request, fuse_ino_t) { of(request).statfs(request); };
        // Left out, libfuse would answer these two as done; the volume has no handles to give yet.
        table.open = [](fuse_req_t request, fuse_ino_t, fuse_file_info*) { fuse_reply_err(request, ENOSYS); };
        table.opendir = [](fuse_req_t request, fuse_ino_t, fuse_file_info*) { fuse_reply_err(request, ENOSYS); };
        return table;
    }();
    return operations;
}

} // namespace host
