// A dictionary of XPC objects under text keys: the body of every XPC message.
//
// A handle: copies refer to the same dictionary, and changes through one are seen through all.
// Not safe for concurrent use; a received message belongs to the handler it is given to.
// Setting an absent value removes the key.
#pragma once

#include "Platform/XPC/Object.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xpc {

class XPCDictionary {
public:
    // A new, empty dictionary.
    XPCDictionary();
    // The dictionary that `object` is, or absent when it is another type.
    static std::optional<XPCDictionary> fromObject(const Object& object);
    // A reply to `request` for the connection it came on, or absent when its sender awaits none.
    static std::optional<XPCDictionary> createReply(const XPCDictionary& request);

    std::optional<Object> value(std::string_view key) const;
    void setValue(std::string_view key, std::optional<Object> value);

    std::optional<std::string> string(std::string_view key) const;
    void setString(std::string_view key, std::optional<std::string> value);
    std::optional<bool> boolean(std::string_view key) const;
    void setBoolean(std::string_view key, std::optional<bool> value);
    std::optional<std::int64_t> int64(std::string_view key) const;
    void setInt64(std::string_view key, std::optional<std::int64_t> value);
    std::optional<std::uint64_t> uint64(std::string_view key) const;
    void setUInt64(std::string_view key, std::optional<std::uint64_t> value);

    std::size_t count() const;
    std::vector<std::string> keys() const;
    // Whether its sender waits for a reply to it.
    bool expectsReply() const;

    const Object& object() const { return underlying; }
    std::string debugDescription() const { return underlying.debugDescription(); }

private:
    explicit XPCDictionary(Object object)
        : underlying(std::move(object))
    {
    }

    Object underlying;
};

} // namespace xpc
