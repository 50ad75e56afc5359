#include "VLChannel/ConsumableMessage.h"

#include "Platform/OS/FatalError.h"

namespace vl {

void ConsumableMessage::consumePart(std::ptrdiff_t byteCount)
{
    requireUnconsumed(byteCount);
    consumed += byteCount;
}

void ConsumableMessage::requireUnconsumed(std::ptrdiff_t byteCount) const
{
    if (byteCount < 0)
        fatalError("Fatal error", "VLChannel/Message");
    if (unconsumedCount() < byteCount)
        throw ConsumableError(ConsumableError::Kind::insufficientData);
}

} // namespace vl
