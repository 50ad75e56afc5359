#include "Platform/FSKit/FSBlockDeviceResource.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace fskit {

namespace {

class OwnedDescriptor {
public:
    explicit OwnedDescriptor(int descriptor)
        : descriptor(descriptor)
    {
    }
    ~OwnedDescriptor()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    int get() const { return descriptor; }
    int release() { return std::exchange(descriptor, -1); }

private:
    int descriptor;
};

} // namespace

std::shared_ptr<FSBlockDeviceResource> FSBlockDeviceResource::open(
    const std::filesystem::path& path, std::int64_t regularFilePhysicalBlockSize)
{
    OwnedDescriptor descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (descriptor.get() < 0)
        throw fs_errorForPOSIXError(posix::currentErrno());
    struct stat status { };
    if (::fstat(descriptor.get(), &status) != 0)
        throw fs_errorForPOSIXError(posix::currentErrno());

    std::int64_t physicalBlockSize;
    if (S_ISBLK(status.st_mode)) {
        unsigned int deviceBlockSize = 0;
        if (::ioctl(descriptor.get(), BLKPBSZGET, &deviceBlockSize) != 0)
            throw fs_errorForPOSIXError(posix::currentErrno());
        physicalBlockSize = deviceBlockSize;
    } else if (S_ISREG(status.st_mode)) {
        physicalBlockSize = regularFilePhysicalBlockSize;
    } else {
        throw fs_errorForPOSIXError(posix::enotblk);
    }

    // Device links such as /dev/disk/by-id/... resolve to the node whose name is the BSD name.
    std::error_code ignored;
    std::filesystem::path canonical = std::filesystem::canonical(path, ignored);
    std::string name = (canonical.empty() ? path : canonical).filename().string();
    return std::shared_ptr<FSBlockDeviceResource>(
        new FSBlockDeviceResource(descriptor.release(), std::move(name), physicalBlockSize));
}

FSBlockDeviceResource::FSBlockDeviceResource(
    int fileDescriptor, std::string deviceName, std::int64_t physicalBlockSize)
    : fileDescriptor(fileDescriptor)
    , deviceName(std::move(deviceName))
    , physicalBlockSizeValue(physicalBlockSize)
{
}

FSBlockDeviceResource::~FSBlockDeviceResource()
{
    ::close(fileDescriptor);
}

std::int64_t FSBlockDeviceResource::read(
    std::span<std::uint8_t> buffer, std::int64_t offset, std::int64_t length) const
{
    if (offset < 0 || length < 0 || static_cast<std::uint64_t>(length) > buffer.size())
        throw fs_errorForPOSIXError(posix::einval);
    for (;;) {
        const ssize_t count
            = ::pread(fileDescriptor, buffer.data(), static_cast<std::size_t>(length), offset);
        if (count >= 0)
            return count;
        if (errno != EINTR)
            throw fs_errorForPOSIXError(posix::currentErrno());
    }
}

} // namespace fskit
