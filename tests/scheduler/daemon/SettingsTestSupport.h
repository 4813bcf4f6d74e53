#pragma once

// The settings' world for tests: a fresh installation root per test, the daemon's defaults
// domain in it, a stand-in for the collaborators of an install, the recorded log and the
// virtual clock.

#include "common/VRNLog.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/plist/Plist.h"
#include "scheduler/daemon/KBEHelperSettings.h"
#include "tests/common/LogTestSupport.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace plist {
// Failures show values as the log prints them.
inline void PrintTo(const Value& value, std::ostream* out) {
    *out << description(value);
}
} // namespace plist

namespace settingstest {

namespace fs = std::filesystem;
using plist::Array;
using plist::Dictionary;
using plist::Value;

// Records what an install asked of the rest of the daemon, in order.
class RecordingDelegate final : public KBEHelperSettingsDelegate {
public:
    void setSubmittedDate(cal::Date date) override {
        calls.push_back("setSubmittedDate");
        submitted.push_back(date);
    }
    void applySettings() override { calls.push_back("applySettings"); }
    void disableSystemScheduler() override { calls.push_back("disableSystemScheduler"); }

    std::vector<std::string> calls;
    std::vector<cal::Date> submitted;
};

// A complete, valid settings dictionary as a client sends it (booleans as booleans).
inline Dictionary clientSettings() {
    return {
        {"Disabled", false},
        {"Backups", true},
        {"Snapshots", false},
        {"AllowBattery", false},
        {"DontRunWhenPassive", true},
        {"DontRunWithSleepPreventers", false},
        {"DontRunWhenNotNetworkWired", false},
        {"Suspend", true},
        {"SuspendSettings",
         Dictionary{{"StartHour", 22}, {"StartMinute", 30}, {"EndHour", 6}, {"EndMinute", 0}}},
        {"BackupsMode", "CalendarIntervals"},
        {"WhenInactive", Dictionary{}},
        {"Interval", Dictionary{{"Hours", 4}}},
        {"CalendarIntervals",
         Dictionary{{"Intervals", Array{Dictionary{{"Hour", 9}, {"Minute", 15}},
                                        Dictionary{{"Hour", 18}, {"Minute", 0}, {"Weekday", 5}}}},
                    {"ASAP", true}}},
    };
}

class SettingsTest : public testing::Test {
protected:
    static void SetUpTestSuite() { logtest::useTemporaryRoot(); }

    void SetUp() override {
        VRNLOG_UNIFIED = true;
        environment.installationRoot = root.path().string();
        defaults = std::make_shared<prefs::Domain>("com.vornhal.keelbrook.scheduler",
                                                   (root.path() / "scheduler.plist").string());
        settings = makeSettings(::getuid());
        logged();
    }

    std::unique_ptr<KBEHelperSettings> makeSettings(uid_t owner) {
        return std::make_unique<KBEHelperSettings>(environment, defaults, delegate, owner);
    }

    // The log lines since the last call.
    static std::vector<std::string> logged() {
        std::vector<std::string> lines;
        for (auto& entry : logtest::recorder().take()) {
            lines.push_back(entry.message);
        }
        return lines;
    }

    // The wall clock (virtual) at `date`.
    static void setNowTo(cal::Date date) {
        dispatch::VirtualClock::install().setWall(std::chrono::duration_cast<dispatch::Duration>(
            std::chrono::duration<double>(cal::unixTimeFromDate(date))));
    }

    fs::path file() const { return settings->file(); }

    // Puts `value` into the settings file as a binary property list, mode 0644.
    void putFile(const Value& value) const {
        std::string error;
        auto bytes = plist::writeBinary(value, &error);
        ASSERT_TRUE(bytes) << error;
        putBytes(std::string(bytes->begin(), bytes->end()));
    }
    void putBytes(const std::string& bytes) const {
        fs::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << bytes;
        fs::permissions(file(), fs::perms(0644));
    }
    std::string fileBytes() const { return logtest::readFile(file()); }

    testsupport::TempFolder root;
    VRNEnvironment environment = testsupport::environment();
    std::shared_ptr<prefs::Domain> defaults;
    RecordingDelegate delegate;
    std::unique_ptr<KBEHelperSettings> settings;
};

} // namespace settingstest
