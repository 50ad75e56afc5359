// Identifiers by which FSKit names containers and volumes: a UUID, held as its 16 raw bytes.
//
// Values: immutable after construction, comparable, safe to share between threads.
#pragma once

#include <array>
#include <cstdint>

namespace fskit {

class FSEntityIdentifier {
public:
    using UUIDBytes = std::array<std::uint8_t, 16>;

    explicit FSEntityIdentifier(const UUIDBytes& uuid)
        : uuidBytes(uuid)
    {
    }

    const UUIDBytes& uuid() const { return uuidBytes; }

    friend bool operator==(const FSEntityIdentifier&, const FSEntityIdentifier&) = default;

private:
    UUIDBytes uuidBytes;
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
