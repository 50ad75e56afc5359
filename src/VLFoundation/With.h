// Builders that return a value changed in place by a function, so that a configured object can
// be made in one expression. A failure of the update function is passed on unchanged.
#pragma once

#include <utility>

namespace vl {

template <typename Value, typename Update>
Value with(Value value, Update&& update)
{
    std::forward<Update>(update)(value);
    return value;
}

template <typename Value, typename Update>
decltype(auto) withPointer(Value* pointer, Update&& update)
{
    return std::forward<Update>(update)(*pointer);
}

} // namespace vl
