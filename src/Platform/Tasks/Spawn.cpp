#include "Platform/Tasks/Spawn.h"

#include "Platform/OS/FatalError.h"
#include "Platform/Tasks/Deadline.h"

#include <atomic>

namespace tasks {
namespace {

// Never destroyed: tasks finish while static objects are torn down at exit. The count is atomic
// so that spawning and finishing take no lock; a finishing task takes the lock only to wake a
// waiter, and only when it is the last one.
struct SpawnedTasks {
    std::atomic<std::size_t> running { 0 };
    std::atomic<int> waiters { 0 };
    std::mutex mutex;
    std::condition_variable finished;
};

SpawnedTasks& spawnedTasks()
{
    static SpawnedTasks* const tasks = new SpawnedTasks();
    return *tasks;
}

} // namespace

namespace detail {

std::shared_ptr<TaskContext> makeTaskContext(Executor& executor, bool inheritLocals)
{
    TaskContext* spawner = currentTaskContext();
    std::shared_ptr<const TaskLocalBinding> locals;
    if (inheritLocals && spawner)
        locals = spawner->locals;
    return std::make_shared<TaskContext>(executor, std::move(locals));
}

void spawnedTaskStarted()
{
    spawnedTasks().running.fetch_add(1);
}

void spawnedTaskFinished()
{
    SpawnedTasks& tasks = spawnedTasks();
    // Both sides use sequentially consistent operations: a waiter that registered after this
    // read of `waiters` sees the count at zero when it checks.
    if (tasks.running.fetch_sub(1) == 1 && tasks.waiters.load() > 0) {
        std::lock_guard guard(tasks.mutex);
        tasks.finished.notify_all();
    }
}

} // namespace detail

bool waitForSpawnedTasks(std::chrono::nanoseconds limit)
{
    if (currentTaskContext())
        vl::fatalError("waitForSpawnedTasks called from inside a task", "Platform/Tasks/Spawn");
    SpawnedTasks& tasks = spawnedTasks();
    auto deadline = saturatingAdd(std::chrono::steady_clock::now(), limit);
    std::unique_lock lock(tasks.mutex);
    tasks.waiters.fetch_add(1);
    bool allFinished = tasks.finished.wait_until(lock, deadline, [&] { return tasks.running.load() == 0; });
    tasks.waiters.fetch_sub(1);
    return allFinished;
}

} // namespace tasks
