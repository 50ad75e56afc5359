// Counts the heap allocations of a benchmark program: linking this library replaces the global
// operator new and delete of the program with counting versions over malloc and free.
//
// An AllocationCounter reports, when it goes out of scope, the allocations made during its life
// per benchmark iteration, as the benchmark's "allocations" counter. Counting is process-wide,
// so allocations of other threads in that time count too.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>

namespace bench {

// Allocations made by operator new since the program started.
std::size_t allocationsSoFar();

class AllocationCounter {
public:
    explicit AllocationCounter(benchmark::State& state)
        : state(state)
        , start(allocationsSoFar())
    {
    }
    ~AllocationCounter()
    {
        state.counters["allocations"] = benchmark::Counter(
            static_cast<double>(allocationsSoFar() - start), benchmark::Counter::kAvgIterations);
    }
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

private:
    benchmark::State& state;
    std::size_t start;
};

} // namespace bench
