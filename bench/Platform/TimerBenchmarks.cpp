// How late sleeping tasks wake: many sleeps spread over a short span, each measuring the time
// between its deadline and the moment it runs again. The lateness covers the timer service's
// bookkeeping, the wake-up of its thread and the hop to an executor thread.
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Spawn.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tasks::SuspendingClock;
using tasks::Task;

Task<void> sleepAndMeasure(SuspendingClock::Instant deadline, std::chrono::nanoseconds& lateness)
{
    co_await SuspendingClock().sleep(deadline);
    lateness = SuspendingClock::now() - deadline;
}

// `sleepers` tasks sleep until deadlines spaced evenly over `span`, starting 10 ms from now so
// that every task is asleep before the first deadline. Counters give the lateness in
// microseconds: mean, 99th percentile and worst over all iterations.
void spreadSleeps(benchmark::State& state)
{
    const auto sleepers = static_cast<std::size_t>(state.range(0));
    constexpr std::chrono::nanoseconds span = 100ms;
    std::vector<std::chrono::nanoseconds> all;
    for (auto _ : state) {
        std::vector<std::chrono::nanoseconds> lateness(sleepers);
        std::vector<tasks::TaskHandle<void>> handles;
        handles.reserve(sleepers);
        SuspendingClock::Instant start = SuspendingClock::now() + 10ms;
        for (std::size_t index = 0; index < sleepers; ++index) {
            SuspendingClock::Instant deadline = start + span * index / sleepers;
            handles.push_back(tasks::spawn(sleepAndMeasure(deadline, lateness[index])));
        }
        for (const tasks::TaskHandle<void>& handle : handles)
            tasks::runBlocking(handle.value());
        all.insert(all.end(), lateness.begin(), lateness.end());
    }
    std::sort(all.begin(), all.end());
    auto microseconds
        = [](std::chrono::nanoseconds value) { return static_cast<double>(value.count()) / 1000.0; };
    std::chrono::nanoseconds total { 0 };
    for (std::chrono::nanoseconds value : all)
        total += value;
    state.counters["mean_late_us"] = microseconds(total / static_cast<std::int64_t>(all.size()));
    state.counters["p99_late_us"] = microseconds(all[all.size() * 99 / 100]);
    state.counters["max_late_us"] = microseconds(all.back());
}
BENCHMARK(spreadSleeps)->Arg(1000)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
