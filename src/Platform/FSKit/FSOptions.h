// The option sets and codes that FSKit passes to volume and file-system operations, with
// FSKit's raw values.
#pragma once

#include "Platform/FSKit/OptionSet.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fskit {

struct FSVolumeOpenModes : OptionSet<FSVolumeOpenModes, std::uint32_t> {
    using OptionSet::OptionSet;

    static const FSVolumeOpenModes read;
    static const FSVolumeOpenModes write;
};

inline constexpr FSVolumeOpenModes FSVolumeOpenModes::read { 1 };
inline constexpr FSVolumeOpenModes FSVolumeOpenModes::write { 2 };

struct FSAccessMask : OptionSet<FSAccessMask, std::uint32_t> {
    using OptionSet::OptionSet;

    static const FSAccessMask readData;
    static const FSAccessMask listDirectory;
    static const FSAccessMask writeData;
    static const FSAccessMask addFile;
    static const FSAccessMask execute;
    static const FSAccessMask search;
    static const FSAccessMask deleteItem;
    static const FSAccessMask appendData;
    static const FSAccessMask addSubdirectory;
    static const FSAccessMask deleteChild;
    static const FSAccessMask readAttributes;
    static const FSAccessMask writeAttributes;
    static const FSAccessMask readXattr;
    static const FSAccessMask writeXattr;
    static const FSAccessMask readSecurity;
    static const FSAccessMask writeSecurity;
    static const FSAccessMask takeOwnership;
};

inline constexpr FSAccessMask FSAccessMask::readData { 1u << 1 };
inline constexpr FSAccessMask FSAccessMask::listDirectory { 1u << 1 };
inline constexpr FSAccessMask FSAccessMask::writeData { 1u << 2 };
inline constexpr FSAccessMask FSAccessMask::addFile { 1u << 2 };
inline constexpr FSAccessMask FSAccessMask::execute { 1u << 3 };
inline constexpr FSAccessMask FSAccessMask::search { 1u << 3 };
// FSKit calls this bit "delete", which C++ reserves.
inline constexpr FSAccessMask FSAccessMask::deleteItem { 1u << 4 };
inline constexpr FSAccessMask FSAccessMask::appendData { 1u << 5 };
inline constexpr FSAccessMask FSAccessMask::addSubdirectory { 1u << 5 };
inline constexpr FSAccessMask FSAccessMask::deleteChild { 1u << 6 };
inline constexpr FSAccessMask FSAccessMask::readAttributes { 1u << 7 };
inline constexpr FSAccessMask FSAccessMask::writeAttributes { 1u << 8 };
inline constexpr FSAccessMask FSAccessMask::readXattr { 1u << 9 };
inline constexpr FSAccessMask FSAccessMask::writeXattr { 1u << 10 };
inline constexpr FSAccessMask FSAccessMask::readSecurity { 1u << 11 };
inline constexpr FSAccessMask FSAccessMask::writeSecurity { 1u << 12 };
inline constexpr FSAccessMask FSAccessMask::takeOwnership { 1u << 13 };

enum class FSSetXattrPolicy : std::uint32_t {
    alwaysSet = 0,
    mustCreate = 1,
    mustReplace = 2,
    deleteXattr = 3, // FSKit's "delete"
};

enum class FSSyncFlags : std::int32_t {
    wait = 1,
    noWait = 2,
    dWait = 4,
};

struct FSDeactivateOptions : OptionSet<FSDeactivateOptions, std::uint32_t> {
    using OptionSet::OptionSet;

    static const FSDeactivateOptions force;
};

inline constexpr FSDeactivateOptions FSDeactivateOptions::force { 1 };

// The options of a load, activation or mount, as the command line that asked for it gave them.
struct FSTaskOptions {
    std::vector<std::string> taskOptions;
};

} // namespace fskit
