#include "vorlane-fused/DaemonLog.h"

#include "VLFoundation/BuildConfig.h"

#include <string>

namespace fused {

const os::Logger& daemonLog()
{
    // Never destroyed: connection and process threads may still log while the program exits.
    static const os::Logger* const logger
        = new os::Logger(std::string(vl::BuildConfig::variantIdentifier), "fused");
    return *logger;
}

} // namespace fused
