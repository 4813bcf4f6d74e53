#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <semaphore>
#include <vector>

using namespace std::chrono_literals;
using dispatch::Duration;
using dispatch::SerialQueue;

namespace {

double microseconds(Duration d) {
    return static_cast<double>(d.count()) / 1000.0;
}

void reportPercentiles(benchmark::State& state, std::vector<Duration>& samples) {
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = microseconds(samples[samples.size() / 2]);
    state.counters["p99_us"] = microseconds(samples[samples.size() * 99 / 100]);
    state.counters["max_us"] = microseconds(samples.back());
}

// Items submitted to a serial queue that targets the main queue, as the daemon's
// components do, until all have run.
void BM_SerialQueueThroughput(benchmark::State& state) {
    auto main = SerialQueue::create("com.vornhal.main");
    auto queue = SerialQueue::create("com.vornhal.keelbrook.main", main);
    const int64_t batch = 100000;
    long counter = 0;
    for (auto _ : state) {
        for (int64_t i = 0; i < batch; ++i) {
            queue->async([&counter] { ++counter; });
        }
        queue->sync([] {});
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SerialQueueThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// From a thread outside the runtime to the start of the item, one at a time.
void BM_HandOffLatency(benchmark::State& state) {
    auto main = SerialQueue::create("com.vornhal.main");
    auto queue = SerialQueue::create("com.vornhal.keelbrook.main", main);
    std::vector<Duration> samples;
    std::binary_semaphore ran(0);
    for (auto _ : state) {
        Duration sent = dispatch::monotonicNow();
        queue->async([&] {
            samples.push_back(dispatch::monotonicNow() - sent);
            ran.release();
        });
        ran.acquire();
    }
    reportPercentiles(state, samples);
}
BENCHMARK(BM_HandOffLatency)->Iterations(20000)->UseRealTime();

// A one-shot wall-clock timer with zero leeway, 2 ms ahead: how late its handler starts.
void BM_WallTimerLateness(benchmark::State& state) {
    auto queue = SerialQueue::create("com.vornhal.activity");
    std::vector<Duration> samples;
    std::binary_semaphore fired(0);
    dispatch::Deadline deadline;
    dispatch::TimerSource timer(queue, [&] {
        samples.push_back(dispatch::wallNow() - deadline.time);
        fired.release();
    });
    for (auto _ : state) {
        deadline = dispatch::wallAfterNow(2ms);
        timer.schedule(deadline);
        fired.acquire();
    }
    reportPercentiles(state, samples);
}
BENCHMARK(BM_WallTimerLateness)->Iterations(1000)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
