#include "VLFSModule/Parameters.h"

#include "VLFoundation/BuildConfig.h"

namespace vl::Parameters {

const std::string& peerCodeSigningRequirements()
{
    static const std::string requirement = "anchor apple generic and certificate leaf[subject.OU] = \""
        + std::string(BuildConfig::signingTeamIdentifier) + "\" and identifier \""
        + std::string(BuildConfig::variantIdentifier) + ".app\"";
    return requirement;
}

} // namespace vl::Parameters
