#include "Platform/XPC/Object.h"

#include "Platform/XPC/Connection.h"
#include "Platform/XPC/ObjectStorage.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

namespace xpc {

std::string_view toString(Type type)
{
    switch (type) {
    case Type::dictionary:
        return "dictionary";
    case Type::array:
        return "array";
    case Type::string:
        return "string";
    case Type::boolean:
        return "bool";
    case Type::int64:
        return "int64";
    case Type::uint64:
        return "uint64";
    case Type::uuid:
        return "uuid";
    case Type::fileDescriptor:
        return "file descriptor";
    case Type::endpoint:
        return "endpoint";
    case Type::connection:
        return "connection";
    case Type::error:
        return "error";
    }
    return "unknown";
}

Object Object::string(std::string value)
{
    return Object(makeStorage(std::move(value)));
}
Object Object::boolean(bool value)
{
    return Object(makeStorage(value));
}
Object Object::int64(std::int64_t value)
{
    return Object(makeStorage(value));
}
Object Object::uint64(std::uint64_t value)
{
    return Object(makeStorage(value));
}

Object Object::uuid(const std::uint8_t* bytes)
{
    std::array<std::uint8_t, 16> copy;
    std::memcpy(copy.data(), bytes, copy.size());
    return Object(makeStorage(copy));
}

std::optional<Object> Object::fileDescriptor(int descriptor)
{
    int duplicate = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0)
        return std::nullopt;
    return Object(makeStorage(Descriptor(duplicate)));
}

Object Object::endpoint(const Connection& listener)
{
    return Object(makeStorage(EndpointValue { listener.listeningAddress() }));
}

Object Object::connection(std::shared_ptr<Connection> connection)
{
    return Object(makeStorage(std::move(connection)));
}
Object Object::error(const XPCRichError& error)
{
    return Object(makeStorage(error));
}

Type Object::type() const
{
    return static_cast<Type>(storage->value.index());
}

const std::string* Object::stringValue() const
{
    return std::get_if<std::string>(&storage->value);
}

std::optional<bool> Object::boolValue() const
{
    if (auto* value = std::get_if<bool>(&storage->value))
        return *value;
    return std::nullopt;
}

std::optional<std::int64_t> Object::int64Value() const
{
    if (auto* value = std::get_if<std::int64_t>(&storage->value))
        return *value;
    return std::nullopt;
}

std::optional<std::uint64_t> Object::uint64Value() const
{
    if (auto* value = std::get_if<std::uint64_t>(&storage->value))
        return *value;
    return std::nullopt;
}

const std::uint8_t* Object::uuidBytes() const
{
    if (auto* value = std::get_if<std::array<std::uint8_t, 16>>(&storage->value))
        return value->data();
    return nullptr;
}

int Object::dupFileDescriptor() const
{
    if (auto* value = std::get_if<Descriptor>(&storage->value))
        return ::fcntl(value->get(), F_DUPFD_CLOEXEC, 0);
    return -1;
}

std::shared_ptr<Connection> Object::connectionValue() const
{
    if (auto* value = std::get_if<std::shared_ptr<Connection>>(&storage->value))
        return *value;
    return nullptr;
}

const XPCRichError* Object::errorValue() const
{
    return std::get_if<XPCRichError>(&storage->value);
}

namespace {

std::string quoted(std::string_view text)
{
    std::string result = "\"";
    for (char character : text) {
        if (character == '"' || character == '\\')
            result.push_back('\\');
        result.push_back(character);
    }
    return result + "\"";
}

} // namespace

std::string Object::debugDescription() const
{
    struct Describer {
        std::string operator()(const DictionaryValue& dictionary) const
        {
            std::string text = "<dictionary: {";
            const char* separator = " ";
            for (const auto& [key, value] : dictionary.entries) {
                text += separator + quoted(key) + ": " + value.debugDescription();
                separator = ", ";
            }
            return text + " }>";
        }
        std::string operator()(const ArrayValue& array) const
        {
            std::string text = "<array: [";
            const char* separator = " ";
            for (const Object& item : array.items) {
                text += separator + item.debugDescription();
                separator = ", ";
            }
            return text + " ]>";
        }
        std::string operator()(const std::string& value) const { return "<string: " + quoted(value) + ">"; }
        std::string operator()(bool value) const { return value ? "<bool: true>" : "<bool: false>"; }
        std::string operator()(std::int64_t value) const { return "<int64: " + std::to_string(value) + ">"; }
        std::string operator()(std::uint64_t value) const
        {
            return "<uint64: " + std::to_string(value) + ">";
        }
        std::string operator()(const std::array<std::uint8_t, 16>& value) const
        {
            char text[64];
            std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", value[0], value[1],
                value[2], value[3], value[4], value[5], value[6], value[7], value[8], value[9], value[10],
                value[11], value[12], value[13], value[14], value[15]);
            return std::string("<uuid: ") + text + ">";
        }
        std::string operator()(const Descriptor& value) const
        {
            return "<fd: " + std::to_string(value.get()) + ">";
        }
        std::string operator()(const EndpointValue& value) const
        {
            return "<endpoint: " + value.address.description() + ">";
        }
        std::string operator()(const std::shared_ptr<Connection>&) const { return "<connection>"; }
        std::string operator()(const XPCRichError& error) const
        {
            return "<error: " + quoted(error.what()) + ">";
        }
    };
    return std::visit(Describer {}, storage->value);
}

} // namespace xpc
