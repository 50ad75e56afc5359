// The error that XPC reports on a connection or instead of a reply.
//
// connectionInvalid: the connection is cancelled, refused or can never be used (again);
// connectionInterrupted: the peer went away; peerCodeSigningRequirement: the peer does not meet
// the requirement set on the connection. Every error ends the connection it was reported on.
#pragma once

#include <stdexcept>
#include <string>

namespace xpc {

class XPCRichError : public std::runtime_error {
public:
    enum class Code { connectionInvalid, connectionInterrupted, peerCodeSigningRequirement };

    XPCRichError(Code code, const std::string& description);

    Code code() const { return errorCode; }
    bool canRetry() const { return errorCode == Code::connectionInterrupted; }
    std::string description() const { return what(); }

private:
    Code errorCode;
};

} // namespace xpc
