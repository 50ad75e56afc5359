// A message read front to back: its data and a read position that only grows (or returns to 0
// with reset). It supplies the requirements of Consumable, so a reply or a notification only
// stores its own fields. A negative byte count is a broken contract and ends the process.
#pragma once

#include "VLChannel/Consumable.h"
#include "VLChannel/Message.h"

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

namespace vl {

class ConsumableMessage : public Message, public Consumable<ConsumableMessage> {
public:
    using Consumable::consumePart;

    std::ptrdiff_t consumedCount() const { return consumed; }
    void reset() { consumed = 0; }

    // Skips `byteCount` bytes.
    void consumePart(std::ptrdiff_t byteCount);

    // Calls `body` with one read-only contiguous view of the next `byteCount` bytes (a copy only
    // when they span regions) and returns its result. If `body` throws, nothing is consumed.
    template <typename Body> auto consumePart(std::ptrdiff_t byteCount, Body&& body)
    {
        requireUnconsumed(byteCount);
        if (byteCount == 0)
            return std::invoke(std::forward<Body>(body), std::span<const std::byte>());
        IndexRange<std::ptrdiff_t> part = rangeStarting(consumed, byteCount);
        if constexpr (std::is_void_v<std::invoke_result_t<Body, std::span<const std::byte>>>) {
            data().withUnsafeBytes(part, std::forward<Body>(body));
            consumed += byteCount;
        } else {
            auto result = data().withUnsafeBytes(part, std::forward<Body>(body));
            consumed += byteCount;
            return result;
        }
    }

protected:
    explicit ConsumableMessage(DiscontiguousData data)
        : Message(std::move(data))
    {
    }

private:
    // Ends the process for a negative count; throws insufficientData when fewer bytes remain.
    void requireUnconsumed(std::ptrdiff_t byteCount) const;

    std::ptrdiff_t consumed = 0;
};

} // namespace vl
