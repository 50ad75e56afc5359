// An item's open FUSE file handle, shared by every FSKit open of the item and counted by them.
//
// Everything but `count` is fixed at creation; `count` (1 when made) is changed only by a task
// holding the item's write lock.
#pragma once

#include "Platform/FSKit/FSOptions.h"
#include "VLFSModule/Item.h"

#include <cstdint>

namespace vl {

class Item::FileHandle {
public:
    FileHandle(fskit::FSVolumeOpenModes modes, std::uint64_t fileDescriptor, std::uint32_t flags,
        std::uint32_t returnedFlags)
        : modes(modes)
        , fileDescriptor(fileDescriptor)
        , flags(flags)
        , returnedFlags(returnedFlags)
    {
    }

    const fskit::FSVolumeOpenModes modes;
    // The daemon's handle (`fh` of its open reply).
    const std::uint64_t fileDescriptor;
    // The open flags sent to the daemon.
    const std::uint32_t flags;
    // The daemon's `open_flags`, kept as they came.
    const std::uint32_t returnedFlags;
    std::int64_t count = 1;
};

} // namespace vl
