// A libfuse3 session that presents the volume at a mount point: mounted by the constructor,
// served by serve() until the kernel ends it (umount) or stop() is called, and unmounted and
// destroyed by the destructor.
//
// Mount options: default_permissions (the kernel checks permissions from the attributes it
// holds) unless the volume is to check access itself, fsname and subtype "vorlane", and
// allow_other when running as root. Without default_permissions the kernel asks the volume only
// for access(2) and chdir; opens and every other operation are then not checked at all, so that
// mode is for trying the volume's access check, not for sharing a mount between users. stop() may be
// called from any thread at any time, before or during serve(). The operations object must
// outlive the session.
#pragma once

#include "vorlane-fskitd/KernelOperations.h"

#include <fuse_lowlevel.h>

#include <stdexcept>
#include <string>

namespace host {

class KernelSession {
public:
    // Why the session could not be mounted, in one line.
    class MountError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    static constexpr const char* productName = "vorlane";

    // Throws MountError when the mount point is unusable or the kernel refuses the mount.
    KernelSession(
        KernelOperations& operations, const std::string& mountPoint, bool kernelChecksPermissions = true);
    ~KernelSession();
    KernelSession(const KernelSession&) = delete;
    KernelSession& operator=(const KernelSession&) = delete;

    // Answers kernel requests until the kernel ends the session or stop() is called. Throws
    // foundation::POSIXError when reading from the kernel fails otherwise.
    void serve();
    void stop();
    // Takes the mount away (when still there); the kernel sends nothing more afterwards.
    void unmount();

private:
    fuse_session* session = nullptr;
    int wakeUp = -1;
    bool mounted = false;
};

} // namespace host
