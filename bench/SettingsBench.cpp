// The daemon's settings: installSettings with a typical dictionary (strict validation, the
// atomic write of the binary file with its fsyncs, the log line) and validateSettings alone.

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "platform/syslog/SystemLog.h"
#include "scheduler/daemon/KBEHelperSettings.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

class NoSystemLog final : public systemlog::Backend {
public:
    void journal(int, std::string_view, std::string_view, std::string_view) override {}
    void syslog(int, std::string_view) override {}
};

class NoDelegate final : public KBEHelperSettingsDelegate {
public:
    void setSubmittedDate(cal::Date) override {}
    void applySettings() override {}
    void disableSystemScheduler() override {}
};

// An installation root in a temporary folder, logging into it, the system log left out.
const VRNEnvironment& benchEnvironment() {
    static NoSystemLog noSystemLog;
    // Removed with everything in it when the program ends.
    static const struct Folder {
        Folder() {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "kbsettingsbench-XXXXXX").string();
            path = ::mkdtemp(pattern.data());
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
        std::filesystem::path path;
    } root;
    const std::filesystem::path& folder = root.path;
    if (!VRNEnvironment::installed()) {
        systemlog::setBackend(&noSystemLog);
        setenv("KEELBROOK_ROOT", folder.c_str(), 1);
        setenv("HOME", (folder / "home").c_str(), 1);
        unsetenv("XDG_STATE_HOME");
        VRNEnvironment::install(VRNEnvironment::fromProcess(nullptr));
        VRNLogInit("com.vornhal.keelbrook", "bench");
    }
    return VRNEnvironment::shared();
}

// What a client sends after choosing two calendar times on weekdays.
plist::Dictionary typicalSettings() {
    using plist::Array;
    using plist::Dictionary;
    return {
        {"Disabled", false},
        {"Backups", true},
        {"Snapshots", true},
        {"AllowBattery", false},
        {"DontRunWhenPassive", true},
        {"DontRunWithSleepPreventers", true},
        {"DontRunWhenNotNetworkWired", false},
        {"Suspend", true},
        {"SuspendSettings",
         Dictionary{{"StartHour", 23}, {"StartMinute", 0}, {"EndHour", 7}, {"EndMinute", 30}}},
        {"BackupsMode", "CalendarIntervals"},
        {"WhenInactive", Dictionary{}},
        {"Interval", Dictionary{{"Hours", 2}}},
        {"CalendarIntervals",
         Dictionary{{"Intervals", Array{Dictionary{{"Hour", 9}, {"Minute", 0}, {"Weekday", 2}},
                                        Dictionary{{"Hour", 17}, {"Minute", 30}, {"Weekday", 6}}}},
                    {"ASAP", true}}},
    };
}

void BM_ValidateSettings(benchmark::State& state) {
    benchEnvironment();
    const plist::Dictionary settings = typicalSettings();
    for (auto _ : state) {
        benchmark::DoNotOptimize(KBEHelperSettings::validateSettings(&settings, false, nullptr));
    }
}
BENCHMARK(BM_ValidateSettings)->Unit(benchmark::kMicrosecond);

void BM_InstallSettings(benchmark::State& state) {
    NoDelegate delegate;
    KBEHelperSettings settings(benchEnvironment(), nullptr, delegate);
    const plist::Dictionary typical = typicalSettings();
    for (auto _ : state) {
        if (!settings.installSettings(typical, true, nullptr)) {
            state.SkipWithError("install failed");
            break;
        }
    }
}
BENCHMARK(BM_InstallSettings)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
