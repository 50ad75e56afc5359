#include "VLFSModule/Service.h"

#include "VLFoundation/BuildConfig.h"

namespace vl {
namespace {

std::string serviceName(std::string_view role)
{
    return std::string(BuildConfig::signingTeamIdentifier) + "." + std::string(BuildConfig::variantIdentifier)
        + ".app.launchservice." + std::string(role) + ".xpc";
}

} // namespace

const Service& Service::broker()
{
    static const Service service(serviceName("broker"));
    return service;
}

const Service& Service::daemon()
{
    static const Service service(serviceName("daemon"));
    return service;
}

} // namespace vl
