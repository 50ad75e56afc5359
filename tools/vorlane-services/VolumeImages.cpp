#include "vorlane-services/VolumeImages.h"

#include "Platform/Foundation/DescriptorIO.h"
#include "Platform/Foundation/POSIXError.h"
#include "VLFoundation/DiskImage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <vector>

namespace services {

namespace {

void writeIdentity(const std::string& path, const foundation::UUID& volume)
{
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0)
        throw foundation::POSIXError::fromErrno("open " + path);
    try {
        foundation::writeCompletely(descriptor, std::as_bytes(std::span(volume.bytes())));
    } catch (const foundation::POSIXError& error) {
        ::close(descriptor);
        throw foundation::POSIXError(error.errnoCode(), "write the volume identity to " + path);
    }
    if (::close(descriptor) != 0)
        throw foundation::POSIXError::fromErrno("close " + path);
}

} // namespace

VolumeImages::VolumeImages(foundation::URL tool, std::string directory, std::int64_t size)
    : tool(std::move(tool))
    , directory(std::move(directory))
    , size(size)
{
}

void VolumeImages::prepareDirectory() const
{
    std::filesystem::create_directories(directory);
}

std::string VolumeImages::imagePath(const foundation::UUID& volume) const
{
    return directory + "/" + volume.uuidString() + ".img";
}

tasks::Task<std::string> VolumeImages::create(foundation::UUID volume) const
{
    std::string path = imagePath(volume);
    // Named first (g++ 12, see Task.h).
    foundation::URL image = foundation::URL::fileURLWithPath(path);
    co_await vl::DiskImage::create(image, size, tool);
    try {
        writeIdentity(path, volume);
    } catch (const foundation::POSIXError&) {
        ::unlink(path.c_str());
        throw;
    }
    co_return path;
}

tasks::Task<AttachedDevice> VolumeImages::attach(std::string imagePath) const
{
    foundation::URL image = foundation::URL::fileURLWithPath(imagePath);
    foundation::URL device = co_await vl::DiskImage::attach(image, tool);
    std::string devicePath = device.path().value_or(device.encodedPath());
    std::string bsdName = devicePath.substr(devicePath.find_last_of('/') + 1);
    if (bsdName.empty())
        throw vl::DiskImage::Error::attachDeviceLookupFailed();
    co_return AttachedDevice { devicePath, bsdName };
}

tasks::Task<void> VolumeImages::detach(std::string bsdName) const
{
    co_await vl::DiskImage::detach(std::move(bsdName), tool);
}

tasks::Task<void> VolumeImages::sweep(std::function<void(const std::string&)> report) const
{
    std::string prefix = directory + "/";
    std::optional<vl::DiskImage::Info> attached;
    try {
        attached = co_await vl::DiskImage::info(tool);
    } catch (const std::exception& error) {
        report("Cannot list the attached images: " + std::string(error.what()));
    }
    for (const vl::DiskImage::Image& image :
        attached ? attached->images : std::vector<vl::DiskImage::Image> {}) {
        if (!image.imagePath.starts_with(prefix))
            continue;
        for (const vl::DiskImage::SystemEntity& entity : image.systemEntities) {
            std::string bsdName = entity.devEntry.substr(entity.devEntry.find_last_of('/') + 1);
            try {
                co_await detach(bsdName);
                report("Detached " + entity.devEntry + " (image " + image.imagePath
                    + ") left by an earlier instance");
            } catch (const std::exception& error) {
                report("Cannot detach " + entity.devEntry + " left by an earlier instance: " + error.what());
            }
        }
    }
    std::error_code listing;
    for (const auto& entry : std::filesystem::directory_iterator(directory, listing)) {
        if (entry.path().extension() != ".img")
            continue;
        try {
            remove(entry.path().string());
            report("Removed image " + entry.path().string() + " left by an earlier instance");
        } catch (const std::exception& error) {
            report("Cannot remove image " + entry.path().string()
                + " left by an earlier instance: " + error.what());
        }
    }
}

void VolumeImages::remove(const std::string& imagePath) const
{
    if (::unlink(imagePath.c_str()) != 0)
        throw foundation::POSIXError::fromErrno("unlink " + imagePath);
}

} // namespace services
