#include "VLFoundation/AsyncReadWriteLock.h"

#include "Platform/OS/FatalError.h"

namespace vl {

bool AsyncReadWriteLock::acquireAtOnce(State& state, Mode mode)
{
    if (!state.mode) {
        state.mode = mode;
        state.count = 1;
        return true;
    }
    if (mode == Mode::reading && *state.mode == Mode::reading) {
        ++state.count;
        return true;
    }
    return false;
}

void AsyncReadWriteLock::checkInvariants(const State& state)
{
    bool consistent = state.mode.has_value() == (state.count != 0)
        && (state.mode != Mode::writing || state.count == 1)
        && (!state.upgrade || (state.mode == Mode::reading && state.count > 1))
        && (state.contenders.empty() || state.mode.has_value());
    if (!consistent)
        illegalLockState();
}

void AsyncReadWriteLock::Enqueue::operator()(tasks::Continuation<void> continuation) const
{
    owner->state.withLock([&](State& state) {
        if (acquireAtOnce(state, mode))
            continuation.resume();
        else
            state.contenders.push_back(Contender { mode, std::move(continuation) });
        checkInvariants(state);
    });
}

bool AsyncReadWriteLock::tryLock(Mode mode)
{
    return state.withLock([mode](State& state) {
        bool acquired = acquireAtOnce(state, mode);
        checkInvariants(state);
        return acquired;
    });
}

void AsyncReadWriteLock::admitContenders(State& state)
{
    std::size_t admitted = 0;
    for (Contender& contender : state.contenders) {
        if (state.mode && (*state.mode == Mode::writing || contender.mode == Mode::writing))
            break;
        state.mode = contender.mode;
        ++state.count;
        contender.continuation.resume();
        ++admitted;
    }
    state.contenders.erase(
        state.contenders.begin(), state.contenders.begin() + static_cast<std::ptrdiff_t>(admitted));
}

tasks::Task<bool> AsyncReadWriteLock::upgrade()
{
    co_return co_await tasks::withContinuation<bool>([this](tasks::Continuation<bool> continuation) {
        state.withLock([&](State& state) {
            if (state.mode != Mode::reading)
                illegalLockState();
            if (state.count == 1) {
                state.mode = Mode::writing;
                continuation.resume(true);
            } else if (!state.upgrade) {
                state.upgrade.emplace(std::move(continuation));
            } else {
                continuation.resume(false);
            }
            checkInvariants(state);
        });
    });
}

bool AsyncReadWriteLock::tryUpgrade()
{
    return state.withLock([](State& state) {
        if (state.mode != Mode::reading)
            illegalLockState();
        if (state.count != 1)
            return false;
        state.mode = Mode::writing;
        checkInvariants(state);
        return true;
    });
}

void AsyncReadWriteLock::downgrade()
{
    state.withLock([](State& state) {
        if (state.mode != Mode::writing || state.count != 1)
            illegalLockState();
        state.mode = Mode::reading;
        admitContenders(state);
        checkInvariants(state);
    });
}

void AsyncReadWriteLock::unlock()
{
    state.withLock([](State& state) {
        if (!state.mode || state.count < 1)
            illegalLockState();
        if (state.count > 1) {
            --state.count;
            if (state.count == 1 && state.upgrade) {
                // The one remaining reader is the task waiting to upgrade.
                state.mode = Mode::writing;
                tasks::Continuation<bool> upgrader = std::move(*state.upgrade);
                state.upgrade.reset();
                upgrader.resume(true);
            }
            checkInvariants(state);
            return;
        }
        state.mode.reset();
        state.count = 0;
        admitContenders(state);
        checkInvariants(state);
    });
}

void AsyncReadWriteLock::illegalLockState()
{
    fatalError("Illegal lock state", "VLFoundation/AsyncReadWriteLock");
}

} // namespace vl
