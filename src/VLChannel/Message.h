// Anything that travels over the FUSE channel, as a DiscontiguousData: for a request the bytes
// exactly as they go on the wire, for a reply or notification the payload after its
// fuse_out_header. Messages are values; copies share their bytes.
#pragma once

#include "VLChannel/DiscontiguousData.h"

#include <cstddef>
#include <utility>

namespace vl {

class Message {
public:
    const DiscontiguousData& data() const { return messageData; }
    std::ptrdiff_t count() const { return messageData.count(); }

protected:
    explicit Message(DiscontiguousData data)
        : messageData(std::move(data))
    {
    }
    Message(const Message&) = default;
    Message(Message&&) = default;
    Message& operator=(const Message&) = default;
    Message& operator=(Message&&) = default;
    ~Message() = default;

private:
    DiscontiguousData messageData;
};

} // namespace vl
