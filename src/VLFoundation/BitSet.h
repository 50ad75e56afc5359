// Bit-set tests on unsigned integers and on option sets (through their raw values).
//
// allBitsSet(a, b) is true when every bit set in b is also set in a; notAllBitsSet is its
// negation; isIntersecting is true when a and b share at least one bit.
#pragma once

#include <concepts>
#include <type_traits>

namespace vl {

template <typename T>
concept HasRawValue = requires(const T& value)
{
    {
        value.rawValue
        } -> std::convertible_to<unsigned long long>;
};

template <typename T>
concept BitSetLike = std::unsigned_integral<T> || std::is_enum_v<T> || HasRawValue<T>;

template <BitSetLike T> constexpr auto rawBits(const T& value)
{
    if constexpr (std::unsigned_integral<T>)
        return value;
    else if constexpr (std::is_enum_v<T>)
        return static_cast<std::make_unsigned_t<std::underlying_type_t<T>>>(value);
    else
        return value.rawValue;
}

template <BitSetLike T> constexpr bool allBitsSet(const T& value, const T& bits)
{
    return (rawBits(value) & rawBits(bits)) == rawBits(bits);
}

template <BitSetLike T> constexpr bool notAllBitsSet(const T& value, const T& bits)
{
    return !allBitsSet(value, bits);
}

template <BitSetLike T> constexpr bool isIntersecting(const T& value, const T& other)
{
    return (rawBits(value) & rawBits(other)) != 0;
}

} // namespace vl
