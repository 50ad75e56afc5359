// The base class of a unary file system (one volume per resource) and the operations through
// which FSKit probes, loads and unloads resources.
//
// FSKit calls the operations on threads of its own; each reply handler must be called exactly
// once, from any thread. containerStatus may be read and written from any thread.
#pragma once

#include "Platform/FSKit/FSContainerStatus.h"
#include "Platform/FSKit/FSOptions.h"
#include "Platform/FSKit/FSProbeResult.h"
#include "Platform/FSKit/FSResource.h"
#include "Platform/FSKit/FSVolume.h"
#include "Platform/OS/UnfairLock.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace fskit {

class FSUnaryFileSystem {
public:
    FSUnaryFileSystem() = default;
    virtual ~FSUnaryFileSystem() = default;

    FSUnaryFileSystem(const FSUnaryFileSystem&) = delete;
    FSUnaryFileSystem& operator=(const FSUnaryFileSystem&) = delete;

    // Not ready, without an explaining error, until the file system says otherwise.
    FSContainerStatus containerStatus() const;
    void setContainerStatus(FSContainerStatus status);

    virtual void probeResource(std::shared_ptr<FSResource> resource,
        std::function<void(std::optional<FSProbeResult> result, std::exception_ptr error)> replyHandler)
        = 0;
    virtual void loadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options,
        std::function<void(std::shared_ptr<FSVolume> volume, std::exception_ptr error)> replyHandler)
        = 0;
    virtual void unloadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options,
        std::function<void(std::exception_ptr error)> replyHandler)
        = 0;
    // Called once FSKit has finished loading the extension; optional.
    virtual void didFinishLoading() { }

private:
    mutable os::UnfairLock statusLock;
    FSContainerStatus status VL_GUARDED_BY(statusLock) = FSContainerStatus::notReady(nullptr);
};

} // namespace fskit
