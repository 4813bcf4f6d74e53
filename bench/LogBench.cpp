// Lines per second written to a log file: the product's logging statement (line date
// formatted for every line, system log left out) beside spdlog's file sink flushing every
// line with a pattern carrying the same date fields.

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "platform/syslog/SystemLog.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <string>
#include <unistd.h>

namespace {

class NoSystemLog final : public systemlog::Backend {
public:
    void journal(int, std::string_view, std::string_view, std::string_view) override {}
    void syslog(int, std::string_view) override {}
};

const std::filesystem::path& benchFolder() {
    static const std::filesystem::path folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kblogbench-XXXXXX").string();
        return std::filesystem::path(::mkdtemp(pattern.data()));
    }();
    return folder;
}

void BM_VRNLog(benchmark::State& state) {
    static NoSystemLog noSystemLog;
    systemlog::setBackend(&noSystemLog);
    setenv("KEELBROOK_ROOT", benchFolder().c_str(), 1);
    setenv("HOME", (benchFolder() / "home").c_str(), 1);
    unsetenv("XDG_STATE_HOME"); // the user log folder, else outside the bench folder
    if (!VRNEnvironment::installed()) {
        VRNEnvironment::install(VRNEnvironment::fromProcess(nullptr));
    }
    VRNLogInit("com.vornhal.keelbrook", "bench");
    const std::string activity = "com.vornhal.keelbrook.backup";
    std::int64_t line = 0;
    for (auto _ : state) {
        VRNLog(VRNLogLevelDefault, "[%@] Will run activity, attempt %ld.", activity, ++line);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VRNLog);

void BM_SpdlogFlushEveryLine(benchmark::State& state) {
    auto logger = spdlog::basic_logger_mt("bench", (benchFolder() / "spdlog.log").string());
    // "8/Dec/26, 03:00:00+0100 bench[pid] message"
    logger->set_pattern("%e/%b/%y, %H:%M:%S%z %n[%P] %v");
    logger->flush_on(spdlog::level::trace);
    const std::string activity = "com.vornhal.keelbrook.backup";
    std::int64_t line = 0;
    for (auto _ : state) {
        logger->info("[{}] Will run activity, attempt {}.", activity, ++line);
    }
    state.SetItemsProcessed(state.iterations());
    spdlog::drop("bench");
}
BENCHMARK(BM_SpdlogFlushEveryLine);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(benchFolder(), ignored);
    return 0;
}
