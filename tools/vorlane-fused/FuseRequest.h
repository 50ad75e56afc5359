// One request as the daemon received it: the header and the body bytes, owned.
//
// Body accessors check lengths at the edge and throw FuseRequest::Malformed, so that handlers see
// well-formed values only: fixed(T) requires the body to start with a whole T; a name is at
// least one byte long, free of zero bytes and ended by one 0x00; nothing may follow the names
// a request carries except where data is expected.
#pragma once

#include "VLChannel/FuseKernel.h"
#include "vorlane-fused/Bytes.h"

#include <cstddef>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace fused {

class FuseRequest {
public:
    class Malformed : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    FuseRequest(vl::fuse_in_header header, Bytes body)
        : header(header)
        , body(std::move(body))
    {
    }

    template <typename T> T fixed() const
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
    // Two zero-terminated names, one after the other, that start at `offset` and end the body.
    std::pair<std::string_view, std::string_view> twoNames(std::size_t offset = 0) const;
    // A zero-terminated name that starts at `offset`, and the bytes after it to the end.
    std::pair<std::string_view, std::span<const std::byte>> nameAndData(std::size_t offset = 0) const;
    // The bytes from `offset` to the end.
    std::span<const std::byte> data(std::size_t offset) const;

    const vl::fuse_in_header header;
    const Bytes body;
};

} // namespace fused
