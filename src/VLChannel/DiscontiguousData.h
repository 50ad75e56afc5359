// A byte string made of an ordered list of separately owned, immutable memory regions: requests
// are assembled from it and reply payloads are held in it without copying.
//
// Invariants: no empty region is ever stored; a region's memory lives as long as any value or
// region refers to it. Copies, sub-ranges and region slices share memory, and a slice never wraps
// another slice. Bytes are copied only when one contiguous view (or one value) is asked for across
// several regions. Out-of-range use ends the process. Values may be read from any thread at once;
// append changes only the value it is called on.
#pragma once

#include "VLFoundation/IndexRange.h"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace vl {

class DiscontiguousData {
public:
    // A contiguous, immutable run of bytes and what keeps them alive: an owner shared with every
    // slice of the region, or none for borrowed bytes that outlive every use (constants).
    class Region {
    public:
        using Owner = std::shared_ptr<const void>;

        constexpr Region() = default;
        constexpr explicit Region(std::span<const std::byte> borrowed)
            : view(borrowed)
        {
        }
        Region(Owner owner, std::span<const std::byte> bytes)
            : keepAlive(std::move(owner))
            , view(bytes)
        {
        }

        std::ptrdiff_t count() const { return static_cast<std::ptrdiff_t>(view.size()); }
        std::span<const std::byte> bytes() const { return view; }
        const Owner& owner() const { return keepAlive; }

        // The bytes `range` of this region (offsets from its first byte), sharing its owner. The
        // range must be non-empty and inside the region.
        Region operator[](IndexRange<std::ptrdiff_t> range) const;
        Region from(std::ptrdiff_t lower) const { return (*this)[{ lower, count() }]; }
        Region upTo(std::ptrdiff_t upper) const { return (*this)[{ 0, upper }]; }

    private:
        Owner keepAlive;
        std::span<const std::byte> view;
    };

    // How memory handed over with a buffer is released once no region refers to it any more.
    class Deallocator {
    public:
        using Release = std::function<void(void* base, std::ptrdiff_t count)>;

        // The C library's free.
        static Deallocator free();
        // Nothing: the memory outlives every use of the value.
        static Deallocator none();
        static Deallocator custom(Release release);

    private:
        friend class DiscontiguousData;
        explicit Deallocator(Release release)
            : release(std::move(release))
        {
        }
        Release release;
    };

    DiscontiguousData() = default;
    // Keeps the given regions in order, dropping the empty ones.
    explicit DiscontiguousData(std::span<const Region> regions) { append(regions); }
    template <std::convertible_to<Region>... Regions>
    requires(sizeof...(Regions) > 0) explicit DiscontiguousData(const Regions&... regions)
    {
        (append(Region(regions)), ...);
    }
    // One freshly allocated region of `count` bytes; see append(count, zero, initializer).
    template <std::invocable<std::span<std::byte>> Initializer>
    DiscontiguousData(std::ptrdiff_t count, bool zero, Initializer&& initializer)
    {
        append(count, zero, std::forward<Initializer>(initializer));
    }
    template <typename Type, std::invocable<std::span<std::byte>> Initializer>
    DiscontiguousData(std::type_identity<Type>, bool zero, Initializer&& initializer)
    {
        append<Type>(zero, std::forward<Initializer>(initializer));
    }
    // One region that takes over `buffer` without copying and releases it with `deallocator`.
    // Read-only or writable, raw (std::byte) or typed. The buffer must have a base address.
    template <typename Element>
    requires std::is_trivially_copyable_v<Element> DiscontiguousData(
        std::span<Element> buffer, Deallocator deallocator)
    {
        append(buffer, std::move(deallocator));
    }

    void append(const Region& region);
    void append(std::span<const Region> regions);
    // Allocates `count` bytes, fills them with 0x00 if `zero`, and lets `initializer` write them.
    // On success they become one region owned by this value; if the initializer throws, its error
    // is passed on, the memory is released and the value is unchanged.
    template <std::invocable<std::span<std::byte>> Initializer>
    void append(std::ptrdiff_t count, bool zero, Initializer&& initializer)
    {
        std::shared_ptr<std::byte[]> storage = allocate(count, zero);
        std::span<std::byte> bytes(storage.get(), static_cast<std::size_t>(count));
        std::forward<Initializer>(initializer)(bytes);
        append(Region(std::move(storage), bytes));
    }
    template <typename Type, std::invocable<std::span<std::byte>> Initializer>
    void append(bool zero, Initializer&& initializer)
    {
        append(static_cast<std::ptrdiff_t>(sizeof(Type)), zero, std::forward<Initializer>(initializer));
    }
    template <typename Element>
    requires std::is_trivially_copyable_v<Element>
    void append(std::span<Element> buffer, Deallocator deallocator)
    {
        appendBuffer(const_cast<void*>(static_cast<const void*>(buffer.data())),
            static_cast<std::ptrdiff_t>(buffer.size_bytes()), std::move(deallocator));
    }

    std::ptrdiff_t count() const { return totalCount; }
    std::span<const Region> regions() const
    {
        if (!spilledRegions.empty())
            return spilledRegions;
        return { inlineRegions.data(), inlineCount };
    }

    // The bytes `range`, sharing memory; 0 <= lower <= upper <= count() or the process ends.
    DiscontiguousData operator[](IndexRange<std::ptrdiff_t> range) const;
    DiscontiguousData from(std::ptrdiff_t lower) const { return (*this)[{ lower, count() }]; }

    // Calls `body` once with one read-only contiguous view of all bytes and returns its result:
    // an empty view without regions, the region itself for one region, and otherwise a copy that
    // is valid only during `body`.
    template <typename Body> auto withUnsafeBytes(Body&& body) const
    {
        return withUnsafeBytes({ 0, count() }, std::forward<Body>(body));
    }
    // The same for the bytes `range` (0 <= lower <= upper <= count()): a direct view when they lie
    // in one region, a copy when they span several.
    template <typename Body> auto withUnsafeBytes(IndexRange<std::ptrdiff_t> range, Body&& body) const
    {
        if (std::optional<std::span<const std::byte>> direct = directBytes(range))
            return std::forward<Body>(body)(*direct);
        ContiguousCopy copy(*this, range);
        return std::forward<Body>(body)(copy.bytes());
    }

    // Copies the sizeof(Value) bytes at `offset` into a Value, even across regions, and calls
    // `body` with it. The bytes must lie inside the value or the process ends.
    template <typename Value, typename Body>
    requires std::is_trivially_copyable_v<Value> && std::is_default_constructible_v<Value>
    auto withUnsafeValue(std::ptrdiff_t offset, Body&& body) const
    {
        Value value;
        copyBytes(offset, std::as_writable_bytes(std::span<Value, 1>(&value, 1)));
        return std::forward<Body>(body)(value);
    }

private:
    // Holds a copy of bytes that span several regions; small copies stay on the stack.
    class ContiguousCopy {
    public:
        ContiguousCopy(const DiscontiguousData& data, IndexRange<std::ptrdiff_t> range);
        ContiguousCopy(const ContiguousCopy&) = delete;
        ContiguousCopy& operator=(const ContiguousCopy&) = delete;
        std::span<const std::byte> bytes() const { return view; }

    private:
        std::array<std::byte, 256> inlineBuffer;
        std::unique_ptr<std::byte[]> heapBuffer;
        std::span<const std::byte> view;
    };

    static std::shared_ptr<std::byte[]> allocate(std::ptrdiff_t count, bool zero);
    // The bytes `range` as they are in memory: empty for an empty range, none when they span
    // regions. The range must lie inside the value.
    std::optional<std::span<const std::byte>> directBytes(IndexRange<std::ptrdiff_t> range) const;
    // Copies the bytes starting at `offset` into `destination`; they must exist to fill it.
    void copyBytes(std::ptrdiff_t offset, std::span<std::byte> destination) const;
    void appendBuffer(void* base, std::ptrdiff_t count, Deallocator deallocator);

    // Requests and replies rarely have more regions than this; more spill into the vector, which
    // then holds all of them.
    static constexpr std::size_t inlineCapacity = 4;
    std::array<Region, inlineCapacity> inlineRegions;
    std::size_t inlineCount = 0;
    std::vector<Region> spilledRegions;
    std::ptrdiff_t totalCount = 0;
};

} // namespace vl
