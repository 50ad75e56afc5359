// The answer to one kernel readdir: FSKit's directory entry packer over a buffer of the size the
// kernel asked for, filled with libfuse's directory records (fuse_add_direntry).
//
// An entry that does not fit whole is refused (packEntry answers false) and the buffer stays as it
// was, so the kernel's next readdir starts from the cookie of the last entry taken, which is the
// offset the kernel hands back. The host adds "." and ".." at the start of a listing: their
// offsets are two values at the top of the kernel's offset range that no daemon cookie is expected
// to take (volume cookies are insertion sequences or a directory stream's own offsets, which stay
// below them), and a listing resumed after either goes on with the volume's first entry. Used by
// one enumeration at a time.
#pragma once

#include "Platform/FSKit/FSDirectoryEntryPacker.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace host {

class DirectoryBuffer final : public fskit::FSDirectoryEntryPacker {
public:
    static constexpr off_t afterDot = 0x7FFFFFFFFFFFFFFD;
    static constexpr off_t afterDotDot = 0x7FFFFFFFFFFFFFFE;

    explicit DirectoryBuffer(std::size_t capacity)
        : bytes(capacity)
    {
    }

    // Starts a listing of `directory` at the kernel's `offset`: adds "." and ".." where they are
    // due and returns the volume cookie to enumerate from.
    fskit::FSDirectoryCookie start(off_t offset, std::uint64_t directory);

    bool packEntry(const fskit::FSFileName& name, fskit::FSItemType itemType,
        fskit::FSItem::Identifier itemID, fskit::FSDirectoryCookie nextCookie,
        const fskit::FSItemAttributes* attributes) override;

    // Adds one record; false, adding nothing, when it does not fit.
    bool add(std::string_view name, std::uint64_t inode, mode_t typeBits, off_t nextOffset);

    const char* data() const { return bytes.data(); }
    std::size_t size() const { return used; }

private:
    std::vector<char> bytes;
    std::size_t used = 0;
};

} // namespace host
