// A stand-in for the FSKit host, run by vorlane-services in the end-to-end tests:
//
//   FakeVolumeHost --report SERVICE [--linger] DEVICE
//
// It plays the volume on DEVICE: advertises it, takes the daemon's call, sends FUSE_INIT; then,
// with --linger, reports "serving" and waits for SIGTERM, as the real host does. Then it ends
// the volume: sends FUSE_DESTROY and "device-deactivate" and reports "done" (or "stopped" after
// SIGTERM). Each report is a {"Report": text} message to the named service SERVICE that the
// test listens on; a failure is reported as "failed: why".
#include "Support/FakeVolume.h"
#include "Support/FusePeer.h"
#include "Support/TestClient.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

namespace keys = services::protocol;

// SIGTERM, blocked in every thread and taken only by sigwait.
sigset_t stopSignals;

void report(const std::string& service, const std::string& text)
{
    xpc::XPCDictionary message;
    message.setString("Report", text);
    testing_support::TestClient(service).exchange(message);
}

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string playVolume(const std::string& reportService, const std::string& device, bool linger)
{
    testing_support::FakeVolume volume(device);
    if (volume.advertise().boolean(keys::successKey) != true)
        return "failed: the broker refused the advertisement";
    testing_support::FakeVolume::Call call = volume.nextCall();
    if (!call.socket)
        return "failed: the daemon's call asked for no socket";
    vl::fuse_init_out init = testing_support::initializeFuse(call.socket->fileDescriptor());
    std::string identity = "volume=" + volume.identifier().uuidString() + " flags=" + hex(init.flags);
    if (linger) {
        report(reportService, "serving " + identity + " pid=" + std::to_string(::getpid()));
        int received = 0;
        sigwait(&stopSignals, &received);
    }
    bool destroyed = testing_support::destroyFuse(call.socket->fileDescriptor(), 2);
    std::string bsdName = std::filesystem::path(device).filename().string();
    bool deactivated
        = testing_support::FakeVolume::deactivate(bsdName, true)->boolean(keys::successKey) == true;
    return std::string(linger ? "stopped " : "done ") + identity + " destroyed=" + (destroyed ? "yes" : "no")
        + " deactivated=" + (deactivated ? "yes" : "no");
}

} // namespace

int main(int argc, char** argv)
{
    std::string reportService;
    std::string device;
    bool linger = false;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        if (argument == "--report" && index + 1 < argc)
            reportService = argv[++index];
        else if (argument == "--linger")
            linger = true;
        else
            device = argument;
    }
    if (reportService.empty() || device.empty())
        return 2;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::string outcome;
    try {
        outcome = playVolume(reportService, device, linger);
    } catch (const std::exception& error) {
        outcome = std::string("failed: ") + error.what();
    }
    try {
        report(reportService, outcome);
    } catch (const std::exception&) {
        return 1;
    }
    return outcome.starts_with("failed") ? 1 : 0;
}
