// What FSKit hands to a directory enumeration to receive its entries, and the cookie and
// verifier values that go with it.
//
// packEntry is called on the enumerating task, one entry at a time; it copies what it needs
// before it returns and answers false once the packer is full (that entry was not taken).
#pragma once

#include "Platform/FSKit/FSFileName.h"
#include "Platform/FSKit/FSItem.h"
#include "Platform/FSKit/FSItemAttributes.h"

#include <cstdint>

namespace fskit {

using FSDirectoryCookie = std::uint64_t;
using FSDirectoryVerifier = std::uint64_t;

inline constexpr FSDirectoryCookie FSDirectoryCookieInitial = 0;
inline constexpr FSDirectoryVerifier FSDirectoryVerifierInitial = 0;

class FSDirectoryEntryPacker {
public:
    virtual ~FSDirectoryEntryPacker() = default;

    // `attributes` is null when the entry comes without attributes.
    virtual bool packEntry(const FSFileName& name, FSItemType itemType, FSItem::Identifier itemID,
        FSDirectoryCookie nextCookie, const FSItemAttributes* attributes)
        = 0;
};

} // namespace fskit
