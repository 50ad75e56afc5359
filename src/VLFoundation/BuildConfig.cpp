#include "VLFoundation/BuildConfig.h"

namespace vl::BuildConfig {

const std::string_view variantIdentifier = VL_VARIANT_IDENTIFIER;
const std::string_view signingTeamIdentifier = VL_SIGNING_TEAM_IDENTIFIER;

std::string_view variantTypeName()
{
    return variantIdentifier.substr(variantIdentifier.rfind('.') + 1);
}

} // namespace vl::BuildConfig
