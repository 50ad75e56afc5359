// The file-system module's logger `fsModule`: subsystem = the build's variant identifier,
// category "fsmodule". Safe to use from any thread.
#pragma once

#include "Platform/OS/Logger.h"

namespace vl {

const os::Logger& fsModule();

} // namespace vl
