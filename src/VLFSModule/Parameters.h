// Fixed parameters of the extension that are formed from the build's identity.
#pragma once

#include <string>

namespace vl::Parameters {

// The code-signing requirement that a daemon connecting to a volume's listener must meet: signed
// by this build's team, with the identifier of the extension's containing application.
const std::string& peerCodeSigningRequirements();

} // namespace vl::Parameters
