// Volume statistics as FSKit reports them to statfs: sizes in blocks, file counts and the
// file-system type name. A plain value; a volume replaces its statistics as a whole.
#pragma once

#include <cstdint>
#include <string>

namespace fskit {

struct FSStatFSResult {
    explicit FSStatFSResult(std::string fileSystemTypeName)
        : fileSystemTypeName(std::move(fileSystemTypeName))
    {
    }

    std::string fileSystemTypeName;
    std::int64_t fileSystemSubType = 0;
    std::int64_t blockSize = 0;
    std::int64_t ioSize = 0;
    std::uint64_t totalBlocks = 0;
    std::uint64_t availableBlocks = 0;
    std::uint64_t freeBlocks = 0;
    std::uint64_t totalFiles = 0;
    std::uint64_t freeFiles = 0;

    friend bool operator==(const FSStatFSResult&, const FSStatFSResult&) = default;
};

} // namespace fskit
