// Typed entries of XPC dictionaries: arrays, UUIDs and file handles.
//
// entry<T>(dictionary, key) reads the entry as T; an entry of another XPC type reads as absent,
// never as an error (an array entry that is not an array too). A file-handle entry is read as a
// new handle on a duplicate of the carried descriptor, so every read gives a handle of its own
// that closes its own descriptor; the dictionary keeps its descriptor. setEntry writes the value
// as the matching XPC object, and an absent value (or a null handle) removes the key.
#pragma once

#include "Platform/Foundation/FileHandle.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/XPC/XPCArray.h"
#include "Platform/XPC/XPCDictionary.h"

#include <memory>
#include <optional>
#include <string_view>

namespace vl {

template <typename Value> struct XPCEntryResult {
    using type = std::optional<Value>;
};

// A file-handle entry reads as a shared handle, null when absent.
template <> struct XPCEntryResult<foundation::FileHandle> {
    using type = std::shared_ptr<foundation::FileHandle>;
};

template <typename Value>
typename XPCEntryResult<Value>::type entry(const xpc::XPCDictionary& dictionary, std::string_view key);

template <>
std::optional<xpc::XPCArray> entry<xpc::XPCArray>(const xpc::XPCDictionary& dictionary, std::string_view key);
template <>
std::optional<foundation::UUID> entry<foundation::UUID>(
    const xpc::XPCDictionary& dictionary, std::string_view key);
template <>
std::shared_ptr<foundation::FileHandle> entry<foundation::FileHandle>(
    const xpc::XPCDictionary& dictionary, std::string_view key);

void setEntry(
    xpc::XPCDictionary& dictionary, std::string_view key, const std::optional<xpc::XPCArray>& array);
void setEntry(
    xpc::XPCDictionary& dictionary, std::string_view key, const std::optional<foundation::UUID>& uuid);
// The entry holds its own duplicate of the handle's descriptor, so the handle may be released
// afterwards. A handle whose descriptor cannot be duplicated (a closed one) throws POSIXError.
void setEntry(xpc::XPCDictionary& dictionary, std::string_view key,
    const std::shared_ptr<foundation::FileHandle>& fileHandle);

} // namespace vl
