// A regular file standing in for a block device whose first 16 bytes are a volume UUID (the
// rest zeros); removed with the object. identityOf() reads such a UUID back from any device.
#pragma once

#include "Platform/FSKit/FSBlockDeviceResource.h"
#include "Platform/Foundation/DescriptorIO.h"
#include "Platform/Foundation/UUID.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testing_support {

class DeviceImage {
public:
    explicit DeviceImage(std::size_t size = 4096, foundation::UUID identity = foundation::UUID())
        : identity(identity)
    {
        char pattern[] = "/tmp/vorlane-device-XXXXXX";
        int descriptor = ::mkstemp(pattern);
        if (descriptor < 0)
            throw std::runtime_error("cannot make a device image");
        path = pattern;
        std::vector<std::byte> contents(size);
        std::copy_n(reinterpret_cast<const std::byte*>(identity.bytes().data()),
            std::min<std::size_t>(16, size), contents.begin());
        foundation::writeCompletely(descriptor, contents);
        ::close(descriptor);
    }
    ~DeviceImage() { ::unlink(path.c_str()); }
    DeviceImage(const DeviceImage&) = delete;
    DeviceImage& operator=(const DeviceImage&) = delete;

    std::shared_ptr<fskit::FSBlockDeviceResource> open(std::int64_t blockSize = 512) const
    {
        return fskit::FSBlockDeviceResource::open(path, blockSize);
    }

    static foundation::UUID identityOf(const std::string& devicePath)
    {
        int descriptor = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
            throw std::runtime_error("cannot open " + devicePath);
        foundation::UUID::Bytes bytes {};
        std::size_t count = foundation::readCompletely(descriptor, std::as_writable_bytes(std::span(bytes)));
        ::close(descriptor);
        if (count != bytes.size())
            throw std::runtime_error("cannot read the identity of " + devicePath);
        return foundation::UUID(bytes);
    }

    foundation::UUID identity;
    std::string path;
};

} // namespace testing_support
