// The daemon's answer to one request: the `unique` of that request and the payload after the
// fuse_out_header, read front to back. Made by the channel with the read position at 0; a reply
// is read by one task at a time, and copies share the payload.
#pragma once

#include "VLChannel/ConsumableMessage.h"

#include <cstdint>
#include <utility>

namespace vl {

class Reply : public ConsumableMessage {
public:
    Reply(std::uint64_t unique, DiscontiguousData payload)
        : ConsumableMessage(std::move(payload))
        , requestUnique(unique)
    {
    }

    std::uint64_t unique() const { return requestUnique; }

private:
    std::uint64_t requestUnique;
};

} // namespace vl
