// The FUSE channel: it carries the requests of all concurrent operations over one transport to
// the daemon and routes each incoming message back by what its fuse_out_header says it is.
//
// MessageType is that classification: a notification (`unique` 0, code in `error`) or the reply
// to the request with that `unique`, with the errno the daemon returned (0 for success).
#pragma once

#include "VLChannel/DiscontiguousData.h"
#include "VLChannel/FuseKernel.h"

#include <cstdint>
#include <variant>

namespace vl {

class Channel {
public:
    struct MessageType {
        struct Notification {
            fuse_notify_code type;
            friend bool operator==(const Notification&, const Notification&) = default;
        };
        struct Reply {
            std::uint64_t unique;
            // A positive errno, or 0 for success.
            std::int32_t error;
            friend bool operator==(const Reply&, const Reply&) = default;
        };

        // Reads the fuse_out_header at the start of `message`, which holds at least its 16 bytes.
        // A reply's `error` is negated; the one value whose negation does not fit 32 bits becomes
        // ENXIO, the errno the channel reports for errors it does not know. A notification's code
        // is `error` read as an unsigned value, whatever its sign.
        static MessageType classify(const DiscontiguousData& message);

        std::variant<Notification, Reply> value;
        friend bool operator==(const MessageType&, const MessageType&) = default;
    };
};

} // namespace vl
