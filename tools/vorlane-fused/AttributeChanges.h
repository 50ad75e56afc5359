// The changes a FUSE_SETATTR asks for, read from its fuse_setattr_in: a field is present exactly
// when its bit of `valid` is set. Bits this daemon does not know are ignored. Read once at the
// edge, so that backends see checked values: nanoseconds outside 0..999999999 are refused with
// EINVAL (Darwin's).
#pragma once

#include "VLChannel/FuseKernel.h"

#include <cstdint>
#include <ctime>
#include <optional>

namespace fused {

struct AttributeChanges {
    // Permission, set-id and sticky bits (07777); the file-type bits of the request are ignored.
    std::optional<std::uint32_t> mode;
    std::optional<std::uint32_t> uid;
    std::optional<std::uint32_t> gid;
    std::optional<std::uint64_t> size;
    std::optional<timespec> accessTime;
    std::optional<timespec> modifyTime;
    std::optional<timespec> changeTime;
    std::optional<timespec> birthTime;
    std::optional<timespec> backupTime;
    // Darwin file flags (chflags).
    std::optional<std::uint32_t> flags;
    // The open handle the request names, if any.
    std::optional<std::uint64_t> fh;

    // Throws foundation::POSIXError(posix::einval) for a time whose nanoseconds are out of range.
    static AttributeChanges from(const vl::fuse_setattr_in& request);
};

} // namespace fused
