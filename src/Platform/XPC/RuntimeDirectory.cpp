#include "Platform/XPC/RuntimeDirectory.h"

#include "Platform/XPC/XPCRichError.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace xpc {

std::string runtimeDirectory()
{
    const char* overridden = std::getenv("VORLANE_RUNTIME_DIR");
    if (overridden != nullptr && overridden[0] != '\0')
        return overridden;
    return "/run/vorlane";
}

std::string servicePath(std::string_view machServiceName)
{
    if (machServiceName.empty() || machServiceName == "." || machServiceName == ".."
        || machServiceName.find('/') != std::string_view::npos)
        throw std::invalid_argument("Not a service name: " + std::string(machServiceName));
    return runtimeDirectory() + "/" + std::string(machServiceName);
}

void makeRuntimeDirectory()
{
    std::string directory = runtimeDirectory();
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        std::string prefix = directory.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            throw XPCRichError(XPCRichError::Code::connectionInvalid,
                "Cannot make the runtime directory " + prefix + ": " + std::strerror(errno));
        if (slash == std::string::npos)
            break;
    }
}

} // namespace xpc
