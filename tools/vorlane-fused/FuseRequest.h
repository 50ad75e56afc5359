// One request as the daemon received it: the header and the body bytes, owned.
//
// Body accessors check lengths at the edge and throw FuseRequest::Malformed, so that handlers see
// well-formed values only: fixed(T) requires the body to start with a whole T; name(offset)
// requires a name of at least one byte, ended by the body's last byte 0x00 and free of other zero
// bytes.
#pragma once

#include "VLChannel/FuseKernel.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fused {

class FuseRequest {
public:
    class Malformed : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    FuseRequest(vl::fuse_in_header header, std::vector<std::byte> body)
        : header(header), body(std::move(body))
    {
    }

    template <typename T>
    T fixed() const
    {
        if (body.size() < sizeof(T))
            throw Malformed("request body shorter than its fixed structure");
        T value;
        std::memcpy(&value, body.data(), sizeof(T));
        return value;
    }

    // Requires the body to be exactly `size` bytes long.
    void requireBodySize(std::size_t size) const;

    // The zero-terminated name that starts at `offset` and ends the body.
    std::string_view name(std::size_t offset = 0) const;

    const vl::fuse_in_header header;
    const std::vector<std::byte> body;
};

} // namespace fused
