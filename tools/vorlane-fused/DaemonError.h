// Why the FUSE daemon could not get or reach its volume: a refusal by the services, an answer
// that lacks what it must carry, or a wait that ran out. XPC failures stay xpc::XPCRichError.
#pragma once

#include <stdexcept>

namespace fused {

class DaemonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace fused
