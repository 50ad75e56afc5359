#include "Platform/XPC/SocketAddress.h"

#include "Platform/XPC/XPCRichError.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace xpc {

namespace {

XPCRichError socketError(const std::string& what, const SocketAddress& address, int code)
{
    return XPCRichError(XPCRichError::Code::connectionInvalid,
        what + " " + address.description() + ": " + std::strerror(code));
}

} // namespace

bool hasListener(const SocketAddress& address)
{
    try {
        connectTo(address);
        return true;
    } catch (const XPCRichError&) {
        return false;
    }
}

socklen_t SocketAddress::fill(sockaddr_un& address) const
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::size_t offset = isAbstract ? 1 : 0;
    // A path needs room for its terminating zero; an abstract name does not.
    std::size_t room = sizeof address.sun_path - offset - (isAbstract ? 0 : 1);
    if (name.empty() || name.size() > room || name.find('\0') != std::string::npos)
        throw XPCRichError(XPCRichError::Code::connectionInvalid,
            "Socket name does not fit a socket address: " + description());
    std::memcpy(address.sun_path + offset, name.data(), name.size());
    return static_cast<socklen_t>(
        offsetof(sockaddr_un, sun_path) + offset + name.size() + (isAbstract ? 0 : 1));
}

Descriptor makeSocket()
{
    Descriptor socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket.isValid())
        throw XPCRichError(XPCRichError::Code::connectionInvalid,
            std::string("Cannot make a socket: ") + std::strerror(errno));
    return socket;
}

Descriptor connectTo(const SocketAddress& address)
{
    sockaddr_un socketAddress;
    socklen_t length = address.fill(socketAddress);
    Descriptor socket = makeSocket();
    while (::connect(socket.get(), reinterpret_cast<sockaddr*>(&socketAddress), length) != 0) {
        if (errno != EINTR)
            throw socketError("Cannot connect to", address, errno);
    }
    return socket;
}

Descriptor listenOn(const SocketAddress& address)
{
    sockaddr_un socketAddress;
    socklen_t length = address.fill(socketAddress);
    if (!address.isAbstract) {
        // A path left behind by a listener that has gone is taken over; a live listener is not.
        if (hasListener(address))
            throw XPCRichError(
                XPCRichError::Code::connectionInvalid, "Another listener serves " + address.description());
        ::unlink(address.name.c_str());
    }
    Descriptor socket = makeSocket();
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&socketAddress), length) != 0)
        throw socketError("Cannot bind", address, errno);
    // Who may connect is decided by the peer check after accepting, not by file permissions.
    if (!address.isAbstract && ::chmod(address.name.c_str(), 0666) != 0)
        throw socketError("Cannot open up", address, errno);
    if (::listen(socket.get(), SOMAXCONN) != 0)
        throw socketError("Cannot listen on", address, errno);
    return socket;
}

} // namespace xpc
