#include "Platform/XPC/XPCArray.h"

#include "Platform/OS/FatalError.h"
#include "Platform/XPC/ObjectStorage.h"

namespace xpc {

namespace {

ArrayValue& items(const Object& object)
{
    return std::get<ArrayValue>(object.underlyingStorage()->value);
}

} // namespace

XPCArray::XPCArray()
    : underlying(makeStorage(ArrayValue {}))
{
}

std::optional<XPCArray> XPCArray::fromObject(const Object& object)
{
    if (object.type() != Type::array)
        return std::nullopt;
    return XPCArray(object);
}

std::size_t XPCArray::count() const
{
    return items(underlying).items.size();
}

Object XPCArray::at(std::size_t index) const
{
    const ArrayValue& array = items(underlying);
    if (index >= array.items.size())
        vl::fatalError("XPC array index out of range", "XPC/XPCArray");
    return array.items[index];
}

void XPCArray::append(Object value)
{
    items(underlying).items.push_back(std::move(value));
}

} // namespace xpc
