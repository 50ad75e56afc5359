#include "VLFoundation/AsyncSemaphore.h"

#include "Platform/OS/FatalError.h"

namespace vl {

namespace {

std::int64_t validPermits(std::int64_t value)
{
    if (value < 0)
        fatalError("Semaphore created with a negative value", "VLFoundation/AsyncSemaphore");
    return value;
}

} // namespace

AsyncSemaphore::AsyncSemaphore(std::int64_t value)
    : state(State { validPermits(value), {} })
{
}

bool AsyncSemaphore::tryTake()
{
    return state.withLock([](State& state) {
        if (state.value < 1)
            return false;
        --state.value;
        return true;
    });
}

tasks::Task<void> AsyncSemaphore::wait()
{
    if (tryTake())
        co_return;
    co_await tasks::withContinuation<void>([this](tasks::Continuation<void> continuation) {
        state.withLock([&](State& state) {
            if (state.value >= 1) {
                --state.value;
                continuation.resume();
            } else {
                state.continuations.push_back(std::move(continuation));
            }
        });
    });
}

void AsyncSemaphore::signal()
{
    state.withLock([](State& state) {
        if (state.continuations.empty()) {
            ++state.value;
            return;
        }
        tasks::Continuation<void> first = std::move(state.continuations.front());
        state.continuations.pop_front();
        first.resume();
    });
}

} // namespace vl
