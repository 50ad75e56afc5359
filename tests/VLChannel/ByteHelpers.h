// Byte helpers shared by the channel tests: owned regions made from byte lists, the bytes of a
// DiscontiguousData or a structure as a list, and payloads cut into regions at chosen offsets.
#pragma once

#include "Support/FusePeer.h"
#include "VLChannel/DiscontiguousData.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <span>
#include <string_view>
#include <vector>

namespace vl::test {

using Bytes = std::vector<std::uint8_t>;

// A region that owns a copy of `bytes` in an allocation of its own, so that the sanitizer sees any
// read past its end.
inline DiscontiguousData::Region regionOf(const Bytes& bytes)
{
    auto storage = std::make_shared<Bytes>(bytes);
    return { storage, std::as_bytes(std::span(*storage)) };
}

inline DiscontiguousData::Region regionOf(std::string_view text)
{
    return regionOf(Bytes(text.begin(), text.end()));
}

// count bytes counting up from `first`, wrapping at 256.
inline Bytes sequence(std::size_t count, std::uint8_t first = 0)
{
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// Bytes as octets, for readable comparisons.
inline Bytes bytesOf(std::span<const std::byte> bytes)
{
    return Bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()),
        reinterpret_cast<const std::uint8_t*>(bytes.data() + bytes.size()));
}

inline Bytes bytesOf(const DiscontiguousData& data)
{
    return bytesOf(std::span<const std::byte>(testing_support::bytesOf(data)));
}

template <typename Value> Bytes bytesOfValue(const Value& value)
{
    Bytes bytes(sizeof(Value));
    std::memcpy(bytes.data(), &value, sizeof(Value));
    return bytes;
}

inline Bytes concatenated(std::initializer_list<Bytes> pieces)
{
    Bytes result;
    for (const Bytes& piece : pieces)
        result.insert(result.end(), piece.begin(), piece.end());
    return result;
}

// `bytes` as owned regions cut at the given increasing offsets.
inline DiscontiguousData splitAt(const Bytes& bytes, const std::vector<std::size_t>& cuts)
{
    DiscontiguousData data;
    std::size_t start = 0;
    for (std::size_t cut : cuts) {
        data.append(regionOf(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(start),
            bytes.begin() + static_cast<std::ptrdiff_t>(cut))));
        start = cut;
    }
    data.append(regionOf(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end())));
    return data;
}

inline std::vector<std::ptrdiff_t> regionCounts(const DiscontiguousData& data)
{
    std::vector<std::ptrdiff_t> counts;
    for (const DiscontiguousData::Region& region : data.regions())
        counts.push_back(region.count());
    return counts;
}

} // namespace vl::test
