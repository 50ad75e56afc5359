// The names of the two XPC services that the containing application provides: the broker, to
// which volumes advertise themselves, and the daemon service, which hands volumes to FUSE
// daemons and hears when a device is gone; and the requirement their peers must meet. All are
// formed from the build's identity: the signing team identifier and the variant identifier.
#pragma once

#include <string>

namespace services {

// team + "." + variant + ".app.launchservice.broker.xpc"
std::string brokerServiceName();
// team + "." + variant + ".app.launchservice.daemon.xpc"
std::string daemonServiceName();
// The code-signing requirement of the containing application, which admits only peers of the
// same team and application (on Linux: processes of the same user).
std::string peerRequirement();

} // namespace services
