#include "Common/ServiceNames.h"

#include "VLFoundation/BuildConfig.h"

namespace services {

namespace {

std::string serviceName(std::string_view suffix)
{
    std::string name(vl::BuildConfig::signingTeamIdentifier);
    name += '.';
    name += vl::BuildConfig::variantIdentifier;
    name += suffix;
    return name;
}

} // namespace

std::string brokerServiceName()
{
    return serviceName(".app.launchservice.broker.xpc");
}

std::string daemonServiceName()
{
    return serviceName(".app.launchservice.daemon.xpc");
}

std::string peerRequirement()
{
    std::string requirement = "anchor apple generic and certificate leaf[subject.OU] = \"";
    requirement += vl::BuildConfig::signingTeamIdentifier;
    requirement += "\" and identifier \"";
    requirement += vl::BuildConfig::variantIdentifier;
    requirement += ".app\"";
    return requirement;
}

} // namespace services
