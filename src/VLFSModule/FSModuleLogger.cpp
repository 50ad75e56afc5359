#include "VLFSModule/FSModuleLogger.h"

#include "VLFoundation/BuildConfig.h"

#include <string>

namespace vl {

const os::Logger& fsModule()
{
    static const os::Logger logger(std::string(BuildConfig::variantIdentifier), "fsmodule");
    return logger;
}

} // namespace vl
