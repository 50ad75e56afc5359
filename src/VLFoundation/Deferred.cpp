#include "VLFoundation/Deferred.h"

namespace vl::detail {

tasks::Task<void> sleepUntilDispatchTime(dispatch::DispatchTime deadline)
{
    std::uint64_t now = dispatch::DispatchTime::now().uptimeNanoseconds();
    std::uint64_t left = deadline.uptimeNanoseconds() > now ? deadline.uptimeNanoseconds() - now : 0;
    constexpr std::uint64_t longest = static_cast<std::uint64_t>(std::chrono::nanoseconds::max().count());
    co_await tasks::sleepFor(std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(left, longest))));
}

} // namespace vl::detail
