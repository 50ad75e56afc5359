// A single-assignment, single-consumer rendezvous between a producer and one waiting task.
//
// makeFuture() returns a future and the promise that resolves it. The promise (copyable, usable
// from any thread) delivers one value or error; the one consumer awaits it, without a deadline
// (value, wait: not cancellable) or with one (get, wait with a deadline: the deadline passing or
// the consumer's task being cancelled gives up, returning the future to its neutral state and
// answering with onTimeout's outcome, or CancellationError when there is none). A second
// delivery, or a second consumer, ends the process. Each wait with a deadline carries a number of
// its own, and its timeout and its cancellation give up only that wait: a timeout that fires late,
// after its wait has ended, never releases a later wait on the same future. Every transition
// happens under the future's lock. A delivery resumes the consumer just after leaving it (which
// only schedules it; resolveHere runs it on the resolving thread), a give-up inside it; onTimeout
// runs inside it, so onTimeout must not touch the same future.
#pragma once

#include "Platform/Dispatch/DispatchTime.h"
#include "Platform/OS/FatalError.h"
#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Result.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/Task.h"
#include "VLFoundation/Deferred.h"
#include "VLFoundation/Protected.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace vl {

template <typename Value> class AsyncFuture : public std::enable_shared_from_this<AsyncFuture<Value>> {
public:
    using OnTimeout = std::function<Value()>;

    class Promise {
    public:
        void resolve(tasks::Result<Value> result) const { future->deliver(std::move(result)); }

        template <typename V = Value>
        requires(!std::is_void_v<V>) void resolveReturning(V value) const
        {
            resolve(tasks::Result<Value>::success(std::move(value)));
        }

        void resolveThrowing(std::exception_ptr error) const
        {
            resolve(tasks::Result<Value>::failure(std::move(error)));
        }

        void resolve() const requires std::is_void_v<Value> { resolve(tasks::Result<void>::success()); }

        // Resolves and runs a parked consumer on the calling thread until it next suspends; for
        // callers that hold no lock and may be held up that long.
        void resolveHere(tasks::Result<Value> result) const { future->deliver(std::move(result), true); }

    private:
        friend AsyncFuture;
        explicit Promise(std::shared_ptr<AsyncFuture> future)
            : future(std::move(future))
        {
        }
        std::shared_ptr<AsyncFuture> future;
    };

    struct Pair {
        std::shared_ptr<AsyncFuture> future;
        Promise promise;
    };

    static Pair makeFuture()
    {
        std::shared_ptr<AsyncFuture> future(new AsyncFuture());
        return Pair { future, Promise(future) };
    }

    // The delivered value, or the delivered error rethrown; waits as long as it takes.
    tasks::Task<Value> value() { return awaitOutcome(self()); }

    tasks::Task<void> wait() requires std::is_void_v<Value> { return awaitOutcome(self()); }

    tasks::Task<Value> get(dispatch::DispatchTime deadline, OnTimeout onTimeout = {})
    {
        return awaitWithDeadline(
            self(), [deadline](tasks::Task<void> giveUp) { return deferred(deadline, std::move(giveUp)); },
            std::move(onTimeout));
    }

    template <tasks::Clock C>
    tasks::Task<Value> get(typename C::Instant deadline, std::optional<typename C::Duration> tolerance,
        C clock, OnTimeout onTimeout = {})
    {
        return awaitWithDeadline(
            self(),
            [deadline, tolerance, clock](
                tasks::Task<void> giveUp) { return deferred(deadline, tolerance, clock, std::move(giveUp)); },
            std::move(onTimeout));
    }

    tasks::Task<void> wait(
        dispatch::DispatchTime deadline, OnTimeout onTimeout = {}) requires std::is_void_v<Value>
    {
        return get(deadline, std::move(onTimeout));
    }

    template <tasks::Clock C>
    tasks::Task<void> wait(typename C::Instant deadline, std::optional<typename C::Duration> tolerance,
        C clock, OnTimeout onTimeout = {}) requires std::is_void_v<Value>
    {
        return get(deadline, tolerance, clock, std::move(onTimeout));
    }

private:
    // The waits without a deadline carry wait number 0, which no give-up names.
    struct Waiting {
        tasks::Continuation<Value> continuation;
        std::uint64_t wait;
    };
    struct Resolved {
        tasks::Result<Value> result;
    };
    struct Neutral { };
    struct Finished { };
    using State = std::variant<Neutral, Waiting, Resolved, Finished>;

    AsyncFuture()
        : state(State(Neutral {}))
    {
    }

    std::shared_ptr<AsyncFuture> self() { return this->shared_from_this(); }

    [[noreturn]] static void contractViolation() { fatalError("", "VLFoundation/AsyncFuture"); }

    // Resumes a parked consumer once the lock is left: scheduled, or run here when `here` is set.
    void deliver(tasks::Result<Value> result, bool here = false)
    {
        std::optional<tasks::Continuation<Value>> parked = state.withLock([&](State& current) {
            std::optional<tasks::Continuation<Value>> taken;
            if (Waiting* waiting = std::get_if<Waiting>(&current)) {
                taken.emplace(std::move(waiting->continuation));
                current = Finished {};
            } else if (std::holds_alternative<Neutral>(current)) {
                current = Resolved { std::move(result) };
            } else {
                contractViolation();
            }
            return taken;
        });
        if (!parked)
            return;
        if (here)
            parked->resumeHere(std::move(result));
        else
            parked->resume(std::move(result));
    }

    // Hands a delivered outcome over at once, or parks the consumer as wait number `wait`;
    // returns whether it parked.
    bool takeOrPark(State& current, tasks::Continuation<Value>& continuation, std::uint64_t wait)
    {
        if (Resolved* resolved = std::get_if<Resolved>(&current)) {
            tasks::Result<Value> result = std::move(resolved->result);
            current = Finished {};
            continuation.resume(std::move(result));
            return false;
        }
        if (!std::holds_alternative<Neutral>(current))
            contractViolation();
        current = Waiting { std::move(continuation), wait };
        return true;
    }

    // Ends wait number `wait` if that wait is still the one parked.
    void giveUp(std::uint64_t wait, const OnTimeout& onTimeout)
    {
        state.withLock([&](State& current) {
            Waiting* waiting = std::get_if<Waiting>(&current);
            if (!waiting || waiting->wait != wait)
                return;
            tasks::Continuation<Value> continuation = std::move(waiting->continuation);
            current = Neutral {};
            if (!onTimeout)
                continuation.resumeThrowing(std::make_exception_ptr(tasks::CancellationError()));
            else
                continuation.resume(tasks::Result<Value>::catching(onTimeout));
        });
    }

    static tasks::Task<Value> awaitOutcome(std::shared_ptr<AsyncFuture> future)
    {
        co_return co_await tasks::withContinuation<Value>([&future](tasks::Continuation<Value> continuation) {
            future->state.withLock([&](State& current) { future->takeOrPark(current, continuation, 0); });
        });
    }

    static tasks::Task<void> giveUpTask(
        std::shared_ptr<AsyncFuture> future, std::uint64_t wait, OnTimeout onTimeout)
    {
        future->giveUp(wait, onTimeout);
        co_return;
    }

    template <typename MakeTimeout>
    static tasks::Task<Value> awaitWithDeadline(
        std::shared_ptr<AsyncFuture> future, MakeTimeout makeTimeout, OnTimeout onTimeout)
    {
        const std::uint64_t wait = future->waitsWithDeadline.fetch_add(1, std::memory_order_relaxed) + 1;
        std::optional<tasks::TaskHandle<void>> timeoutTask;
        auto parkWithTimeout = [&future, wait, &timeoutTask, &makeTimeout, &onTimeout](
                                   tasks::Continuation<Value> continuation) {
            // The timeout task is made inside the lock, so it exists before anyone can resume us.
            future->state.withLock([&](State& current) {
                if (future->takeOrPark(current, continuation, wait))
                    timeoutTask.emplace(makeTimeout(giveUpTask(future, wait, onTimeout)));
            });
        };
        std::function<void()> giveUpOnCancel = [future, wait, onTimeout] { future->giveUp(wait, onTimeout); };
        tasks::Result<Value> outcome = co_await tasks::catching(
            tasks::withTaskCancellationHandler(suspend(parkWithTimeout), giveUpOnCancel));
        if (timeoutTask)
            timeoutTask->cancel();
        co_return std::move(outcome).get();
    }

    template <typename Body> static tasks::Task<Value> suspend(Body body)
    {
        co_return co_await tasks::withContinuation<Value>(std::move(body));
    }

    Protected<State> state;
    // Numbers the waits with a deadline, from 1.
    std::atomic<std::uint64_t> waitsWithDeadline { 0 };
};

} // namespace vl
