#include "Platform/FSKit/FSFileName.h"

#include <cstdio>

namespace fskit {

namespace {

// Length of the UTF-8 sequence starting at `position`, or 0 when it is malformed, overlong,
// a surrogate or beyond U+10FFFF.
std::size_t utf8SequenceLength(std::span<const std::uint8_t> bytes, std::size_t position)
{
    const std::uint8_t lead = bytes[position];
    std::size_t length;
    std::uint32_t codePoint;
    std::uint32_t minimum;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() - position < length)
        return 0;
    for (std::size_t index = 1; index < length; ++index) {
        const std::uint8_t continuation = bytes[position + index];
        if ((continuation & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (continuation & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

FSFileName::FSFileName(std::vector<std::uint8_t> data)
    : bytes(std::make_shared<const std::vector<std::uint8_t>>(std::move(data)))
{
}

FSFileName::FSFileName(std::string_view string)
    : FSFileName(std::vector<std::uint8_t>(string.begin(), string.end()))
{
}

std::optional<std::string> FSFileName::string() const
{
    const std::span<const std::uint8_t> view = data();
    for (std::size_t position = 0; position < view.size();) {
        const std::size_t length = utf8SequenceLength(view, position);
        if (length == 0)
            return std::nullopt;
        position += length;
    }
    return std::string(view.begin(), view.end());
}

std::string FSFileName::description() const
{
    if (std::optional<std::string> text = string())
        return *text;
    std::string result;
    for (const std::uint8_t byte : data()) {
        if (byte >= 0x20 && byte < 0x7F) {
            result.push_back(static_cast<char>(byte));
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            result += escaped;
        }
    }
    return result;
}

} // namespace fskit
