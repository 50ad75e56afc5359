#include "vorlane-fused/DirectoryListing.h"

#include "VLChannel/FuseKernel.h"

#include <cstring>

namespace fused {

bool DirectoryListing::add(std::uint64_t ino, std::uint64_t offset, std::uint32_t type, std::string_view name)
{
    const std::size_t length = recordLength(name.size());
    if (length > buffer.size() - used)
        return false;
    vl::fuse_dirent entry { ino, offset, static_cast<std::uint32_t>(name.size()), type };
    std::byte* record = buffer.data() + used;
    std::memcpy(record, &entry, sizeof(entry));
    std::memcpy(record + sizeof(entry), name.data(), name.size());
    std::memset(record + sizeof(entry) + name.size(), 0, length - sizeof(entry) - name.size());
    used += length;
    return true;
}

} // namespace fused
