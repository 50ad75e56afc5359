// Runs submitted asynchronous operations from one dispatcher task, in submission order.
//
// A serial queue runs its entries one at a time. A concurrent queue runs the non-barrier entries
// between two barriers side by side; a barrier starts only after every earlier entry has
// finished, and no later entry starts before the barrier has finished. Submission is safe from
// any thread, never waits and keeps its order; entries submitted before activate() wait for the
// dispatcher. Destroying the queue lets the dispatcher run what was already submitted, then end.
// Operations must not fail: a failing operation ends the process (sync passes errors on itself).
//
// A non-barrier sync on an active concurrent queue with no barrier pending skips the dispatcher:
// the caller's own task runs the operation (with the caller's cancellation and task locals). It
// counts as running from the moment sync is called, so a barrier submitted later still waits for
// it, and it cannot overtake a barrier, since none is pending.
#pragma once

#include "Platform/Tasks/AsyncStream.h"
#include "Platform/Tasks/Task.h"
#include "VLFoundation/AsyncFuture.h"
#include "VLFoundation/Protected.h"
#include "VLFoundation/SendableAsyncIterator.h"

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace vl {

class AsyncTaskQueue {
public:
    enum class Mode { serial, concurrent };

    // Called once, by the dispatcher; the returned task is the entry's work. The callable is kept
    // alive until that task has finished, so coroutine lambdas may capture what they need.
    using Operation = std::function<tasks::Task<void>()>;

    explicit AsyncTaskQueue(Mode mode, bool activate = true);
    ~AsyncTaskQueue();
    AsyncTaskQueue(const AsyncTaskQueue&) = delete;
    AsyncTaskQueue& operator=(const AsyncTaskQueue&) = delete;

    Mode mode() const { return queueMode; }

    // Starts the dispatcher; a second call ends the process ("AsyncTaskQueue active").
    void activate();

    void async(bool barrier, Operation operation);

    // Submits at once (not when the returned task is first awaited); the task yields the
    // operation's value, or rethrows its error. `operation()` must return a tasks::Task<R>.
    template <typename Body>
    auto sync(bool barrier, Body operation) -> tasks::Task<typename std::invoke_result_t<Body&>::Value>
    {
        using Result = typename std::invoke_result_t<Body&>::Value;
        if (!barrier) {
            if (std::optional<InlineEntry> entry = admitInline())
                return runInline<Result>(std::move(*entry), std::move(operation));
        }
        typename AsyncFuture<Result>::Pair made = AsyncFuture<Result>::makeFuture();
        async(barrier,
            [operation = std::move(operation), promise = made.promise]() mutable -> tasks::Task<void> {
                promise.resolve(co_await tasks::catching(operation()));
            });
        return valueOf(std::move(made.future));
    }

    // Submits a barrier at once; the task returns when everything submitted before it has finished.
    tasks::Task<void> wait();

private:
    struct Entry {
        bool barrier;
        Operation operation;
    };

    // Which entries may skip the dispatcher: shared with the dispatcher, which may outlive the
    // queue, and with the entries running in their callers' tasks.
    struct Admission {
        unsigned pendingBarriers = 0;
        unsigned inlineEntries = 0;
        // The dispatcher, waiting before a barrier for the inline entries to finish.
        std::optional<AsyncFuture<void>::Promise> drained;
    };
    using SharedAdmission = std::shared_ptr<Protected<Admission>>;

    // One entry running in its caller's task; its end (the destructor) may let a barrier start.
    class InlineEntry {
    public:
        explicit InlineEntry(SharedAdmission admission)
            : admission(std::move(admission))
        {
        }
        InlineEntry(InlineEntry&& other) noexcept = default;
        InlineEntry& operator=(InlineEntry&&) = delete;
        ~InlineEntry();

    private:
        SharedAdmission admission;
    };

    std::optional<InlineEntry> admitInline();

    template <typename Result, typename Body>
    static tasks::Task<Result> runInline(InlineEntry entry, Body operation)
    {
        InlineEntry running = std::move(entry);
        co_return co_await operation();
    }

    template <typename Result> static tasks::Task<Result> valueOf(std::shared_ptr<AsyncFuture<Result>> future)
    {
        co_return co_await future->value();
    }

    AsyncTaskQueue(Mode mode, bool activate, tasks::AsyncStream<Entry>::Pair stream);

    static tasks::Task<void> dispatch(SendableAsyncIterator<Entry> entries, SharedAdmission admission);
    static tasks::Task<void> run(Operation operation);
    static tasks::Task<void> runBarrier(Operation operation, SharedAdmission admission);

    const Mode queueMode;
    Protected<bool> active { false };
    const SharedAdmission admission = std::make_shared<Protected<Admission>>(Admission {});
    const tasks::AsyncStream<Entry> stream;
    const tasks::AsyncStream<Entry>::Continuation continuation;
};

} // namespace vl
