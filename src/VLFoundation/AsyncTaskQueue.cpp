#include "VLFoundation/AsyncTaskQueue.h"

#include "Platform/OS/FatalError.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskGroup.h"

#include <optional>

namespace vl {

AsyncTaskQueue::AsyncTaskQueue(Mode mode, bool activate)
    : AsyncTaskQueue(mode, activate, tasks::AsyncStream<Entry>::makeStream())
{
}

AsyncTaskQueue::AsyncTaskQueue(Mode mode, bool activate, tasks::AsyncStream<Entry>::Pair stream)
    : queueMode(mode)
    , stream(std::move(stream.stream))
    , continuation(std::move(stream.continuation))
{
    if (activate)
        this->activate();
}

AsyncTaskQueue::~AsyncTaskQueue()
{
    continuation.finish();
}

void AsyncTaskQueue::activate()
{
    active.withLock([](bool& active) {
        if (active)
            fatalError("AsyncTaskQueue active", "VLFoundation/AsyncTaskQueue");
        active = true;
    });
    (void)tasks::spawn(dispatch(SendableAsyncIterator<Entry>(stream)));
}

void AsyncTaskQueue::async(bool barrier, Operation operation)
{
    continuation.yield(Entry { barrier || queueMode == Mode::serial, std::move(operation) });
}

tasks::Task<void> AsyncTaskQueue::wait()
{
    AsyncFuture<void>::Pair made = AsyncFuture<void>::makeFuture();
    async(true, [promise = made.promise]() -> tasks::Task<void> {
        promise.resolve();
        co_return;
    });
    return valueOf(std::move(made.future));
}

tasks::Task<void> AsyncTaskQueue::run(Operation operation)
{
    try {
        co_await operation();
    } catch (...) {
        fatalError("AsyncTaskQueue operation failed", "VLFoundation/AsyncTaskQueue");
    }
}

tasks::Task<void> AsyncTaskQueue::dispatch(SendableAsyncIterator<Entry> entries)
{
    std::optional<Entry> entry = co_await entries.next();
    while (entry) {
        if (entry->barrier) {
            co_await run(std::move(entry->operation));
            entry = co_await entries.next();
            continue;
        }
        // Runs this entry and every non-barrier entry behind it side by side; stops at the next
        // barrier (kept in `entry`) or at the end, and returns once all of them have finished.
        auto runUntilBarrier = [&entries, &entry](tasks::DiscardingTaskGroup& group) -> tasks::Task<void> {
            do {
                group.addTask(run(std::move(entry->operation)));
                entry = co_await entries.next();
            } while (entry && !entry->barrier);
        };
        co_await tasks::withThrowingDiscardingTaskGroup(runUntilBarrier);
    }
}

} // namespace vl
