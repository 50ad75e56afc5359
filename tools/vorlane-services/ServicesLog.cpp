#include "vorlane-services/ServicesLog.h"

#include "VLFoundation/BuildConfig.h"

#include <string>

namespace services {

const os::Logger& servicesLog()
{
    // Never destroyed: connection and process threads may still log while the program exits.
    static const os::Logger* const logger
        = new os::Logger(std::string(vl::BuildConfig::variantIdentifier), "services");
    return *logger;
}

} // namespace services
