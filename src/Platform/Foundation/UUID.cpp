#include "Platform/Foundation/UUID.h"

#include "Platform/Foundation/HexDigit.h"
#include "Platform/OS/FatalError.h"

#include <sys/random.h>

#include <cstring>

namespace foundation {

UUID::UUID()
{
    std::size_t filled = 0;
    while (filled < storage.size()) {
        ssize_t count = getrandom(storage.data() + filled, storage.size() - filled, 0);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            vl::fatalError("Cannot read random bytes for a UUID", "Foundation/UUID");
        }
        filled += static_cast<std::size_t>(count);
    }
    storage[6] = static_cast<std::uint8_t>((storage[6] & 0x0F) | 0x40);
    storage[8] = static_cast<std::uint8_t>((storage[8] & 0x3F) | 0x80);
}

UUID UUID::fromBytes(const std::uint8_t* bytes)
{
    Bytes copy;
    std::memcpy(copy.data(), bytes, copy.size());
    return UUID(copy);
}

namespace {

constexpr bool isDashPosition(std::size_t index)
{
    return index == 8 || index == 13 || index == 18 || index == 23;
}

} // namespace

std::optional<UUID> UUID::parse(std::string_view text)
{
    if (text.size() != 36)
        return std::nullopt;
    Bytes bytes {};
    std::size_t nibble = 0;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (isDashPosition(index)) {
            if (text[index] != '-')
                return std::nullopt;
            continue;
        }
        int value = hexDigitValue(text[index]);
        if (value < 0)
            return std::nullopt;
        bytes[nibble / 2]
            = static_cast<std::uint8_t>(bytes[nibble / 2] | (nibble % 2 == 0 ? value << 4 : value));
        ++nibble;
    }
    return UUID(bytes);
}

std::string UUID::uuidString() const
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t index = 0; index < storage.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10)
            text.push_back('-');
        text.push_back(digits[storage[index] >> 4]);
        text.push_back(digits[storage[index] & 0x0F]);
    }
    return text;
}

} // namespace foundation

std::size_t std::hash<foundation::UUID>::operator()(const foundation::UUID& uuid) const noexcept
{
    std::size_t value = 0;
    for (std::uint8_t byte : uuid.bytes())
        value = value * 131 + byte;
    return value;
}
