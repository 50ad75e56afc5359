#include "VLFoundation/XPCEntries.h"

#include "Platform/Foundation/POSIXError.h"

namespace vl {

template <>
std::optional<xpc::XPCArray> entry<xpc::XPCArray>(const xpc::XPCDictionary& dictionary, std::string_view key)
{
    std::optional<xpc::Object> object = dictionary.value(key);
    if (!object)
        return std::nullopt;
    return xpc::XPCArray::fromObject(*object);
}

template <>
std::optional<foundation::UUID> entry<foundation::UUID>(
    const xpc::XPCDictionary& dictionary, std::string_view key)
{
    std::optional<xpc::Object> object = dictionary.value(key);
    if (!object)
        return std::nullopt;
    const std::uint8_t* bytes = object->uuidBytes();
    if (bytes == nullptr)
        return std::nullopt;
    return foundation::UUID::fromBytes(bytes);
}

template <>
std::shared_ptr<foundation::FileHandle> entry<foundation::FileHandle>(
    const xpc::XPCDictionary& dictionary, std::string_view key)
{
    std::optional<xpc::Object> object = dictionary.value(key);
    if (!object)
        return nullptr;
    int descriptor = object->dupFileDescriptor();
    if (descriptor == -1)
        return nullptr;
    return std::make_shared<foundation::FileHandle>(descriptor);
}

void setEntry(xpc::XPCDictionary& dictionary, std::string_view key, const std::optional<xpc::XPCArray>& array)
{
    dictionary.setValue(key, array ? std::optional(array->object()) : std::nullopt);
}

void setEntry(
    xpc::XPCDictionary& dictionary, std::string_view key, const std::optional<foundation::UUID>& uuid)
{
    dictionary.setValue(key, uuid ? std::optional(xpc::Object::uuid(uuid->bytes().data())) : std::nullopt);
}

void setEntry(xpc::XPCDictionary& dictionary, std::string_view key,
    const std::shared_ptr<foundation::FileHandle>& fileHandle)
{
    if (!fileHandle) {
        dictionary.setValue(key, std::nullopt);
        return;
    }
    std::optional<xpc::Object> object = xpc::Object::fileDescriptor(fileHandle->fileDescriptor());
    if (!object)
        throw foundation::POSIXError::fromErrno("xpc_fd_create");
    dictionary.setValue(key, std::move(object));
}

} // namespace vl
