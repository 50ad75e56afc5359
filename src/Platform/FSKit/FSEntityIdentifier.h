// Identifiers by which FSKit names containers and volumes: a UUID.
//
// Values: immutable after construction, comparable, safe to share between threads.
#pragma once

#include "Platform/Foundation/UUID.h"

namespace fskit {

class FSEntityIdentifier {
public:
    explicit FSEntityIdentifier(const foundation::UUID& uuid)
        : uuidValue(uuid)
    {
    }

    const foundation::UUID& uuid() const { return uuidValue; }

    friend bool operator==(const FSEntityIdentifier&, const FSEntityIdentifier&) = default;

private:
    foundation::UUID uuidValue;
};

class FSContainerIdentifier : public FSEntityIdentifier {
public:
    using FSEntityIdentifier::FSEntityIdentifier;
};

class FSVolumeIdentifier : public FSEntityIdentifier {
public:
    using FSEntityIdentifier::FSEntityIdentifier;
};

} // namespace fskit
