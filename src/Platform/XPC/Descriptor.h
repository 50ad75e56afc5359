// Owns one file descriptor and closes it when destroyed; move-only. Internal to the XPC layer.
#pragma once

#include <utility>

namespace xpc {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int descriptor)
        : value(descriptor)
    {
    }
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept
        : value(std::exchange(other.value, -1))
    {
    }
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return value; }
    bool isValid() const { return value >= 0; }
    // Gives up ownership without closing.
    int release() { return std::exchange(value, -1); }

private:
    int value = -1;
};

} // namespace xpc
