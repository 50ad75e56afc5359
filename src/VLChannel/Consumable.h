// Reading a byte sequence front to back. Consumable<Self> gives every consumable the operations
// built on five requirements of Self: count(), consumedCount(), reset(), consumePart(byteCount)
// and consumePart(byteCount, body), each of which consumes nothing when it fails.
//
// Reading past the end fails with ConsumableError::Kind::insufficientData and leaves the read
// position where it was. A consumable is read by one thread at a time.
#pragma once

#include "VLChannel/FuseKernel.h"

#include <cstddef>
#include <cstring>
#include <exception>
#include <functional>
#include <span>
#include <utility>

namespace vl {

class ConsumableError : public std::exception {
public:
    enum class Kind { insufficientData };

    explicit ConsumableError(Kind kind)
        : errorKind(kind)
    {
    }
    Kind kind() const { return errorKind; }
    const char* what() const noexcept override { return "insufficientData"; }

private:
    Kind errorKind;
};

template <typename Self> class Consumable {
public:
    // count() - consumedCount(), or 0 if that is negative.
    std::ptrdiff_t unconsumedCount() const
    {
        std::ptrdiff_t remaining = self().count() - self().consumedCount();
        return remaining < 0 ? 0 : remaining;
    }

    // Consumes exactly sizeof(Value) bytes and calls `body` with a copy of them as a Value.
    template <FuseStructure Value, typename Body> auto consumePart(Body&& body)
    {
        return self().consumePart(
            static_cast<std::ptrdiff_t>(sizeof(Value)), [&body](std::span<const std::byte> bytes) {
                Value value;
                std::memcpy(&value, bytes.data(), sizeof(Value));
                return std::invoke(std::forward<Body>(body), value);
            });
    }

    // Hands every unconsumed byte (possibly none) to `body` and ends the use of the consumable.
    template <typename Body> auto consume(Body&& body) &&
    {
        return self().consumePart(unconsumedCount(), std::forward<Body>(body));
    }

    // Reads one Value as consumePart<Value> does and ends the use; bytes after it are ignored.
    template <FuseStructure Value, typename Body> auto consume(Body&& body) &&
    {
        return consumePart<Value>(std::forward<Body>(body));
    }

protected:
    Consumable() = default;
    ~Consumable() = default;

private:
    Self& self() { return static_cast<Self&>(*this); }
    const Self& self() const { return static_cast<const Self&>(*this); }
};

} // namespace vl
