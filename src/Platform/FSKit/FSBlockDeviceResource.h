// A block-device resource: on Linux a block device node or a regular file standing in for one.
//
// Opened read-only; the descriptor is closed when the last holder lets the resource go. Its
// properties are fixed at open; read may be called from any thread at the same time.
#pragma once

#include "Platform/FSKit/FSResource.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace fskit {

class FSBlockDeviceResource final : public FSResource {
public:
    // Opens `path`; a block device reports its own physical block size, a regular file
    // `regularFilePhysicalBlockSize`. Throws FSError: the open's errno, or ENOTBLK for anything
    // that is neither.
    static std::shared_ptr<FSBlockDeviceResource> open(
        const std::filesystem::path& path, std::int64_t regularFilePhysicalBlockSize = 512);

    ~FSBlockDeviceResource() override;

    // The device's name without "/dev/", such as "loop3"; for a regular file its file name.
    const std::string& BSDName() const { return deviceName; }
    std::int64_t physicalBlockSize() const { return physicalBlockSizeValue; }

    // Reads up to `length` bytes at device offset `offset` into the start of `buffer` with one
    // pread and returns how many were read (fewer at the end of the device, 0 beyond it).
    // Throws FSError: EINVAL for a negative offset or length or a length beyond the buffer,
    // otherwise the read's errno.
    std::int64_t read(std::span<std::uint8_t> buffer, std::int64_t offset, std::int64_t length) const;

private:
    FSBlockDeviceResource(int fileDescriptor, std::string deviceName, std::int64_t physicalBlockSize);

    const int fileDescriptor;
    const std::string deviceName;
    const std::int64_t physicalBlockSizeValue;
};

} // namespace fskit
