#include "Common/SignalWatcher.h"

#include "Support/Mailbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace {

TEST(SignalWatcher, eachSignalIsHandedToTheWatchersThreadAndTheOldHandlerComesBack)
{
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved { };
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &saved), 0);
    {
        auto received = std::make_shared<Mailbox<std::pair<int, std::thread::id>>>();
        services::SignalWatcher watcher({ SIGUSR1, SIGUSR2 }, [received](int signal) {
            received->push({ signal, std::this_thread::get_id() });
        });
        ASSERT_EQ(::kill(::getpid(), SIGUSR1), 0);
        auto [first, firstThread] = received->next();
        ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
        auto [second, secondThread] = received->next();
        EXPECT_EQ(first, SIGUSR1);
        EXPECT_EQ(second, SIGUSR2);
        EXPECT_EQ(firstThread, secondThread);
        EXPECT_NE(firstThread, std::this_thread::get_id());
    }
    struct sigaction restored { };
    ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &restored), 0);
    EXPECT_EQ(restored.sa_handler, SIG_IGN);
    ::sigaction(SIGUSR1, &saved, nullptr);
}

TEST(SignalWatcherDeathTest, aSecondWatcherWhileOneLivesIsAFatalError)
{
    EXPECT_DEATH(
        {
            services::SignalWatcher first({ SIGUSR1 }, [](int) {});
            services::SignalWatcher second({ SIGUSR2 }, [](int) {});
        },
        "Only one signal watcher may live at a time");
}

} // namespace
