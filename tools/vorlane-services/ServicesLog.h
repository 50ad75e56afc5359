// The log of the launch services: subsystem the variant identifier, category "services".
#pragma once

#include "Platform/OS/Logger.h"

namespace services {

const os::Logger& servicesLog();

} // namespace services
