#include "VLFSModule/FSModuleLogger.h"

#include "VLFoundation/BuildConfig.h"

#include <string>

namespace vl {

const os::Logger& fsModule()
{
    // Never destroyed: background tasks may still log while the process exits.
    static const os::Logger* const logger
        = new os::Logger(std::string(BuildConfig::variantIdentifier), "fsmodule");
    return *logger;
}

} // namespace vl
