// Test entry point shared by every suite. Death tests re-execute the program instead of forking
// a copy of it, because the suites run thread pools that a plain fork would leave in pieces.
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
