#include "vorlane-fused/FuseRequest.h"

#include <algorithm>

namespace fused {

void FuseRequest::requireBodySize(std::size_t size) const
{
    if (body.size() != size)
        throw Malformed("request body of unexpected length");
}

std::string_view FuseRequest::name(std::size_t offset) const
{
    if (body.size() < offset + 2 || body.back() != std::byte{0})
        throw Malformed("name missing or not terminated");
    auto begin = body.begin() + static_cast<std::ptrdiff_t>(offset);
    auto end = body.end() - 1;
    if (std::find(begin, end, std::byte{0}) != end)
        throw Malformed("name with an embedded zero byte");
    return std::string_view(reinterpret_cast<const char*>(&*begin), static_cast<std::size_t>(end - begin));
}

} // namespace fused
