// A reader/writer lock for tasks: a task that has to wait is suspended, never a thread.
//
// Many readers or one writer hold the lock. A free lock goes to the oldest contender (a reader
// at the head brings in every reader behind it up to the first writer); readers arriving while
// the lock is read-held enter at once, even past queued writers. A reader may upgrade: it waits
// until it is the last reader, and when a second reader asks while one upgrade is pending it is
// refused (false) instead of deadlocking. Waits cannot be cancelled. Waiters are resumed inside
// the state lock, which only schedules them. The lock has no notion of owner and is not
// re-entrant; an unbalanced unlock, upgrade or downgrade ends the process ("Illegal lock state").
//
// State invariants, checked at the end of every section that changes the state: `mode` is absent
// exactly when `count` is 0; `mode` writing implies `count` 1; `upgrade` is pending only while
// `mode` is reading and `count` is above 1; `contenders` are queued only while the lock is held.
#pragma once

#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Task.h"
#include "VLFoundation/Protected.h"

#include <cstdint>
#include <deque>
#include <optional>

namespace vl {

class AsyncReadWriteLock {
public:
    enum class Mode { reading, writing };

private:
    // Parks a contender, or admits it when the lock became available since await_ready.
    struct Enqueue {
        AsyncReadWriteLock* owner;
        Mode mode;
        void operator()(tasks::Continuation<void> continuation) const;
    };

public:
    // Awaited by lock(): an uncontended acquisition completes in await_ready, without suspending.
    class [[nodiscard]] LockAwaiter {
    public:
        bool await_ready() { return acquiredAtOnce = owner.tryLock(mode); }
        bool await_suspend(std::coroutine_handle<> awaiting) { return parked.await_suspend(awaiting); }
        void await_resume()
        {
            if (!acquiredAtOnce)
                parked.await_resume();
        }

    private:
        friend AsyncReadWriteLock;
        LockAwaiter(AsyncReadWriteLock& owner, Mode mode);

        AsyncReadWriteLock& owner;
        const Mode mode;
        bool acquiredAtOnce = false;
        tasks::ContinuationAwaiter<void, Enqueue> parked;
    };

    AsyncReadWriteLock() = default;
    AsyncReadWriteLock(const AsyncReadWriteLock&) = delete;
    AsyncReadWriteLock& operator=(const AsyncReadWriteLock&) = delete;

    // co_await lock.lock(mode): returns once the caller holds the lock in that mode.
    LockAwaiter lock(Mode mode) { return LockAwaiter(*this, mode); }
    bool tryLock(Mode mode);

    // The caller holds the lock for reading. True: it now holds it for writing. False: another
    // reader is already waiting to upgrade; the caller keeps its read hold.
    tasks::Task<bool> upgrade();
    bool tryUpgrade();

    // The caller holds the lock for writing and keeps it for reading; queued leading readers join.
    void downgrade();
    void unlock();

private:
    struct Contender {
        Mode mode;
        tasks::Continuation<void> continuation;
    };

    struct State {
        std::optional<Mode> mode;
        std::int64_t count = 0;
        std::optional<tasks::Continuation<bool>> upgrade;
        std::deque<Contender> contenders;
    };

    static bool acquireAtOnce(State& state, Mode mode);
    static void checkInvariants(const State& state);
    static void admitContenders(State& state);
    [[noreturn]] static void illegalLockState();

    Protected<State> state { State {} };
};

inline AsyncReadWriteLock::LockAwaiter::LockAwaiter(AsyncReadWriteLock& owner, Mode mode)
    : owner(owner)
    , mode(mode)
    , parked(Enqueue { &owner, mode })
{
}

} // namespace vl
