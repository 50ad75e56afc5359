// The identity of this build, fixed when it is configured.
//
// variantIdentifier is reverse-DNS text whose last component is the file-system type name;
// signingTeamIdentifier is 10 characters. Queue labels, the log subsystem, service names and the
// peer requirement are all formed from these two.
#pragma once

#include <string_view>

namespace vl::BuildConfig {

extern const std::string_view variantIdentifier;
extern const std::string_view signingTeamIdentifier;

// The last dot-separated component of the variant identifier.
std::string_view variantTypeName();

} // namespace vl::BuildConfig
