#include "VLFSModule/FileSystem.h"

#include "Platform/OS/Logger.h"
#include "Support/Mailbox.h"
#include "Support/VolumeTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace testing_support;
using vl::FileSystem;

class NotABlockDevice final : public fskit::FSResource { };

struct ProbeOutcome {
    std::optional<fskit::FSProbeResult> result;
    std::exception_ptr error;
};

ProbeOutcome probe(FileSystem& fileSystem, std::shared_ptr<fskit::FSResource> resource)
{
    Mailbox<ProbeOutcome> outcomes;
    fileSystem.probeResource(std::move(resource),
        [&outcomes](std::optional<fskit::FSProbeResult> result, std::exception_ptr error) {
            outcomes.push({ std::move(result), error });
        });
    EXPECT_EQ(outcomes.count(), 1u) << "probe must answer before it returns";
    return outcomes.next();
}

struct LoadOutcome {
    std::shared_ptr<fskit::FSVolume> volume;
    std::exception_ptr error;
};

// Loads `resource`; the outcome arrives in the mailbox returned.
std::shared_ptr<Mailbox<LoadOutcome>> load(
    FileSystem& fileSystem, std::shared_ptr<fskit::FSResource> resource)
{
    auto outcomes = std::make_shared<Mailbox<LoadOutcome>>();
    fileSystem.loadResource(std::move(resource), {},
        [outcomes](std::shared_ptr<fskit::FSVolume> volume, std::exception_ptr error) {
            outcomes->push({ std::move(volume), error });
        });
    return outcomes;
}

TEST(FileSystem, EveryBlockDeviceProbesUsableUnderOneNameAndContainerAndOtherResourcesAreRefused)
{
    std::atomic<int> connects { 0 };
    FileSystem fileSystem([&connects](foundation::UUID) -> tasks::Task<std::shared_ptr<vl::Channel>> {
        ++connects;
        co_return nullptr;
    });
    DeviceImage first;
    DeviceImage second;
    ProbeOutcome one = probe(fileSystem, first.open());
    ProbeOutcome two = probe(fileSystem, second.open());
    ASSERT_TRUE(one.result);
    EXPECT_EQ(one.error, nullptr);
    EXPECT_EQ(one.result->result(), fskit::FSMatchResult::usable);
    EXPECT_EQ(one.result->name(), "Vorlane Volume");
    EXPECT_EQ(one.result->containerID()->uuid().uuidString(), "00000000-0000-0000-0056-6F726C616E65");
    EXPECT_EQ(two.result->name(), one.result->name());
    EXPECT_EQ(two.result->containerID(), one.result->containerID());

    // Probe and load refuse other resources without constructing a volume.
    ProbeOutcome probed = probe(fileSystem, std::make_shared<NotABlockDevice>());
    EXPECT_FALSE(probed.result);
    EXPECT_THROW(std::rethrow_exception(probed.error), FileSystem::Error);
    std::shared_ptr<Mailbox<LoadOutcome>> loaded = load(fileSystem, std::make_shared<NotABlockDevice>());
    ASSERT_EQ(loaded->count(), 1u) << "refusal is immediate";
    LoadOutcome outcome = loaded->next();
    EXPECT_EQ(outcome.volume, nullptr);
    EXPECT_THROW(std::rethrow_exception(outcome.error), FileSystem::Error);
    EXPECT_EQ(connects.load(), 0);
}

TEST(FileSystem, ASuccessfulLoadMakesAConnectedVolumeAndMarksTheContainerReadyAndAFailedOneNeither)
{
    for (std::uint32_t minor : { 18u, 19u }) {
        DeviceImage device;
        FusePeer peer;
        answerHandshake(peer, initReply(7, minor));
        FileSystem fileSystem(connectTo(peer));
        EXPECT_EQ(fileSystem.containerStatus().state(), fskit::FSContainerState::notReady);
        LoadOutcome outcome = load(fileSystem, device.open())->next();
        EXPECT_EQ(outcome.volume && outcome.volume->volumeID().uuid() == device.identity, minor == 19);
        EXPECT_EQ(outcome.error == nullptr, minor == 19);
        EXPECT_EQ(fileSystem.containerStatus().state(),
            minor == 19 ? fskit::FSContainerState::ready : fskit::FSContainerState::notReady);
    }
}

TEST(FileSystem, FinishingLoadingIsLoggedAndTheExtensionServesTheSharedFileSystem)
{
    os::LogCapture log;
    FileSystem::shared().didFinishLoading();
    EXPECT_TRUE(log.contains(os::LogLevel::info, "File system did finish loading"));
    EXPECT_EQ(&vl::FileSystemExtension().fileSystem, &FileSystem::shared());
}

} // namespace
