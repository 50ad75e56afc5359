// A name in a file system as FSKit passes it: raw bytes, which may or may not be UTF-8 text.
//
// An immutable value whose bytes are shared between copies; sharedData() hands out the storage
// so that a request can reference the bytes without copying them. Safe to use from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fskit {

class FSFileName {
public:
    explicit FSFileName(std::vector<std::uint8_t> data);
    explicit FSFileName(std::string_view string);

    std::span<const std::uint8_t> data() const { return *bytes; }
    const std::shared_ptr<const std::vector<std::uint8_t>>& sharedData() const { return bytes; }
    // The name as text, or nothing when the bytes are not valid UTF-8.
    std::optional<std::string> string() const;
    // The text, or the bytes with every byte outside printable ASCII written as \xNN.
    std::string description() const;

    friend bool operator==(const FSFileName& a, const FSFileName& b) { return *a.bytes == *b.bytes; }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;
};

} // namespace fskit
