#include "VLFoundation/ProcessRun.h"

#include "Platform/Tasks/Spawn.h"

#include "Support/OpenDescriptors.h"

#include <gtest/gtest.h>

namespace {

using foundation::Process;
using foundation::URL;
using testing_support::openDescriptors;

TEST(ProcessRun, ALaunchFailureIsThrownAsTheLaunchError)
{
    auto before = openDescriptors();
    auto process = std::make_shared<Process>();
    process->executableURL = URL::fileURLWithPath("/nonexistent/tool");
    process->standardOutput = std::make_shared<foundation::Pipe>();
    try {
        tasks::runBlocking(vl::run(process));
        FAIL() << "a missing executable ran";
    } catch (const foundation::LaunchError& error) {
        EXPECT_EQ(error.errnoCode(), ENOENT);
    }
    EXPECT_FALSE(process->terminationHandler);
    process.reset();
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
