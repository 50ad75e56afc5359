// FSKit's item: an opaque object that a file system hands to FSKit and gets back in later calls.
//
// A file system derives its own item class from FSItem; FSKit holds items through shared
// pointers and tells its own from others' by a dynamic type check. Also defines the item
// identifiers, item types and attribute bits with FSKit's raw values.
#pragma once

#include "Platform/FSKit/OptionSet.h"

#include <cstdint>

namespace fskit {

enum class FSItemType : std::int64_t {
    unknown = 0,
    file = 1,
    directory = 2,
    symlink = 3,
    fifo = 4,
    charDevice = 5,
    blockDevice = 6,
    socket = 7,
};

// One bit per property of FSItemAttributes.
struct FSItemAttribute : OptionSet<FSItemAttribute, std::uint64_t> {
    using OptionSet::OptionSet;

    static const FSItemAttribute type;
    static const FSItemAttribute mode;
    static const FSItemAttribute linkCount;
    static const FSItemAttribute uid;
    static const FSItemAttribute gid;
    static const FSItemAttribute flags;
    static const FSItemAttribute size;
    static const FSItemAttribute allocSize;
    static const FSItemAttribute fileID;
    static const FSItemAttribute parentID;
    static const FSItemAttribute accessTime;
    static const FSItemAttribute modifyTime;
    static const FSItemAttribute changeTime;
    static const FSItemAttribute birthTime;
    static const FSItemAttribute backupTime;
    static const FSItemAttribute addedTime;
    static const FSItemAttribute supportsLimitedXAttrs;
    static const FSItemAttribute inhibitKernelOffloadedIO;
};

inline constexpr FSItemAttribute FSItemAttribute::type { 1u << 0 };
inline constexpr FSItemAttribute FSItemAttribute::mode { 1u << 1 };
inline constexpr FSItemAttribute FSItemAttribute::linkCount { 1u << 2 };
inline constexpr FSItemAttribute FSItemAttribute::uid { 1u << 3 };
inline constexpr FSItemAttribute FSItemAttribute::gid { 1u << 4 };
inline constexpr FSItemAttribute FSItemAttribute::flags { 1u << 5 };
inline constexpr FSItemAttribute FSItemAttribute::size { 1u << 6 };
inline constexpr FSItemAttribute FSItemAttribute::allocSize { 1u << 7 };
inline constexpr FSItemAttribute FSItemAttribute::fileID { 1u << 8 };
inline constexpr FSItemAttribute FSItemAttribute::parentID { 1u << 9 };
inline constexpr FSItemAttribute FSItemAttribute::accessTime { 1u << 10 };
inline constexpr FSItemAttribute FSItemAttribute::modifyTime { 1u << 11 };
inline constexpr FSItemAttribute FSItemAttribute::changeTime { 1u << 12 };
inline constexpr FSItemAttribute FSItemAttribute::birthTime { 1u << 13 };
inline constexpr FSItemAttribute FSItemAttribute::backupTime { 1u << 14 };
inline constexpr FSItemAttribute FSItemAttribute::addedTime { 1u << 15 };
inline constexpr FSItemAttribute FSItemAttribute::supportsLimitedXAttrs { 1u << 16 };
inline constexpr FSItemAttribute FSItemAttribute::inhibitKernelOffloadedIO { 1u << 17 };

class FSItem {
public:
    // Any 64-bit value names an item; these three have fixed meanings.
    enum class Identifier : std::uint64_t {
        invalid = 0,
        parentOfRoot = 1,
        rootDirectory = 2,
    };
    using ItemType = FSItemType;
    using Attribute = FSItemAttribute;

    virtual ~FSItem() = default;

    FSItem(const FSItem&) = delete;
    FSItem& operator=(const FSItem&) = delete;

protected:
    FSItem() = default;
};

} // namespace fskit
