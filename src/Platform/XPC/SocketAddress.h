// Where an XPC listener can be reached: a path in the runtime directory (named services) or a
// name in Linux's abstract socket namespace (anonymous listeners). Internal to the XPC layer.
#pragma once

#include "Platform/XPC/Descriptor.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace xpc {

struct SocketAddress {
    bool isAbstract = false;
    std::string name;

    friend bool operator==(const SocketAddress&, const SocketAddress&) = default;

    // Throws XPCRichError (connectionInvalid) when the name does not fit a socket address.
    socklen_t fill(sockaddr_un& address) const;
    std::string description() const { return isAbstract ? "@" + name : name; }
};

// A new close-on-exec sequenced-packet socket; throws XPCRichError when none can be made.
Descriptor makeSocket();
// Connects a new socket to `address`; throws XPCRichError (connectionInvalid) when nothing listens.
Descriptor connectTo(const SocketAddress& address);
// Whether something accepts connections at `address` now.
bool hasListener(const SocketAddress& address);
// Binds and listens on `address`; throws XPCRichError when the address is taken or unusable.
Descriptor listenOn(const SocketAddress& address);

} // namespace xpc
