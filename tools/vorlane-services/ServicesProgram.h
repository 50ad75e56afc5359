// The whole of vorlane-services once its command line is read: serve the launch services with
// hosts started as processes until SIGINT or SIGTERM, then release everything and return.
#pragma once

#include "vorlane-services/ServicesCommandLine.h"

namespace services {

// Prints "ready" on standard output once both services listen. Answers the exit status: 0 after
// an orderly stop, 1 when the services cannot listen.
int runServices(const ServicesOptions& options);

} // namespace services
