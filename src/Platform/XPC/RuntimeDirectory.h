// The directory that holds the sockets of named XPC services: the value of the environment
// variable VORLANE_RUNTIME_DIR when it is set and not empty, else /run/vorlane. It is read at
// every use, so a test can point it at a directory of its own before it starts any service.
#pragma once

#include <string>
#include <string_view>

namespace xpc {

std::string runtimeDirectory();

// The socket path of the service named `machServiceName`; throws std::invalid_argument for a
// name that is empty, ".", ".." or holds a "/".
std::string servicePath(std::string_view machServiceName);

// Makes the runtime directory (and its parents) when it is missing; throws XPCRichError.
void makeRuntimeDirectory();

} // namespace xpc
