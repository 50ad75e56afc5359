// One record of a FUSE_READDIR reply payload: the fuse_dirent fixed part, then `namelen` name
// bytes without terminator, then 0 to 7 bytes of padding so that the record's length is a
// multiple of 8. Records follow one another with nothing between or after them; a payload with 24
// or fewer unread bytes holds no further record.
#pragma once

#include "VLChannel/ConsumableMessage.h"
#include "VLChannel/FuseKernel.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vl {

struct DirectoryEntry {
    fuse_dirent dirent;
    // The name's bytes as the daemon sent them, in no particular encoding.
    std::string name;

    // The padding after a name of `namelen` bytes.
    static constexpr std::ptrdiff_t paddingCount(std::uint32_t namelen)
    {
        std::uint64_t unpadded = sizeof(fuse_dirent) + std::uint64_t { namelen };
        return static_cast<std::ptrdiff_t>((8 - unpadded % 8) % 8);
    }

    // Reads the next record; none when 24 or fewer bytes are left unread. A record shorter than
    // its `namelen` and padding promise fails with insufficientData, its fixed part consumed.
    static std::optional<DirectoryEntry> consumeNext(ConsumableMessage& payload);
};

} // namespace vl
