#include "VLFoundation/AsyncTaskQueue.h"

#include "Platform/OS/FatalError.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskGroup.h"

#include <optional>
#include <utility>

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
    (void)tasks::spawn(dispatch(SendableAsyncIterator<Entry>(stream), admission));
}

void AsyncTaskQueue::async(bool barrier, Operation operation)
{
    bool effectiveBarrier = barrier || queueMode == Mode::serial;
    // Counted before it is in the stream, so that no caller can start an entry of its own past it.
    if (effectiveBarrier)
        admission->withLock([](Admission& state) { ++state.pendingBarriers; });
    continuation.yield(Entry { effectiveBarrier, std::move(operation) });
}

std::optional<AsyncTaskQueue::InlineEntry> AsyncTaskQueue::admitInline()
{
    if (queueMode != Mode::concurrent || !active.withLock([](bool& active) { return active; }))
        return std::nullopt;
    bool admitted = admission->withLock([](Admission& state) {
        if (state.pendingBarriers > 0)
            return false;
        ++state.inlineEntries;
        return true;
    });
    if (!admitted)
        return std::nullopt;
    return InlineEntry(admission);
}

AsyncTaskQueue::InlineEntry::~InlineEntry()
{
    if (!admission)
        return;
    std::optional<AsyncFuture<void>::Promise> drained = admission->withLock([](Admission& state) {
        std::optional<AsyncFuture<void>::Promise> last;
        if (--state.inlineEntries == 0)
            last = std::exchange(state.drained, std::nullopt);
        return last;
    });
    if (drained)
        drained->resolve();
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

// Runs a barrier once the entries that callers run themselves have finished: none can start while
// the barrier is pending, so their number only falls.
tasks::Task<void> AsyncTaskQueue::runBarrier(Operation operation, SharedAdmission admission)
{
    std::shared_ptr<AsyncFuture<void>> drained = admission->withLock([](Admission& state) {
        std::shared_ptr<AsyncFuture<void>> waiting;
        if (state.inlineEntries > 0) {
            AsyncFuture<void>::Pair made = AsyncFuture<void>::makeFuture();
            state.drained = made.promise;
            waiting = std::move(made.future);
        }
        return waiting;
    });
    if (drained)
        co_await drained->value();
    co_await run(std::move(operation));
    admission->withLock([](Admission& state) { --state.pendingBarriers; });
}

tasks::Task<void> AsyncTaskQueue::dispatch(SendableAsyncIterator<Entry> entries, SharedAdmission admission)
{
    std::optional<Entry> entry = co_await entries.next();
    while (entry) {
        if (entry->barrier) {
            co_await runBarrier(std::move(entry->operation), admission);
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
