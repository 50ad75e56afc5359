// A universally unique identifier: 16 raw bytes, compared and hashed as bytes.
//
// Its canonical text is the upper-case 8-4-4-4-12 hexadecimal form; parsing accepts either case.
// A value type, safe to copy between threads.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // A fresh random (version 4) identifier.
    UUID();
    explicit UUID(const Bytes& bytes)
        : storage(bytes)
    {
    }
    // The 16 bytes starting at `bytes`, in order.
    static UUID fromBytes(const std::uint8_t* bytes);
    static std::optional<UUID> parse(std::string_view text);

    const Bytes& bytes() const { return storage; }
    std::string uuidString() const;
    std::string description() const { return uuidString(); }

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes storage;
};

} // namespace foundation

template <> struct std::hash<foundation::UUID> {
    std::size_t operator()(const foundation::UUID& uuid) const noexcept;
};
