// The daemon's call to a volume: through the volume's endpoint it asks for a socket channel
// ("ChannelType" = "Socket", "Options" = its mount options) and receives the daemon's end of the
// socket pair that the volume made. The connection serves that one exchange and is cancelled
// afterwards, whatever the outcome.
#pragma once

#include "Platform/Foundation/FileHandle.h"
#include "Platform/Tasks/Task.h"
#include "Platform/XPC/Object.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace fused {

// Fails with xpc::XPCRichError when the volume cannot be reached or the connection fails, and
// with DaemonError when the answer holds no socket or does not come within `timeLimit`.
tasks::Task<std::shared_ptr<foundation::FileHandle>> connectToVolume(
    xpc::Object endpoint, std::vector<std::string> options, std::chrono::nanoseconds timeLimit);

} // namespace fused
