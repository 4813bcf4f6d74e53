#pragma once

// The median and 99th percentile of measured round trips, as counters of a benchmark run
// (averaged over its threads when it has several).

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <vector>

namespace bench {

inline void reportRoundTrips(benchmark::State& state,
                             std::vector<std::chrono::nanoseconds> samples) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    auto microseconds = [&](std::size_t index) {
        return benchmark::Counter(static_cast<double>(samples[index].count()) / 1000.0,
                                  benchmark::Counter::kAvgThreads);
    };
    state.counters["p50_us"] = microseconds(samples.size() / 2);
    state.counters["p99_us"] = microseconds(samples.size() * 99 / 100);
}

} // namespace bench
