#include "VLFoundation/ProcessRun.h"

#include "Platform/Tasks/Spawn.h"
#include "Support/ErrnoThrown.h"

#include <gtest/gtest.h>

namespace {

TEST(ProcessRun, ALaunchFailureIsThrownAsTheLaunchErrorAndTheTerminationHandlerIsDropped)
{
    auto process = std::make_shared<foundation::Process>();
    process->executableURL = foundation::URL::fileURLWithPath("/nonexistent/tool");
    EXPECT_EQ(testing_support::errnoThrownBy<foundation::LaunchError>(
                  [&] { (void)tasks::runBlocking(vl::run(process)); }),
        ENOENT);
    EXPECT_FALSE(process->terminationHandler);
}

} // namespace
