#include "Platform/Foundation/URL.h"

#include "Platform/Foundation/HexDigit.h"

namespace foundation {

namespace {

bool isUnreservedInPath(unsigned char character)
{
    if ((character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z')
        || (character >= '0' && character <= '9'))
        return true;
    switch (character) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '/':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
        return true;
    default:
        return false;
    }
}

} // namespace

URL URL::fileURLWithPath(std::string_view path)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char character : path) {
        if (isUnreservedInPath(character)) {
            encoded.push_back(static_cast<char>(character));
        } else {
            encoded.push_back('%');
            encoded.push_back(digits[character >> 4]);
            encoded.push_back(digits[character & 0x0F]);
        }
    }
    return URL(std::move(encoded));
}

URL URL::fileURLWithEncodedPath(std::string encodedPath)
{
    return URL(std::move(encodedPath));
}

std::optional<std::string> URL::path() const
{
    return removingPercentEncoding(storedPath);
}

std::optional<std::string> removingPercentEncoding(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '%') {
            decoded.push_back(text[index]);
            continue;
        }
        if (index + 2 >= text.size())
            return std::nullopt;
        int high = hexDigitValue(text[index + 1]);
        int low = hexDigitValue(text[index + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        decoded.push_back(static_cast<char>(high * 16 + low));
        index += 2;
    }
    return decoded;
}

} // namespace foundation
