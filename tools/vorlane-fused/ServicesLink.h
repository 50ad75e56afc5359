// The FUSE daemon's connection to the daemon service: asks it for a volume, and hears from it
// when that volume's device is gone.
//
// onDeviceGone runs once, on the connection's thread: when the services send "device-gone", or
// when the connection ends (the services went away, or close() was called); a request still
// waiting then fails with the connection's error. requestVolume is called at most once; close()
// may be called from any thread, any number of times. Destroying the link waits until its
// connection has ended, so nothing of it runs afterwards; it must not happen in onDeviceGone.
// The object must outlive the task that requestVolume returns.
#pragma once

#include "Platform/Foundation/UUID.h"
#include "Platform/Tasks/Task.h"
#include "Platform/XPC/Connection.h"
#include "Platform/XPC/XPCArray.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace fused {

// What the services answer a granted request with.
struct VolumeGrant {
    foundation::UUID volume;
    xpc::Object endpoint;
    std::string bsdName;
};

class ServicesLink {
public:
    // Connects to the daemon service; throws xpc::XPCRichError when nothing serves it.
    explicit ServicesLink(std::function<void()> onDeviceGone);
    ~ServicesLink();
    ServicesLink(const ServicesLink&) = delete;
    ServicesLink& operator=(const ServicesLink&) = delete;

    // Sends "volume-request" with `options` (and `mountPoint`, when given, for the services to
    // mount the volume there, without the kernel's permission checks when `volumeChecksAccess`)
    // and waits for the answer up to `timeLimit`. Fails with DaemonError
    // when refused, when the answer lacks the volume, its endpoint or its device, or when the
    // time runs out; with xpc::XPCRichError when the connection fails.
    tasks::Task<VolumeGrant> requestVolume(std::vector<std::string> options,
        std::optional<std::string> mountPoint, std::chrono::nanoseconds timeLimit,
        bool volumeChecksAccess = false);
    void close();

private:
    struct Ending;

    std::shared_ptr<xpc::Connection> connection;
    std::shared_ptr<Ending> ending;
};

// The options as an XPC array of texts.
xpc::XPCArray makeOptionsArray(const std::vector<std::string>& options);

} // namespace fused
