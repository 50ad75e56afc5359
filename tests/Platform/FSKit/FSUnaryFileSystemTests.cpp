#include "Platform/FSKit/FSError.h"
#include "Platform/FSKit/FSUnaryFileSystem.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

class RefusingFileSystem final : public fskit::FSUnaryFileSystem {
public:
    void probeResource(std::shared_ptr<fskit::FSResource>,
        std::function<void(std::optional<fskit::FSProbeResult>, std::exception_ptr)> reply) override
    {
        reply(fskit::FSProbeResult::notRecognizedProbeResult(), nullptr);
    }
    void loadResource(std::shared_ptr<fskit::FSResource>, fskit::FSTaskOptions,
        std::function<void(std::shared_ptr<fskit::FSVolume>, std::exception_ptr)> reply) override
    {
        reply(nullptr, std::make_exception_ptr(fskit::fs_errorForPOSIXError(ENODEV)));
    }
    void unloadResource(std::shared_ptr<fskit::FSResource>, fskit::FSTaskOptions,
        std::function<void(std::exception_ptr)> reply) override
    {
        reply(nullptr);
    }
};

TEST(FSUnaryFileSystem, ContainerIsNotReadyUntilTheFileSystemSetsIt)
{
    RefusingFileSystem fileSystem;
    EXPECT_EQ(fileSystem.containerStatus().state(), fskit::FSContainerState::notReady);
    EXPECT_FALSE(fileSystem.containerStatus().status());
    fileSystem.setContainerStatus(fskit::FSContainerStatus::ready());
    EXPECT_EQ(fileSystem.containerStatus().state(), fskit::FSContainerState::ready);
}

TEST(FSUnaryFileSystem, ProbeResultsCarryMatchNameAndContainer)
{
    const fskit::FSContainerIdentifier container(
        *foundation::UUID::parse("00000000-0000-0000-0056-6F726C616E65"));
    fskit::FSProbeResult usable = fskit::FSProbeResult::usableProbeResult("Vorlane Volume", container);
    EXPECT_EQ(usable.result(), fskit::FSMatchResult::usable);
    EXPECT_EQ(usable.name(), "Vorlane Volume");
    EXPECT_EQ(usable.containerID(), container);
    EXPECT_NE(usable.containerID(), fskit::FSContainerIdentifier(foundation::UUID()));
    fskit::FSProbeResult refused = fskit::FSProbeResult::notRecognizedProbeResult();
    EXPECT_EQ(refused.result(), fskit::FSMatchResult::notRecognized);
    EXPECT_FALSE(refused.name());
    EXPECT_FALSE(refused.containerID());
}

} // namespace
