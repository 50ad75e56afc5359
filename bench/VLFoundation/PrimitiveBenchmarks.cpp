// Costs of the async primitives: reader/writer lock fast paths, task-queue submission and sync
// round trips, semaphore hand-off latency.
#include "Platform/Tasks/Spawn.h"
#include "VLFoundation/AsyncReadWriteLock.h"
#include "VLFoundation/AsyncSemaphore.h"
#include "VLFoundation/AsyncTaskQueue.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Mode = vl::AsyncReadWriteLock::Mode;
using tasks::Task;

constexpr int batch = 1000;

Task<void> lockAndUnlock(vl::AsyncReadWriteLock& lock, Mode mode, int count)
{
    for (int index = 0; index < count; ++index) {
        co_await lock.lock(mode);
        lock.unlock();
    }
}

// The loop runs inside one task; every acquisition takes the path that does not suspend. Wall
// time, since the measuring thread only waits for the task.
void uncontendedLockPlusUnlock(benchmark::State& state, Mode mode)
{
    vl::AsyncReadWriteLock lock;
    constexpr int perTask = 100000;
    for (auto _ : state)
        tasks::runBlocking(lockAndUnlock(lock, mode, perTask));
    state.SetItemsProcessed(state.iterations() * perTask);
}
BENCHMARK_CAPTURE(uncontendedLockPlusUnlock, reading, Mode::reading)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(uncontendedLockPlusUnlock, writing, Mode::writing)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

Task<void> emptyOperation()
{
    co_return;
}

// 64 threads submit empty non-barrier entries to one concurrent queue at once. The manual time
// covers the submissions only; drain_us is the time the dispatcher then needed to finish them.
void concurrentQueueSubmissionsFrom64Producers(benchmark::State& state)
{
    constexpr int producers = 64;
    constexpr int perProducer = 500;
    vl::AsyncTaskQueue queue(vl::AsyncTaskQueue::Mode::concurrent);
    double drainSeconds = 0;
    for (auto _ : state) {
        std::atomic<int> ready { 0 };
        std::atomic<bool> go { false };
        std::vector<std::thread> threads;
        for (int producer = 0; producer < producers; ++producer)
            threads.emplace_back([&] {
                ready.fetch_add(1);
                while (!go.load())
                    std::this_thread::yield();
                for (int index = 0; index < perProducer; ++index)
                    queue.async(false, [] { return emptyOperation(); });
            });
        while (ready.load() < producers)
            std::this_thread::yield();
        Clock::time_point start = Clock::now();
        go.store(true);
        for (std::thread& thread : threads)
            thread.join();
        Clock::time_point submitted = Clock::now();
        tasks::runBlocking(queue.wait());
        drainSeconds += std::chrono::duration<double>(Clock::now() - submitted).count();
        state.SetIterationTime(std::chrono::duration<double>(submitted - start).count());
    }
    state.SetItemsProcessed(state.iterations() * producers * perProducer);
    state.counters["drain_us"] = drainSeconds / static_cast<double>(state.iterations()) * 1e6;
}
BENCHMARK(concurrentQueueSubmissionsFrom64Producers)->UseManualTime()->Unit(benchmark::kMillisecond);

Task<void> emptySyncs(vl::AsyncTaskQueue& queue, int count)
{
    for (int index = 0; index < count; ++index)
        co_await queue.sync(false, [] { return emptyOperation(); });
}

void emptySyncOnAConcurrentQueue(benchmark::State& state)
{
    vl::AsyncTaskQueue queue(vl::AsyncTaskQueue::Mode::concurrent);
    for (auto _ : state)
        tasks::runBlocking(emptySyncs(queue, batch));
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(emptySyncOnAConcurrentQueue)->Unit(benchmark::kMicrosecond)->UseRealTime();

Task<double> waitAndMeasure(
    vl::AsyncSemaphore& semaphore, std::atomic<bool>& parked, std::atomic<Clock::rep>& signalledAt)
{
    parked.store(true);
    co_await semaphore.wait();
    Clock::time_point resumed = Clock::now();
    co_return std::chrono::duration<double>(resumed - Clock::time_point(Clock::duration(signalledAt.load())))
        .count();
}

// One task waits on an empty semaphore; a plain thread stamps the time and signals; the waiter
// stamps the time when it runs again. Reports the median and 99th percentile.
void semaphoreSignalToWaiterRunning(benchmark::State& state)
{
    std::vector<double> latencies;
    for (auto _ : state) {
        vl::AsyncSemaphore semaphore(0);
        std::atomic<bool> parked { false };
        std::atomic<Clock::rep> signalledAt { 0 };
        tasks::TaskHandle<double> waiter = tasks::spawn(waitAndMeasure(semaphore, parked, signalledAt));
        while (!parked.load())
            std::this_thread::yield();
        // Let the waiter finish suspending before the clock starts.
        for (int spin = 0; spin < 2000; ++spin)
            benchmark::DoNotOptimize(spin);
        signalledAt.store(Clock::now().time_since_epoch().count());
        semaphore.signal();
        double latency = tasks::runBlocking(waiter.value());
        state.SetIterationTime(latency);
        latencies.push_back(latency);
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2] * 1e6;
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100] * 1e6;
}
BENCHMARK(semaphoreSignalToWaiterRunning)->UseManualTime()->Iterations(5000);

} // namespace
