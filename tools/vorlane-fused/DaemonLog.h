// The log of the FUSE daemon program: subsystem the variant identifier, category "fused".
#pragma once

#include "Platform/OS/Logger.h"

namespace fused {

const os::Logger& daemonLog();

} // namespace fused
