// A reference to an XPC value: dictionary, array, string, boolean, signed or unsigned integer,
// UUID, file descriptor, endpoint, connection (a new peer, as a listener's event) or error.
//
// Copies refer to the same value, as XPC objects do. Scalars never change; dictionaries and
// arrays change in place through XPCDictionary and XPCArray, by one thread at a time. A
// descriptor object owns its own descriptor and hands out duplicates; it closes it when the last
// reference goes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace xpc {

class Connection;
class XPCRichError;
struct ObjectStorage;

enum class Type {
    dictionary,
    array,
    string,
    boolean,
    int64,
    uint64,
    uuid,
    fileDescriptor,
    endpoint,
    connection,
    error
};

std::string_view toString(Type type);

class Object {
public:
    static Object string(std::string value);
    static Object boolean(bool value);
    static Object int64(std::int64_t value);
    static Object uint64(std::uint64_t value);
    // A UUID made of the 16 bytes at `bytes`.
    static Object uuid(const std::uint8_t* bytes);
    // Holds its own duplicate of `descriptor`; absent when it cannot be duplicated.
    static std::optional<Object> fileDescriptor(int descriptor);
    // An endpoint through which other processes connect to `listener` (a listener connection).
    static Object endpoint(const Connection& listener);
    static Object connection(std::shared_ptr<Connection> connection);
    static Object error(const XPCRichError& error);

    Type type() const;

    // Each reader answers null, absent or -1 when the object is of another type.
    const std::string* stringValue() const;
    std::optional<bool> boolValue() const;
    std::optional<std::int64_t> int64Value() const;
    std::optional<std::uint64_t> uint64Value() const;
    const std::uint8_t* uuidBytes() const;
    // A new descriptor that the caller owns, or -1 (not a descriptor, or duplication failed).
    int dupFileDescriptor() const;
    std::shared_ptr<Connection> connectionValue() const;
    const XPCRichError* errorValue() const;

    std::string debugDescription() const;
    bool isSameObject(const Object& other) const { return storage == other.storage; }

    explicit Object(std::shared_ptr<ObjectStorage> storage)
        : storage(std::move(storage))
    {
    }
    const std::shared_ptr<ObjectStorage>& underlyingStorage() const { return storage; }

private:
    std::shared_ptr<ObjectStorage> storage;
};

} // namespace xpc
