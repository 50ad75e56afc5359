// Ends the process when an internal contract of the system is broken.
//
// The message and the source location (a "Module/Type" text) are written to standard error and
// to the log before the process aborts; nothing after the call runs.
#pragma once

#include <string_view>

namespace vl {

[[noreturn]] void fatalError(std::string_view message, std::string_view location);

} // namespace vl
