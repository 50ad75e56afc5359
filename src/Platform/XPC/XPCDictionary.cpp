#include "Platform/XPC/XPCDictionary.h"

#include "Platform/XPC/ObjectStorage.h"

namespace xpc {

namespace {

DictionaryValue& contents(const Object& object)
{
    return std::get<DictionaryValue>(object.underlyingStorage()->value);
}

} // namespace

XPCDictionary::XPCDictionary()
    : underlying(makeStorage(DictionaryValue {}))
{
}

std::optional<XPCDictionary> XPCDictionary::fromObject(const Object& object)
{
    if (object.type() != Type::dictionary)
        return std::nullopt;
    return XPCDictionary(object);
}

std::optional<XPCDictionary> XPCDictionary::createReply(const XPCDictionary& request)
{
    std::optional<std::uint64_t> identifier = contents(request.underlying).awaitingReply;
    if (!identifier)
        return std::nullopt;
    XPCDictionary reply;
    contents(reply.underlying).replyTo = identifier;
    return reply;
}

std::optional<Object> XPCDictionary::value(std::string_view key) const
{
    const auto& entries = contents(underlying).entries;
    auto found = entries.find(key);
    if (found == entries.end())
        return std::nullopt;
    return found->second;
}

void XPCDictionary::setValue(std::string_view key, std::optional<Object> value)
{
    auto& entries = contents(underlying).entries;
    if (!value) {
        if (auto found = entries.find(key); found != entries.end())
            entries.erase(found);
        return;
    }
    entries.insert_or_assign(std::string(key), std::move(*value));
}

std::optional<std::string> XPCDictionary::string(std::string_view key) const
{
    std::optional<Object> entry = value(key);
    if (!entry || entry->stringValue() == nullptr)
        return std::nullopt;
    return *entry->stringValue();
}

void XPCDictionary::setString(std::string_view key, std::optional<std::string> value)
{
    setValue(key, value ? std::optional(Object::string(std::move(*value))) : std::nullopt);
}

std::optional<bool> XPCDictionary::boolean(std::string_view key) const
{
    std::optional<Object> entry = value(key);
    return entry ? entry->boolValue() : std::nullopt;
}

void XPCDictionary::setBoolean(std::string_view key, std::optional<bool> value)
{
    setValue(key, value ? std::optional(Object::boolean(*value)) : std::nullopt);
}

std::optional<std::int64_t> XPCDictionary::int64(std::string_view key) const
{
    std::optional<Object> entry = value(key);
    return entry ? entry->int64Value() : std::nullopt;
}

void XPCDictionary::setInt64(std::string_view key, std::optional<std::int64_t> value)
{
    setValue(key, value ? std::optional(Object::int64(*value)) : std::nullopt);
}

std::optional<std::uint64_t> XPCDictionary::uint64(std::string_view key) const
{
    std::optional<Object> entry = value(key);
    return entry ? entry->uint64Value() : std::nullopt;
}

void XPCDictionary::setUInt64(std::string_view key, std::optional<std::uint64_t> value)
{
    setValue(key, value ? std::optional(Object::uint64(*value)) : std::nullopt);
}

std::size_t XPCDictionary::count() const
{
    return contents(underlying).entries.size();
}

std::vector<std::string> XPCDictionary::keys() const
{
    std::vector<std::string> result;
    for (const auto& entry : contents(underlying).entries)
        result.push_back(entry.first);
    return result;
}

bool XPCDictionary::expectsReply() const
{
    return contents(underlying).awaitingReply.has_value();
}

} // namespace xpc
