// A byte vector whose growth leaves the new bytes uninitialised: request bodies and reply
// payloads are sized first and then filled whole by a read from the socket or from a file, so
// zero-filling them first would only cost a pass over up to a mebibyte per request.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

namespace fused {

template <typename T> class UninitialisedAllocator : public std::allocator<T> {
public:
    template <typename U> struct rebind {
        using other = UninitialisedAllocator<U>;
    };

    UninitialisedAllocator() = default;
    template <typename U> UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept { }

    // Value-initialisation (what resize() asks for) becomes default-initialisation.
    template <typename U> void construct(U* place) noexcept { ::new (static_cast<void*>(place)) U; }
    template <typename U, typename... Arguments> void construct(U* place, Arguments&&... arguments)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Arguments>(arguments)...);
    }
};

using Bytes = std::vector<std::byte, UninitialisedAllocator<std::byte>>;

// The bytes of a wire structure, or of several laid end to end.
template <typename... Structures> Bytes bytesOf(const Structures&... structures)
{
    Bytes bytes((sizeof(Structures) + ... + 0));
    std::size_t offset = 0;
    ((std::memcpy(bytes.data() + offset, &structures, sizeof(Structures)), offset += sizeof(Structures)),
        ...);
    return bytes;
}

} // namespace fused
