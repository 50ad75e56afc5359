#include "Platform/OS/Logger.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

struct Described {
    std::string description() const { return "described"; }
};

// Placeholders take the arguments in order; a missing argument leaves its placeholder and extra
// ones are ignored; errors are described by their message.
TEST(Logger, FormatsEachPlaceholderWithItsArgument)
{
    EXPECT_EQ(os::formatLogMessage("a %s b %@ c", { "one", "two" }), "a one b two c");
    EXPECT_EQ(os::formatLogMessage("%s%s", { "x", 42 }), "x42");
    EXPECT_EQ(os::formatLogMessage("100%% of %s", { Described() }), "100% of described");
    EXPECT_EQ(os::formatLogMessage("open name=%s modes=%s", { "f" }), "open name=f modes=%s");
    EXPECT_EQ(os::formatLogMessage("plain", { "unused" }), "plain");
    EXPECT_EQ(os::formatLogMessage("trailing %", {}), "trailing %");
    std::exception_ptr error = std::make_exception_ptr(std::runtime_error("boom"));
    EXPECT_EQ(os::formatLogMessage("failed: %@", { error }), "failed: boom");
    EXPECT_EQ(os::formatLogMessage("failed: %@", { std::make_exception_ptr(7) }), "failed: unknown error");
}

TEST(LogCapture, RecordsSubsystemCategoryLevelAndTextUntilDestroyedFromAnyThread)
{
    os::Logger logger("org.example.test", "channel");
    {
        os::LogCapture outer;
        {
            os::LogCapture capture;
            logger.info("socket closed");
            logger.error("Failed to close channel: %@", std::runtime_error("closed"));
            std::vector<os::LogMessage> messages = capture.messages();
            ASSERT_EQ(messages.size(), 2u);
            EXPECT_EQ(messages[0].subsystem, "org.example.test");
            EXPECT_EQ(messages[0].category, "channel");
            EXPECT_EQ(messages[0].level, os::LogLevel::info);
            EXPECT_TRUE(capture.contains(os::LogLevel::error, "Failed to close channel: closed"));
            EXPECT_FALSE(capture.contains(os::LogLevel::info, "Failed to close channel: closed"));
        }
        logger.info("after inner");
        EXPECT_EQ(outer.texts(os::LogLevel::info), std::vector<std::string> { "after inner" });
    }
    os::LogCapture capture;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread)
        threads.emplace_back([&] {
            for (int index = 0; index < 100; ++index)
                logger.info("message %s", index);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(capture.messages().size(), 400u);
}

} // namespace
