#include "Platform/FSKit/FSBlockDeviceResource.h"
#include "Platform/FSKit/FSError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A regular file of `size` bytes whose byte at offset n is n modulo 251, removed at the end.
class DiskImageFile {
public:
    explicit DiskImageFile(std::size_t size)
        : path(std::filesystem::temp_directory_path()
            / ("fskit-resource-" + std::to_string(::getpid()) + "-" + std::to_string(size) + ".img"))
    {
        Bytes contents(size);
        for (std::size_t offset = 0; offset < size; ++offset)
            contents[offset] = static_cast<std::uint8_t>(offset % 251);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(contents.data()),
                static_cast<std::streamsize>(contents.size()));
    }
    ~DiskImageFile() { std::filesystem::remove(path); }

    const std::filesystem::path path;
};

int errnoOf(auto&& body)
{
    try {
        body();
    } catch (const fskit::FSError& error) {
        return error.errnoCode();
    }
    return 0;
}

// Where the bytes come from is the volume's identity test; here the edges of a read.
TEST(FSBlockDeviceResource, ReportsItsBlockSizeAndNameAndReadsShortOnlyAtTheEnd)
{
    DiskImageFile image(1100);
    auto resource = fskit::FSBlockDeviceResource::open(image.path);
    EXPECT_EQ(resource->physicalBlockSize(), 512);
    EXPECT_EQ(resource->BSDName(), image.path.filename().string());
    EXPECT_EQ(fskit::FSBlockDeviceResource::open(image.path, 8)->physicalBlockSize(), 8);

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
    DiskImageFile image(100);
    auto resource = fskit::FSBlockDeviceResource::open(image.path);
    Bytes buffer(16);
    EXPECT_EQ(errnoOf([&] { resource->read(buffer, 0, 17); }), EINVAL);
    EXPECT_EQ(errnoOf([&] { resource->read(buffer, -1, 1); }), EINVAL);
    EXPECT_EQ(errnoOf([&] { resource->read(buffer, 0, -1); }), EINVAL);
    EXPECT_EQ(errnoOf([&] { fskit::FSBlockDeviceResource::open(image.path.string() + ".missing"); }), ENOENT);
    EXPECT_EQ(errnoOf([&] { fskit::FSBlockDeviceResource::open(std::filesystem::temp_directory_path()); }),
        ENOTBLK);
}

} // namespace
