#include "Platform/OS/FatalError.h"

#include "Platform/OS/Logger.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vl {

[[noreturn]] void fatalError(std::string_view message, std::string_view location)
{
    // Standard error first: the log sink may be a capture that nobody will read.
    std::string line = std::string(location) + ": Fatal error: " + std::string(message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    os::Logger("fatal", std::string(location)).error("Fatal error: %s", message);
    std::abort();
}

} // namespace vl
