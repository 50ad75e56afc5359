// A half-open range of integers built from a start and a count.
//
// rangeStarting(start, count) is [start, start + count); a negative count or an upper bound that
// does not fit the type ends the process, so a range that exists is always well formed.
#pragma once

#include "Platform/OS/FatalError.h"

#include <concepts>
#include <type_traits>

namespace vl {

template <std::integral T> struct IndexRange {
    T lowerBound;
    T upperBound;

    constexpr T count() const { return upperBound - lowerBound; }
    constexpr bool isEmpty() const { return lowerBound == upperBound; }
    constexpr bool contains(T index) const { return lowerBound <= index && index < upperBound; }
    friend constexpr bool operator==(const IndexRange&, const IndexRange&) = default;
};

template <std::integral T, std::integral Count> constexpr IndexRange<T> rangeStarting(T start, Count count)
{
    if constexpr (std::is_signed_v<Count>)
        if (count < 0)
            fatalError("Range count is negative", "VLFoundation/IndexRange");
    T upperBound;
    if (__builtin_add_overflow(start, count, &upperBound))
        fatalError("Range upper bound overflows", "VLFoundation/IndexRange");
    return { start, upperBound };
}

} // namespace vl
