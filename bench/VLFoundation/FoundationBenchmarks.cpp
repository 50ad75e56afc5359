// Costs of the async foundation: future hand-off latency, spawning tasks, the Protected cell.
#include "Platform/Tasks/Spawn.h"
#include "VLFoundation/AsyncFuture.h"
#include "VLFoundation/Protected.h"

#include "Support/AllocationCounter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using tasks::Task;

// One consumer task waits on a fresh future; a plain thread stamps the time and resolves it; the
// consumer stamps the time when it runs again. Reports the median and 99th percentile.
void promiseResolutionToWaiterRunning(benchmark::State& state)
{
    std::vector<double> latencies;
    for (auto _ : state) {
        auto made = vl::AsyncFuture<Clock::time_point>::makeFuture();
        std::atomic<bool> parked { false };
        auto consumer = [](std::shared_ptr<vl::AsyncFuture<Clock::time_point>> future,
                            std::atomic<bool>* parked) -> Task<double> {
            parked->store(true);
            Clock::time_point resolvedAt = co_await future->value();
            co_return std::chrono::duration<double>(Clock::now() - resolvedAt).count();
        };
        tasks::TaskHandle<double> waiting = tasks::spawn(consumer(made.future, &parked));
        while (!parked.load())
            std::this_thread::yield();
        // Let the consumer finish suspending before the clock starts.
        for (int spin = 0; spin < 2000; ++spin)
            benchmark::DoNotOptimize(spin);
        made.promise.resolveReturning(Clock::now());
        double latency = tasks::runBlocking(waiting.value());
        state.SetIterationTime(latency);
        latencies.push_back(latency);
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2] * 1e6;
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100] * 1e6;
}
BENCHMARK(promiseResolutionToWaiterRunning)->UseManualTime()->Iterations(5000);

Task<void> empty()
{
    co_return;
}

Task<void> spawnAndAwait(int count)
{
    for (int index = 0; index < count; ++index)
        co_await tasks::spawn(empty()).value();
}

void spawnPlusAwaitOfAnEmptyTask(benchmark::State& state)
{
    constexpr int batch = 1000;
    for (auto _ : state)
        tasks::runBlocking(spawnAndAwait(batch));
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(spawnPlusAwaitOfAnEmptyTask)->Unit(benchmark::kMicrosecond)->UseRealTime();

void uncontendedProtectedWithLock(benchmark::State& state)
{
    vl::Protected<long> counter(0);
    bench::AllocationCounter allocations(state);
    for (auto _ : state)
        counter.withLock([](long& value) { benchmark::DoNotOptimize(++value); });
}
BENCHMARK(uncontendedProtectedWithLock);

} // namespace

BENCHMARK_MAIN();
