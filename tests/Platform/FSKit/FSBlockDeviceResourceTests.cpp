#include "Platform/FSKit/FSBlockDeviceResource.h"
#include "Platform/FSKit/FSError.h"

#include "Support/DeviceImage.h"
#include "Support/ErrnoThrown.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::DeviceImage;
using testing_support::errnoThrownBy;

// Where the bytes come from is the volume's identity test; here the edges of a read.
TEST(FSBlockDeviceResource, ReportsItsBlockSizeAndNameAndReadsShortOnlyAtTheEnd)
{
    DeviceImage image(1100);
    auto resource = image.open();
    EXPECT_EQ(resource->physicalBlockSize(), 512);
    EXPECT_EQ(resource->BSDName(), std::filesystem::path(image.path).filename().string());
    EXPECT_EQ(image.open(8)->physicalBlockSize(), 8);

    Bytes buffer(512, 0xEE);
    EXPECT_EQ(resource->read(buffer, 1000, 16), 16);
    EXPECT_EQ(buffer[16], 0xEE) << "bytes past the requested length are left alone";
    EXPECT_EQ(resource->read(buffer, 1090, 512), 10);
    EXPECT_EQ(resource->read(buffer, 1100, 512), 0);
    EXPECT_EQ(resource->read(buffer, 5000, 16), 0);
    EXPECT_EQ(resource->read(buffer, 0, 0), 0);
}

TEST(FSBlockDeviceResource, RejectsBadArgumentsAndResourcesWithPOSIXErrors)
{
    DeviceImage image(100);
    auto resource = image.open();
    Bytes buffer(16);
    EXPECT_EQ(errnoThrownBy<fskit::FSError>([&] { resource->read(buffer, 0, 17); }), EINVAL);
    EXPECT_EQ(errnoThrownBy<fskit::FSError>([&] { resource->read(buffer, -1, 1); }), EINVAL);
    EXPECT_EQ(errnoThrownBy<fskit::FSError>([&] { resource->read(buffer, 0, -1); }), EINVAL);
    EXPECT_EQ(
        errnoThrownBy<fskit::FSError>([&] { fskit::FSBlockDeviceResource::open(image.path + ".missing"); }),
        ENOENT);
    EXPECT_EQ(errnoThrownBy<fskit::FSError>(
                  [&] { fskit::FSBlockDeviceResource::open(std::filesystem::temp_directory_path()); }),
        ENOTBLK);
}

} // namespace
