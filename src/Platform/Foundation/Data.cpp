#include "Platform/Foundation/Data.h"

namespace foundation {

Data::Data(const void* buffer, std::size_t count)
{
    append(buffer, count);
}

Data::Data(std::string_view text)
    : Data(text.data(), text.size())
{
}

void Data::append(const void* buffer, std::size_t count)
{
    if (buffer == nullptr || count == 0)
        return;
    auto* first = static_cast<const std::uint8_t*>(buffer);
    storage.insert(storage.end(), first, first + count);
}

namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// The length of the well-formed UTF-8 sequence at `index`, or 0 when it is not well formed.
std::size_t validSequenceLength(const std::vector<std::uint8_t>& bytes, std::size_t index)
{
    std::uint8_t lead = bytes[index];
    std::size_t length;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (index + length > bytes.size())
        return 0;
    for (std::size_t offset = 1; offset < length; ++offset) {
        std::uint8_t next = bytes[index + offset];
        std::uint8_t lowBound = offset == 1 ? low : 0x80;
        std::uint8_t highBound = offset == 1 ? high : 0xBF;
        if (next < lowBound || next > highBound)
            return 0;
    }
    return length;
}

} // namespace

std::string Data::decodedAsUTF8() const
{
    std::string text;
    text.reserve(storage.size());
    std::size_t index = 0;
    while (index < storage.size()) {
        std::size_t length = validSequenceLength(storage, index);
        if (length == 0) {
            text.append(replacementCharacter);
            ++index;
            continue;
        }
        text.append(reinterpret_cast<const char*>(storage.data() + index), length);
        index += length;
    }
    return text;
}

} // namespace foundation
