// A decoded property list (XML or binary), read through typed accessors that fail like a
// decoder: a missing key, a value of another type or unreadable bytes throw DecodingError, whose
// text names the path of keys and indices that led there. An immutable value once decoded.
#pragma once

#include "Platform/Foundation/Data.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace foundation {

class DecodingError : public std::runtime_error {
public:
    enum class Kind { dataCorrupted, keyNotFound, typeMismatch };

    DecodingError(Kind kind, const std::string& description);

    Kind kind() const { return errorKind; }

private:
    Kind errorKind;
};

class PropertyList {
public:
    using Dictionary = std::map<std::string, PropertyList, std::less<>>;
    using Array = std::vector<PropertyList>;
    // Values of kinds the accessors do not read (dates, reals, unsupported nodes).
    struct Other { };

    // Decodes XML or binary property-list bytes; throws DecodingError (dataCorrupted).
    static PropertyList decode(const Data& data);

    // The entry under `key` of a dictionary.
    const PropertyList& value(std::string_view key) const;
    const Array& array() const;
    const std::string& string() const;
    std::int64_t integer() const;
    bool boolean() const;
    const Data& data() const;

    const std::string& codingPath() const { return path; }

    using Storage = std::variant<Other, Dictionary, Array, std::string, std::int64_t, bool, Data>;
    PropertyList(Storage storage, std::string codingPath)
        : storage(std::move(storage))
        , path(std::move(codingPath))
    {
    }

private:
    template <typename Value> const Value& as(const char* typeName) const;

    Storage storage;
    std::string path;
};

} // namespace foundation
