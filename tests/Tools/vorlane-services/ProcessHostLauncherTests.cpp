#include "vorlane-services/ProcessHostLauncher.h"

#include "Platform/Tasks/Spawn.h"
#include "Support/Mailbox.h"
#include "Support/WaitUntil.h"

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

    // Hands the script a line once it has opened the FIFO for reading (a script that never does
    // fails the test at the safety limit).
    void release() const
    {
        testing_support::waitUntil([this] {
            int writer = ::open(fifo().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer < 0)
                return false;
            EXPECT_EQ(::write(writer, "go\n", 3), 3);
            ::close(writer);
            return true;
        });
    }
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

// A stopped host has its patience to end on its own, is then sent SIGTERM and, if it outlives the
// launcher's grace, SIGKILL. Each script tells the test through the FIFO when it is ready.
TEST(ProcessHostLauncher, aStoppedHostHasItsPatienceThenGetsSIGTERMThenAfterTheGraceSIGKILL)
{
    struct Case {
        std::string script;
        std::chrono::nanoseconds grace, patience;
        std::string ended;
    };
    const std::string ready = "echo ready > \"$directory/fifo\"\n";
    for (const Case& c :
        { Case { ready + "read line < \"$directory/fifo\"\nexit 0", 1h, 1h, "exited with status 0" },
            Case { ready + "exec sleep 1000", 1h, 0ns, "was ended by signal 15" },
            Case { "trap '' TERM\n" + ready + "exec sleep 1000", 0ns, 0ns, "was ended by signal 9" } }) {
        SCOPED_TRACE(c.ended);
        HostScript script(c.script);
        services::ProcessHostLauncher launcher(foundation::URL::fileURLWithPath(script.path()), c.grace);
        Launched launched = launch(launcher, "/dev/loop0");
        EXPECT_EQ(script.awaitLine(), "ready");
        tasks::TaskHandle<void> stopping = tasks::spawn(launched.host->stop(c.patience));
        if (c.patience > 0ns)
            script.release();
        // The end is taken first: its wait is bounded, the stop's is not.
        EXPECT_EQ(launched.exits->next(), c.ended);
        tasks::runBlocking(stopping.value());
    }
}

} // namespace
