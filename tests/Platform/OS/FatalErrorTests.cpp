#include "Platform/OS/FatalError.h"

#include <gtest/gtest.h>

namespace {

TEST(FatalErrorDeathTest, WritesMessageAndLocationThenAborts)
{
    EXPECT_DEATH(vl::fatalError("Illegal lock state", "VLFoundation/AsyncReadWriteLock"),
        "VLFoundation/AsyncReadWriteLock: Fatal error: Illegal lock state");
}

} // namespace
