#include "vorlane-services/VolumeImages.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/FakeDiskImageTool.h"
#include "Support/FakeVolume.h"
#include "Support/LoopDevices.h"
#include "Support/ScopeExit.h"
#include "VLFoundation/DiskImage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using testing_support::FakeDiskImageTool;

std::vector<char> contents(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(file), {});
}

TEST(VolumeImages, anImageHasTheConfiguredSizeAndTheVolumeUUIDInItsFirst16Bytes)
{
    FakeDiskImageTool tool;
    services::VolumeImages images(
        foundation::URL::fileURLWithPath(tool.toolPath()), tool.imageDirectory() + "/new", 4096);
    images.prepareDirectory();
    foundation::UUID volume;
    std::string path = tasks::runBlocking(images.create(volume));

    EXPECT_EQ(path, tool.imageDirectory() + "/new/" + volume.uuidString() + ".img");
    std::vector<char> bytes = contents(path);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_TRUE(std::equal(
        volume.bytes().begin(), volume.bytes().end(), reinterpret_cast<std::uint8_t*>(bytes.data())));
    EXPECT_TRUE(std::all_of(bytes.begin() + 16, bytes.end(), [](char byte) { return byte == 0; }));
    EXPECT_EQ(tool.log(), std::vector<std::string> { "create -size 4096 -layout NONE " + path });
    images.remove(path);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(VolumeImages, attachingAnswersTheDeviceAndItsBSDNameAndDetachingTakesIt)
{
    FakeDiskImageTool tool;
    services::VolumeImages images(
        foundation::URL::fileURLWithPath(tool.toolPath()), tool.imageDirectory(), 1 << 20);
    std::string path = tasks::runBlocking(images.create(foundation::UUID()));
    services::AttachedDevice device = tasks::runBlocking(images.attach(path));

    EXPECT_EQ(device.bsdName, "disk0");
    EXPECT_EQ(std::filesystem::path(device.devicePath).filename(), "disk0");
    EXPECT_EQ(std::filesystem::read_symlink(device.devicePath), path);
    tasks::runBlocking(images.detach(device.bsdName));
    EXPECT_TRUE(tool.devices().empty());
    EXPECT_THROW(tasks::runBlocking(images.detach(device.bsdName)), vl::DiskImage::Error);
}

TEST(VolumeImages, failuresOfTheToolAndOfRemovalAreReported)
{
    FakeDiskImageTool tool;
    services::VolumeImages images(
        foundation::URL::fileURLWithPath(tool.toolPath()), tool.imageDirectory(), 1 << 20);
    tool.failing("create");
    try {
        tasks::runBlocking(images.create(foundation::UUID()));
        ADD_FAILURE() << "creating succeeded";
    } catch (const vl::DiskImage::Error& error) {
        EXPECT_EQ(error, vl::DiskImage::Error::createFailed(1));
    }
    EXPECT_TRUE(tool.images().empty());
    tool.failing("attach");
    EXPECT_THROW(
        tasks::runBlocking(images.attach(tool.imageDirectory() + "/missing.img")), vl::DiskImage::Error);
    try {
        images.remove(tool.imageDirectory() + "/missing.img");
        ADD_FAILURE() << "removing succeeded";
    } catch (const foundation::POSIXError& error) {
        EXPECT_EQ(error.errnoCode(), ENOENT);
    }
}

TEST(VolumeImages, aRealLoopDeviceShowsTheVolumeUUID)
{
    if (std::optional<std::string> reason = testing_support::loopDevicesUnavailable())
        GTEST_SKIP() << "skipped: " << *reason;
    FakeDiskImageTool scratch; // only for its directory
    services::VolumeImages images(vl::DiskImage::defaultToolURL(), scratch.imageDirectory(), 1 << 20);
    foundation::UUID volume;
    std::string path = tasks::runBlocking(images.create(volume));
    services::AttachedDevice device = tasks::runBlocking(images.attach(path));
    bool detached = false;
    // A failing assertion below must not leave the device attached.
    testing_support::ScopeExit detach([&] {
        if (!detached)
            (void)tasks::runBlocking(tasks::catching(images.detach(device.bsdName)));
    });

    EXPECT_TRUE(device.devicePath.starts_with("/dev/loop")) << device.devicePath;
    EXPECT_EQ("/dev/" + device.bsdName, device.devicePath);
    EXPECT_EQ(testing_support::DeviceImage::identityOf(device.devicePath), volume);
    tasks::runBlocking(images.detach(device.bsdName));
    detached = true;
    EXPECT_EQ(tasks::runBlocking(vl::DiskImage::url(device.bsdName)), std::nullopt);
    images.remove(path);
}

} // namespace
