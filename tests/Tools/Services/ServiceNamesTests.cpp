#include "Services/ServiceNames.h"

#include "VLFoundation/BuildConfig.h"

#include <gtest/gtest.h>

namespace {

std::string identity()
{
    return std::string(vl::BuildConfig::signingTeamIdentifier) + "." + std::string(vl::BuildConfig::variantIdentifier);
}

TEST(ServiceNames, bothServicesAreNamedAfterTheTeamAndTheVariant)
{
    EXPECT_EQ(services::brokerServiceName(), identity() + ".app.launchservice.broker.xpc");
    EXPECT_EQ(services::daemonServiceName(), identity() + ".app.launchservice.daemon.xpc");
}

TEST(ServiceNames, thePeerRequirementAdmitsTheTeamsContainingApplication)
{
    EXPECT_EQ(services::peerRequirement(), "anchor apple generic and certificate leaf[subject.OU] = \"" +
                                               std::string(vl::BuildConfig::signingTeamIdentifier) +
                                               "\" and identifier \"" +
                                               std::string(vl::BuildConfig::variantIdentifier) + ".app\"");
}

} // namespace
