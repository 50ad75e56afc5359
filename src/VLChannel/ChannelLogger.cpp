#include "VLChannel/ChannelLogger.h"

#include "VLFoundation/BuildConfig.h"

#include <string>

namespace vl {

const os::Logger& channelLogger()
{
    // Never destroyed: transport threads may still log while the process exits.
    static const os::Logger* const logger
        = new os::Logger(std::string(BuildConfig::variantIdentifier), "channel");
    return *logger;
}

} // namespace vl
