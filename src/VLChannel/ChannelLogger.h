// The channel module's logger: subsystem = the build's variant identifier, category "channel".
// Safe to use from any thread.
#pragma once

#include "Platform/OS/Logger.h"

namespace vl {

const os::Logger& channelLogger();

} // namespace vl
