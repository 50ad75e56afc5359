#include "Platform/Foundation/POSIXErrorCode.h"
#include "VLChannel/Channel.h"

#include <limits>

namespace vl {

Channel::MessageType Channel::MessageType::classify(const DiscontiguousData& message)
{
    return message.withUnsafeValue<fuse_out_header>(0, [](const fuse_out_header& header) -> MessageType {
        if (header.unique == 0)
            return { Notification {
                static_cast<fuse_notify_code>(static_cast<std::uint32_t>(header.error)) } };
        if (header.error == std::numeric_limits<std::int32_t>::min())
            return { Reply { header.unique, posix::enxio } };
        return { Reply { header.unique, -header.error } };
    });
}

} // namespace vl
