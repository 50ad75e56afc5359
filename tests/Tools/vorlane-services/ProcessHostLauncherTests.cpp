#include "vorlane-services/ProcessHostLauncher.h"

#include "Platform/Foundation/Process.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/Mailbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace std::chrono_literals;

// A host program written as a shell script in a directory of its own, with a FIFO "fifo" there
// through which the test and the script wait for each other.
class HostScript {
public:
    explicit HostScript(const std::string& body)
    {
        char pattern[] = "/tmp/vorlane-host-test-XXXXXX";
        directory = ::mkdtemp(pattern);
        ::mkfifo(fifo().c_str(), 0600);
        std::ofstream(path()) << "#!/bin/sh\ndirectory='" << directory << "'\n" << body << "\n";
        ::chmod(path().c_str(), 0755);
    }
    ~HostScript() { std::filesystem::remove_all(directory); }

    std::string path() const { return directory + "/host"; }
    std::string fifo() const { return directory + "/fifo"; }
    std::string file(const std::string& name) const { return directory + "/" + name; }

    // Blocks until the script opens the FIFO for reading, then hands it a line.
    void release() const { std::ofstream(fifo()) << "go\n"; }
    // Blocks until the script has written its line to the FIFO.
    std::string awaitLine() const
    {
        std::ifstream input(fifo());
        std::string line;
        std::getline(input, line);
        return line;
    }

private:
    std::string directory;
};

struct Launched {
    std::shared_ptr<services::Host> host;
    std::shared_ptr<Mailbox<std::string>> exits = std::make_shared<Mailbox<std::string>>();
};

Launched launch(services::ProcessHostLauncher& launcher, const std::string& device,
    std::optional<services::HostMount> mount = std::nullopt)
{
    Launched launched;
    launched.host = launcher.launch(
        device, mount, [exits = launched.exits](const std::string& how) { exits->push(how); });
    return launched;
}

TEST(ProcessHostLauncher, runsTheCommandOnTheDeviceAndReportsHowItEnded)
{
    HostScript script("echo \"$@\" > \"$directory/arguments\"\nexit 3");
    services::ProcessHostLauncher launcher(foundation::URL::fileURLWithPath(script.path()));
    Launched launched = launch(launcher, "/dev/loop7", services::HostMount { "/mnt/a b", true });
    EXPECT_EQ(launched.exits->next(), "exited with status 3");
    std::ifstream arguments(script.file("arguments"));
    std::string line;
    std::getline(arguments, line);
    EXPECT_EQ(line, "--stop-with-parent --mount-point /mnt/a b --volume-checks-access /dev/loop7");
    EXPECT_NE(launched.host->description().find("process "), std::string::npos);
    // A host that has ended is stopped at once, without waiting out its patience.
    tasks::runBlocking(launched.host->stop(1h));
    EXPECT_EQ(launched.exits->count(), 0u);
}

TEST(ProcessHostLauncher, aHostThatEndsWithinItsPatienceIsNotSignalled)
{
    HostScript script("read line < \"$directory/fifo\"\nexit 0");
    services::ProcessHostLauncher launcher(foundation::URL::fileURLWithPath(script.path()));
    Launched launched = launch(launcher, "/dev/loop0");
    tasks::TaskHandle<void> stopping = tasks::spawn(launched.host->stop(1h));
    script.release();
    tasks::runBlocking(stopping.value());
    EXPECT_EQ(launched.exits->next(), "exited with status 0");
}

TEST(ProcessHostLauncher, aHostThatOutstaysItsPatienceIsSentSIGTERM)
{
    HostScript script("exec sleep 1000");
    services::ProcessHostLauncher launcher(foundation::URL::fileURLWithPath(script.path()), 1h);
    Launched launched = launch(launcher, "/dev/loop0");
    tasks::runBlocking(launched.host->stop(0ns));
    EXPECT_EQ(launched.exits->next(), "was ended by signal 15");
}

TEST(ProcessHostLauncher, aHostThatIgnoresSIGTERMIsSentSIGKILLAfterTheGrace)
{
    HostScript script("trap '' TERM\necho ready > \"$directory/fifo\"\nexec sleep 1000");
    services::ProcessHostLauncher launcher(foundation::URL::fileURLWithPath(script.path()), 0ns);
    Launched launched = launch(launcher, "/dev/loop0");
    EXPECT_EQ(script.awaitLine(), "ready");
    tasks::runBlocking(launched.host->stop(0ns));
    EXPECT_EQ(launched.exits->next(), "was ended by signal 9");
}

TEST(ProcessHostLauncher, aCommandThatCannotBeStartedThrowsAndNeverReportsAnEnd)
{
    services::ProcessHostLauncher launcher(foundation::URL::fileURLWithPath("/nonexistent/vorlane-fskitd"));
    auto exits = std::make_shared<Mailbox<std::string>>();
    EXPECT_THROW(
        launcher.launch("/dev/loop0", std::nullopt, [exits](const std::string& how) { exits->push(how); }),
        foundation::LaunchError);
    EXPECT_EQ(exits->count(), 0u);
}

} // namespace
