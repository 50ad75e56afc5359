#include "vorlane-fused/FuseRequest.h"

#include <algorithm>

namespace fused {

void FuseRequest::requireBodySize(std::size_t size) const
{
    if (body.size() != size)
        throw Malformed("request body of unexpected length");
}

std::pair<std::string_view, std::span<const std::byte>> FuseRequest::nameAndData(std::size_t offset) const
{
    if (body.size() < offset + 2)
        throw Malformed("name missing");
    auto begin = body.begin() + static_cast<std::ptrdiff_t>(offset);
    auto end = std::find(begin, body.end(), std::byte { 0 });
    if (end == body.end())
        throw Malformed("name not terminated");
    if (end == begin)
        throw Malformed("empty name");
    std::string_view name(reinterpret_cast<const char*>(&*begin), static_cast<std::size_t>(end - begin));
    return { name, data(static_cast<std::size_t>(end - body.begin()) + 1) };
}

std::string_view FuseRequest::name(std::size_t offset) const
{
    auto [name, rest] = nameAndData(offset);
    if (!rest.empty())
        throw Malformed("name with an embedded zero byte");
    return name;
}

std::pair<std::string_view, std::string_view> FuseRequest::twoNames(std::size_t offset) const
{
    std::string_view first = nameAndData(offset).first;
    return { first, name(offset + first.size() + 1) };
}

std::span<const std::byte> FuseRequest::data(std::size_t offset) const
{
    if (offset > body.size())
        throw Malformed("request body shorter than its data");
    return std::span<const std::byte>(body).subspan(offset);
}

} // namespace fused
