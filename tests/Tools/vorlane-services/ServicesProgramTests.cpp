#include "Platform/Foundation/Pipe.h"
#include "Platform/Foundation/Process.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/XPC/Connection.h"
#include "Support/FakeDiskImageTool.h"
#include "Support/Mailbox.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

namespace {

using testing_support::FakeDiskImageTool;

// A program of the build run as a child, its standard output read line by line. One that is
// still running when the test ends is killed.
class Program {
public:
    Program(const std::string& path, std::vector<std::string> arguments)
    {
        process->executableURL = foundation::URL::fileURLWithPath(path);
        process->arguments = std::move(arguments);
        process->standardOutput = output;
        process->launch();
    }

    ~Program()
    {
        if (process->isRunning())
            ::kill(process->processIdentifier(), SIGKILL);
        process->waitUntilExit();
    }

    // The next line without its end; what is left at the end of the output. Waits at most a
    // safety limit.
    std::string readLine()
    {
        std::string line;
        int descriptor = output->fileHandleForReading()->fileDescriptor();
        for (;;) {
            pollfd readable { descriptor, POLLIN, 0 };
            if (::poll(&readable, 1, 10000) != 1)
                throw std::runtime_error("no output within the safety limit");
            char character;
            if (::read(descriptor, &character, 1) != 1 || character == '\n')
                return line;
            line += character;
        }
    }

    void signal(int number) { ::kill(process->processIdentifier(), number); }

    // The exit status, or 128 plus the number of the signal that ended it.
    int wait()
    {
        process->waitUntilExit();
        if (process->terminationReason() == foundation::Process::TerminationReason::uncaughtSignal)
            return 128 + process->terminationStatus();
        return process->terminationStatus();
    }

private:
    std::shared_ptr<foundation::Pipe> output = std::make_shared<foundation::Pipe>();
    std::shared_ptr<foundation::Process> process = std::make_shared<foundation::Process>();
};

// The named service on which the fake hosts report what they did.
class Reports {
public:
    Reports()
        : server(xpc::Connection::createMachServiceListener(name),
            [texts = texts](const xpc::XPCDictionary& request, xpc::Connection& peer) {
                texts->push(request.string("Report").value_or(""));
                if (std::optional<xpc::XPCDictionary> reply = xpc::XPCDictionary::createReply(request))
                    peer.sendMessage(*reply);
            })
    {
    }
    ~Reports() { server.stop(); }

    std::string next() { return texts->next(); }

    static constexpr const char* name = "vorlane-test-reports";

private:
    std::shared_ptr<Mailbox<std::string>> texts = std::make_shared<Mailbox<std::string>>();
    TestServer server;
};

class ServicesProgramTest : public testing::Test {
protected:
    // A host command that runs the fake host, reporting to `reports`.
    std::string hostCommand(bool linger)
    {
        std::string path = scratch.imageDirectory() + "/../host";
        std::ofstream(path) << "#!/bin/sh\nexec '" << FAKE_VOLUME_HOST << "' --report " << Reports::name
                            << (linger ? " --linger" : "") << " \"$@\"\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }

    std::unique_ptr<Program> startServices(const std::string& tool, bool linger)
    {
        auto services = std::make_unique<Program>(VORLANE_SERVICES,
            std::vector<std::string> { "--host", hostCommand(linger), "--disk-image-tool", tool,
                "--image-directory", scratch.imageDirectory() });
        EXPECT_EQ(services->readLine(), "ready");
        return services;
    }

    FakeDiskImageTool scratch;
    Reports reports;
};

TEST_F(ServicesProgramTest, theProgramsServeAVolumeEndToEndAndLeaveNothingBehind)
{
    std::unique_ptr<Program> services = startServices(scratch.toolPath(), false);
    Program daemon(VORLANE_FUSED, { "--case-insensitive", "memfs" });
    std::string volume = daemon.readLine();
    EXPECT_TRUE(foundation::UUID::parse(volume).has_value()) << volume;
    EXPECT_EQ(daemon.wait(), 0);
    EXPECT_EQ(reports.next(), "done volume=" + volume + " flags=20000000 destroyed=yes deactivated=yes");

    services->signal(SIGTERM);
    EXPECT_EQ(services->wait(), 0);
    EXPECT_TRUE(scratch.images().empty());
    EXPECT_TRUE(scratch.devices().empty());
}

TEST_F(ServicesProgramTest, stoppingTheServicesLetsTheHostEndTheSessionBeforeTheDaemonIsTold)
{
    std::unique_ptr<Program> services = startServices(scratch.toolPath(), true);
    Program daemon(VORLANE_FUSED, { "memfs" });
    std::string volume = daemon.readLine();
    std::string report = reports.next();
    ASSERT_TRUE(report.starts_with("serving volume=" + volume + " flags=00000000 pid=")) << report;
    pid_t host = std::stoi(report.substr(report.find("pid=") + 4));

    services->signal(SIGTERM);
    // The host, sent SIGTERM, still reached the daemon and the daemon service.
    EXPECT_EQ(reports.next(), "stopped volume=" + volume + " flags=00000000 destroyed=yes deactivated=yes");
    EXPECT_EQ(services->wait(), 0);
    EXPECT_EQ(daemon.wait(), 0);
    // The services reaped their host: no such process is left.
    EXPECT_EQ(::kill(host, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_TRUE(scratch.images().empty());
    EXPECT_TRUE(scratch.devices().empty());
}

TEST_F(ServicesProgramTest, aDaemonWithoutAVolumeExitsWithFailure)
{
    {
        Program lonely(VORLANE_FUSED, {});
        EXPECT_EQ(lonely.readLine(), "");
        EXPECT_EQ(lonely.wait(), 1);
    }
    scratch.failing("create");
    std::unique_ptr<Program> services = startServices(scratch.toolPath(), false);
    Program refused(VORLANE_FUSED, {});
    EXPECT_EQ(refused.readLine(), "");
    EXPECT_EQ(refused.wait(), 1);
    services->signal(SIGINT);
    EXPECT_EQ(services->wait(), 0);
}

TEST_F(ServicesProgramTest, commandLinesTheProgramsCannotUnderstandExitWithStatus2)
{
    Program services(VORLANE_SERVICES, { "--image-size", "tiny" });
    EXPECT_EQ(services.wait(), 2);
    Program daemon(VORLANE_FUSED, { "--no-such-option" });
    EXPECT_EQ(daemon.wait(), 2);
}

TEST_F(ServicesProgramTest, helpPrintsTheUsageAndExitsWithSuccess)
{
    Program services(VORLANE_SERVICES, { "--help" });
    EXPECT_TRUE(services.readLine().starts_with("usage: vorlane-services"));
    EXPECT_EQ(services.wait(), 0);
    Program daemon(VORLANE_FUSED, { "memfs", "--help" });
    EXPECT_TRUE(daemon.readLine().starts_with("usage: vorlane-fused"));
    EXPECT_EQ(daemon.wait(), 0);
}

} // namespace
