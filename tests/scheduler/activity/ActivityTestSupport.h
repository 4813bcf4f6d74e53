#pragma once

// An activity's world for tests: the simulated machine under a temporary root, the system
// events manager on it, a state store on a temporary domain with a UTC calendar, recorded
// power assertions and log lines, and the virtual clock.
#include "common/VRNLog.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/machine-sim/SimulatedFiles.h"
#include "platform/machine-sim/SimulatedMachine.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "scheduler/activity/VRNActivity.h"
#include "tests/common/LogTestSupport.h"
#include "tests/support/TestDates.h"
#include "tests/support/TestEnvironment.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

namespace activitytest {

inline dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

using testsupport::utc;

// Power assertions kept in a table the test reads.
class RecordingAssertions final : public machine::PowerAssertions {
public:
    std::uint32_t create(std::string_view type, std::string_view name, std::string_view details,
                         std::string*) override {
        std::lock_guard guard(mutex_);
        held_[++next_] = std::string(type) + "|" + std::string(name) + "|" + std::string(details);
        return next_;
    }
    void release(std::uint32_t id) override {
        std::lock_guard guard(mutex_);
        held_.erase(id);
    }
    std::vector<std::string> held() {
        std::lock_guard guard(mutex_);
        std::vector<std::string> result;
        for (auto& [id, text] : held_) {
            result.push_back(text);
        }
        return result;
    }

private:
    std::mutex mutex_;
    std::uint32_t next_ = 0;
    std::map<std::uint32_t, std::string> held_;
};

class ActivityTest : public testing::Test {
protected:
    static void SetUpTestSuite() { logtest::useTemporaryRoot(); }

    void SetUp() override {
        std::error_code ignored;
        std::filesystem::remove_all(machine::sim::folder(), ignored);
        VRNLOG_UNIFIED = true;
        calendar = cal::Calendar::create("UTC", nullptr);
        store = std::make_unique<VRNActivityManager>(
            environment,
            std::make_shared<prefs::Domain>(VRNActivityManager::kDomain,
                                            (folder.path() / "scheduler.plist").string()),
            *calendar, std::nullopt);
        events = std::make_unique<VRNSystemEventsManager>(
            environment, machine::createSimulatedSources({}), ::getpid());
        clock().drain();
        logtest::recorder().take();
    }

    void TearDown() override {
        clock().drain();
        activities.clear();
        clock().drain();
        events.reset();
        clock().drain();
    }

    // Sets the wall clock to `date`.
    static void setNow(cal::Date date) {
        clock().setWall(std::chrono::duration_cast<dispatch::Duration>(
            std::chrono::duration<double>(cal::unixTimeFromDate(date))));
    }
    static void advance(dispatch::Duration d) { clock().advance(d); }

    std::shared_ptr<VRNActivity> activity(const std::string& identifier = "test.activity") {
        auto a = VRNActivity::initWithIdentifier(
            identifier, {store.get(), events.get(), &assertions, environment.notifications.get(),
                         [this] { return randomDraw; }, environment.logicQueue});
        activities.push_back(a);
        return a;
    }

    // Schedules `a` with a work callback that records its runs and completes with `result`
    // after `duration` (on the virtual clock).
    void schedule(const std::shared_ptr<VRNActivity>& a, unsigned long result = 0,
                  dispatch::Duration duration = dispatch::Duration::zero()) {
        auto queue = dispatch::SerialQueue::create("test.work");
        a->scheduleWithQueue(queue, [this, queue, result, duration](auto done) {
            runs.push_back(VRNDateNow());
            if (duration == dispatch::Duration::zero()) {
                done(result);
            } else {
                dispatch::after(duration, queue, [done, result] { done(result); });
            }
        });
    }

    static void setState(const char* state, const char* value) {
        std::string error;
        ASSERT_TRUE(machine::sim::SimulatedMachine().setState(state, value, &error)) << error;
        clock().drain();
    }
    static std::optional<std::int64_t> announce(unsigned capabilities) {
        std::string error;
        auto event = machine::sim::SimulatedMachine().announce(capabilities, &error);
        EXPECT_TRUE(event) << error;
        clock().drain();
        return event;
    }
    static std::optional<machine::WakeRequest> sleepAnswer(std::int64_t event) {
        std::string error;
        auto answer = machine::sim::SimulatedMachine().waitForSleepAnswer(
            event, std::chrono::milliseconds(0), &error);
        EXPECT_TRUE(answer) << error;
        return answer ? answer->wakeRequest : std::nullopt;
    }

    // The activity's log lines since the last call, without the "[identifier] " prefix.
    static std::vector<std::string> logged(const std::string& identifier = "test.activity") {
        std::vector<std::string> lines;
        const std::string prefix = "[" + identifier + "] ";
        for (auto& entry : logtest::recorder().take()) {
            if (entry.message.rfind(prefix, 0) == 0) {
                lines.push_back(entry.message.substr(prefix.size()));
            }
        }
        return lines;
    }

    static std::optional<cal::Date> dateOf(const plist::Dictionary& info, const char* key) {
        auto it = info.find(key);
        if (it == info.end() || !it->second.asDate()) {
            return std::nullopt;
        }
        return it->second.asDate()->secondsSinceReferenceDate;
    }

    logtest::TempFolder folder;
    std::unique_ptr<cal::Calendar> calendar;
    std::unique_ptr<VRNActivityManager> store;
    std::unique_ptr<VRNSystemEventsManager> events;
    RecordingAssertions assertions;
    const VRNEnvironment environment = testsupport::environment();
    std::uint32_t randomDraw = 2147483648u; // one half
    std::vector<std::shared_ptr<VRNActivity>> activities;
    std::vector<cal::Date> runs;
};

} // namespace activitytest
