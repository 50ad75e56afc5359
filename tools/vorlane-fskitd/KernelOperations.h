// The Linux kernel's requests (libfuse3's low-level operations) as the volume's FSKit operations.
//
// Each request is handed to the volume and answered from the operation's reply handler, on
// whatever thread that runs; no thread waits for a reply. Inodes are resolved through the node
// table, which counts the lookups the kernel holds. Requests this host does not serve yet are left
// to libfuse (ENOSYS), except open and opendir, which libfuse would otherwise answer as done.
// The object must outlive every request it has handed to the volume (see waitUntilAnswered).
#pragma once

#include "Platform/FSKit/FSVolume.h"
#include "vorlane-fskitd/NodeTable.h"

#include <fuse_lowlevel.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace host {

class KernelOperations {
public:
    // The kernel keeps names and attributes for a second. Changes made through the mount are
    // seen at once whatever the timeouts, because the kernel updates or drops what it has cached
    // on each one; a change made beside the mount (in a passthrough daemon's directory) is seen
    // within the second. Without caching, every stat and every step of a path walk costs two
    // round trips through the whole stack (about a hundred times a cached stat). Failed lookups
    // are never cached, so a name made beside the mount is found at once.
    static constexpr double entryTimeout = 1;
    static constexpr double attributeTimeout = 1;

    KernelOperations(std::shared_ptr<fskit::FSVolume> volume, std::shared_ptr<NodeTable> nodes);
    KernelOperations(const KernelOperations&) = delete;
    KernelOperations& operator=(const KernelOperations&) = delete;

    // The operations for fuse_session_new; their userdata must be this object.
    static const fuse_lowlevel_ops& lowlevelOperations();

    // Blocks until every request handed to the volume has been answered, at most `limit`; false
    // when some are still waiting.
    bool waitUntilAnswered(std::chrono::milliseconds limit);

    NodeTable& nodes() { return *table; }

private:
    class Pending;
    using PendingRequest = std::shared_ptr<Pending>;

    PendingRequest pending(fuse_req_t request);
    void answered();

    void init(fuse_conn_info* connection);
    void destroy();
    void lookup(fuse_req_t request, fuse_ino_t parent, const char* name);
    void lookUp(const PendingRequest& request, const NodeTable::ItemPointer& directory, fskit::FSFileName name);
    void getattr(fuse_req_t request, fuse_ino_t inode);
    void setattr(fuse_req_t request, fuse_ino_t inode, const struct stat& wanted, int toSet);
    void statfs(fuse_req_t request);

    static KernelOperations& of(void* userdata) { return *static_cast<KernelOperations*>(userdata); }
    static KernelOperations& of(fuse_req_t request) { return of(fuse_req_userdata(request)); }

    const std::shared_ptr<fskit::FSVolume> volume;
    const std::shared_ptr<NodeTable> table;
    std::mutex answeredMutex;
    std::condition_variable allAnswered;
    std::size_t unanswered = 0;
};

} // namespace host
