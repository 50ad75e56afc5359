// The payload of one READDIR reply being filled: Darwin fuse_dirent records laid end to end in a
// buffer the server owns, each the 24-byte fixed part, the name and zero padding up to the next
// multiple of 8 bytes. A record is never split: add() refuses one that does not fit whole, and the
// backend then stops and resumes from the last record taken on the next READDIR. Not shared
// between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace fused {

class DirectoryListing {
public:
    explicit DirectoryListing(std::span<std::byte> buffer)
        : buffer(buffer)
    {
    }

    // The length of the record of a name of `nameLength` bytes.
    static constexpr std::size_t recordLength(std::size_t nameLength)
    {
        return (24 + nameLength + 7) & ~std::size_t { 7 };
    }

    // Appends one record; false, changing nothing, when it does not fit. `offset` is the cookie
    // that resumes the listing after this entry; `type` a DT_* value (the same on both systems).
    bool add(std::uint64_t ino, std::uint64_t offset, std::uint32_t type, std::string_view name);

    std::size_t size() const { return used; }
    bool empty() const { return used == 0; }

private:
    std::span<std::byte> buffer;
    std::size_t used = 0;
};

} // namespace fused
