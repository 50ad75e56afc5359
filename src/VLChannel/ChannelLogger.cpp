#include "VLChannel/ChannelLogger.h"

#include "VLFoundation/BuildConfig.h"

#include <string>

namespace vl {

const os::Logger& channelLogger()
{
    static const os::Logger logger(std::string(BuildConfig::variantIdentifier), "channel");
    return logger;
}

} // namespace vl
