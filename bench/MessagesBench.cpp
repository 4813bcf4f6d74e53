// Round trips of the daemon's messages 1 (the settings) and 5 (the activities' information)
// against a running daemon, the one of the installation the environment names
// ($KEELBROOK_ROOT): 1 and 8 clients, each its own connection sending synchronously, with
// the median and 99th percentile of each client's round trips. The daemon answers only its
// installation's programs, so daemon_bench.sh runs this program from the application's place
// in its private installation.

#include "bench/NoSystemLog.h"
#include "bench/RoundTrips.h"
#include "common/KBEHelperMessager.h"
#include "common/KBEHelperMessages.h"
#include "common/VRNEnvironment.h"
#include "platform/machine-sim/MachineChoice.h"
#include "tests/common/MessagerTestSupport.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <vector>

namespace {

// Messages 1 and 5 need no rights: being asked for any is a fault of the benchmark.
using messagertest::NoAuthorization;

void BM_Message(benchmark::State& state, long message) {
    NoAuthorization authorization;
    auto messager = KBEHelperMessager::create(authorization);
    std::optional<VRNError> error;
    messager->sendSynchronousMessage(message, std::nullopt, &error); // connects
    std::vector<std::chrono::nanoseconds> samples;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto reply = messager->sendSynchronousMessage(message, std::nullopt, &error);
        samples.push_back(std::chrono::steady_clock::now() - start);
        if (error || !reply) {
            state.SkipWithError(error ? error->description().c_str() : "no reply");
            break;
        }
    }
    bench::reportRoundTrips(state, std::move(samples));
    state.SetItemsProcessed(state.iterations());
    messager->cancel();
}
BENCHMARK_CAPTURE(BM_Message, settings, KBEHelperMessageGetSettings)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK_CAPTURE(BM_Message, activity_information, KBEHelperMessageGetActivityInformation)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    ->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    // The installation and machine the environment names, as the product's programs take them.
    VRNEnvironment::install(VRNEnvironment::fromProcess(machine::machineFromEnvironment()));
    systemlog::setBackend(new bench::NoSystemLog);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
