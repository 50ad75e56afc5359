// An activated volume presented to the Linux kernel at a mount point, from mounting to the moment
// nothing is left of it in the kernel: the node table, the kernel operations and the session.
//
// serve() answers the kernel until it unmounts or stop() is called; then it waits until every
// request handed to the volume has been answered, unmounts, closes the handles the kernel never
// released (a session stopped by stop() hears no more releases) and reclaims every item the kernel
// or the host still held, so that the volume can be deactivated with no lookup outstanding.
// stop() may be called from any thread, before or during serve().
#pragma once

#include "Platform/FSKit/FSVolume.h"
#include "vorlane-fskitd/KernelOperations.h"
#include "vorlane-fskitd/KernelSession.h"
#include "vorlane-fskitd/NodeTable.h"

#include <memory>
#include <string>

namespace host {

class MountedVolume {
public:
    // Mounts; throws KernelSession::MountError when it cannot. Without `kernelChecksPermissions`
    // the kernel leaves access(2) to the volume's checkAccess (see KernelSession).
    MountedVolume(std::shared_ptr<fskit::FSVolume> volume, std::shared_ptr<fskit::FSItem> root,
        const std::string& mountPoint, bool kernelChecksPermissions = true);

    void serve();
    void stop() { session.stop(); }

    const NodeTable& nodes() const { return *table; }

private:
    const std::shared_ptr<NodeTable> table;
    KernelOperations operations;
    KernelSession session;
};

} // namespace host
