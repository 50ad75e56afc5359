// A byte value: an owned, contiguous sequence of bytes, copied on copy.
//
// Built from a raw buffer (an absent buffer or a count of zero gives empty data) or from text;
// plain value semantics, no sharing between copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

class Data {
public:
    Data() = default;
    // A copy of `count` bytes at `buffer`; a null buffer gives empty data.
    Data(const void* buffer, std::size_t count);
    explicit Data(std::span<const std::uint8_t> bytes)
        : storage(bytes.begin(), bytes.end())
    {
    }
    explicit Data(std::string_view text);

    const std::uint8_t* data() const { return storage.data(); }
    std::uint8_t* data() { return storage.data(); }
    std::size_t size() const { return storage.size(); }
    bool empty() const { return storage.empty(); }
    std::span<const std::uint8_t> bytes() const { return storage; }

    void append(const void* buffer, std::size_t count);
    void resize(std::size_t count) { storage.resize(count); }

    // The bytes read as UTF-8; invalid sequences become U+FFFD.
    std::string decodedAsUTF8() const;

    friend bool operator==(const Data&, const Data&) = default;

private:
    std::vector<std::uint8_t> storage;
};

} // namespace foundation
