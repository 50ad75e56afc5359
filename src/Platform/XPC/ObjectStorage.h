// What an XPC object holds; one variant alternative per Type, in the same order. Internal to the
// XPC layer: users go through Object, XPCDictionary and XPCArray.
#pragma once

#include "Platform/XPC/Descriptor.h"
#include "Platform/XPC/Object.h"
#include "Platform/XPC/SocketAddress.h"
#include "Platform/XPC/XPCRichError.h"

#include <array>
#include <map>
#include <variant>
#include <vector>

namespace xpc {

struct DictionaryValue {
    std::map<std::string, Object, std::less<>> entries;
    // Set on a received message whose sender waits for a reply: the message's identifier.
    std::optional<std::uint64_t> awaitingReply;
    // Set on a reply made by XPCDictionary::createReply: the identifier of the request.
    std::optional<std::uint64_t> replyTo;
};

struct ArrayValue {
    std::vector<Object> items;
};

struct EndpointValue {
    SocketAddress address;
};

struct ObjectStorage {
    std::variant<DictionaryValue, ArrayValue, std::string, bool, std::int64_t, std::uint64_t,
        std::array<std::uint8_t, 16>, Descriptor, EndpointValue, std::shared_ptr<Connection>, XPCRichError>
        value;
};

template <typename Value> std::shared_ptr<ObjectStorage> makeStorage(Value value)
{
    return std::make_shared<ObjectStorage>(ObjectStorage { std::move(value) });
}

} // namespace xpc
