#include "Platform/Foundation/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

namespace foundation {

DecodingError::DecodingError(Kind kind, const std::string& description)
    : std::runtime_error(description)
    , errorKind(kind)
{
}

namespace {

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using OwnedPlist = std::unique_ptr<void, PlistDeleter>;

std::string childPath(const std::string& parent, const std::string& component)
{
    return parent.empty() ? component : parent + "." + component;
}

PropertyList convert(plist_t node, const std::string& path)
{
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        PropertyList::Dictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            if (item == nullptr) {
                std::free(key);
                break;
            }
            std::string name = key ? key : "";
            std::free(key);
            dictionary.emplace(name, convert(item, childPath(path, name)));
        }
        std::free(iterator);
        return PropertyList(std::move(dictionary), path);
    }
    case PLIST_ARRAY: {
        PropertyList::Array array;
        std::uint32_t count = plist_array_get_size(node);
        for (std::uint32_t index = 0; index < count; ++index)
            array.push_back(convert(
                plist_array_get_item(node, index), childPath(path, "Index " + std::to_string(index))));
        return PropertyList(std::move(array), path);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PropertyList(std::string(text ? text : "", text ? length : 0), path);
    }
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return PropertyList(static_cast<std::int64_t>(value), path);
    }
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PropertyList(value != 0, path);
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        return PropertyList(Data(bytes, length), path);
    }
    default:
        return PropertyList(PropertyList::Other {}, path);
    }
}

} // namespace

PropertyList PropertyList::decode(const Data& data)
{
    if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max())
        throw DecodingError(
            DecodingError::Kind::dataCorrupted, "The given data was not a valid property list.");
    plist_t root = nullptr;
    plist_from_memory(
        reinterpret_cast<const char*>(data.data()), static_cast<std::uint32_t>(data.size()), &root);
    OwnedPlist owned(root);
    if (root == nullptr)
        throw DecodingError(
            DecodingError::Kind::dataCorrupted, "The given data was not a valid property list.");
    return convert(root, "");
}

template <typename Value> const Value& PropertyList::as(const char* typeName) const
{
    if (const Value* value = std::get_if<Value>(&storage))
        return *value;
    throw DecodingError(DecodingError::Kind::typeMismatch,
        std::string("Expected to decode ") + typeName + " at \"" + path + "\" but found another type.");
}

const PropertyList& PropertyList::value(std::string_view key) const
{
    const Dictionary& dictionary = as<Dictionary>("Dictionary");
    auto found = dictionary.find(key);
    if (found == dictionary.end())
        throw DecodingError(DecodingError::Kind::keyNotFound,
            "No value associated with key \"" + std::string(key) + "\" at \"" + path + "\".");
    return found->second;
}

const PropertyList::Array& PropertyList::array() const
{
    return as<Array>("Array");
}
const std::string& PropertyList::string() const
{
    return as<std::string>("String");
}
std::int64_t PropertyList::integer() const
{
    return as<std::int64_t>("Integer");
}
bool PropertyList::boolean() const
{
    return as<bool>("Bool");
}
const Data& PropertyList::data() const
{
    return as<Data>("Data");
}

} // namespace foundation
