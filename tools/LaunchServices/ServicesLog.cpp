#include "LaunchServices/ServicesLog.h"

#include "VLFoundation/BuildConfig.h"

#include <string>

namespace services {

const os::Logger& servicesLog()
{
    static const os::Logger logger(std::string(vl::BuildConfig::variantIdentifier), "services");
    return logger;
}

} // namespace services
