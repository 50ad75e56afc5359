// What the FUSE server asks of the file system it serves. Node ids are FUSE node ids (1 is the
// root). A failing operation throws PosixError with the errno that the reply carries.
#pragma once

#include "VLChannel/FuseKernel.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace fused {

class PosixError : public std::runtime_error {
public:
    explicit PosixError(int code) : std::runtime_error("errno " + std::to_string(code)), code(code) {}
    const int code;
};

class FileSystemBackend {
public:
    virtual ~FileSystemBackend() = default;

    virtual vl::fuse_kstatfs statistics() = 0;
    virtual vl::fuse_attr attributes(std::uint64_t node) = 0;
    // Finds `name` in directory `parent` and counts one lookup of the node found.
    virtual vl::fuse_attr lookup(std::uint64_t parent, std::string_view name) = 0;
};

} // namespace fused
