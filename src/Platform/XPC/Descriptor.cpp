#include "Platform/XPC/Descriptor.h"

#include <unistd.h>

namespace xpc {

Descriptor::~Descriptor()
{
    if (value >= 0)
        ::close(value);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept
{
    if (this != &other) {
        if (value >= 0)
            ::close(value);
        value = std::exchange(other.value, -1);
    }
    return *this;
}

} // namespace xpc
