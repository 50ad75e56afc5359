#include "DaemonClient/DaemonLog.h"

#include "VLFoundation/BuildConfig.h"

#include <string>

namespace fused {

const os::Logger& daemonLog()
{
    static const os::Logger logger(std::string(vl::BuildConfig::variantIdentifier), "fused");
    return logger;
}

} // namespace fused
