// The buffer FSKit hands to a read: `length` writable bytes that the file system fills.
//
// Owned by FSKit and shared with the reading task for the duration of the read; the bytes are
// zero until written. Not thread-safe: one read writes into it at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace fskit {

class FSMutableFileDataBuffer {
public:
    explicit FSMutableFileDataBuffer(std::size_t length)
        : bytes(length)
    {
    }

    std::size_t length() const { return bytes.size(); }
    std::span<std::uint8_t> mutableBytes() { return bytes; }
    std::span<const std::uint8_t> bytesView() const { return bytes; }

private:
    std::vector<std::uint8_t> bytes;
};

} // namespace fskit
