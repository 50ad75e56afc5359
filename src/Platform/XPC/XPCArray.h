// An ordered array of XPC objects.
//
// A handle: copies refer to the same array, and changes through one are seen through all. Not
// safe for concurrent use.
#pragma once

#include "Platform/XPC/Object.h"

#include <cstddef>
#include <optional>
#include <string>

namespace xpc {

class XPCArray {
public:
    // A new, empty array.
    XPCArray();
    // The array that `object` is, or absent when it is another type.
    static std::optional<XPCArray> fromObject(const Object& object);

    std::size_t count() const;
    // The object at `index`; an index past the end is a fatal error.
    Object at(std::size_t index) const;
    void append(Object value);

    const Object& object() const { return underlying; }
    std::string debugDescription() const { return underlying.debugDescription(); }

private:
    explicit XPCArray(Object object)
        : underlying(std::move(object))
    {
    }

    Object underlying;
};

} // namespace xpc
