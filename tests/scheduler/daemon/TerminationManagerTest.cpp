#include "platform/dispatch/VirtualClock.h"
#include "platform/syslog/SystemLog.h"
#include "scheduler/daemon/VRNTerminationManager.h"
#include "tests/common/LogTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <syslog.h>
#include <gmock/gmock.h>

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::IsEmpty;

class TerminationManagerTest : public testing::Test {
protected:
    static void SetUpTestSuite() { root = logtest::installLogging("test.termination"); }

    void SetUp() override {
        logtest::recorder().take();
        manager = std::make_unique<VRNTerminationManager>(
            environment,
            std::make_shared<prefs::Domain>("com.vornhal.keelbrook.scheduler",
                                            (root->path() / "defaults.plist").string()),
            [this](int status) { exits.push_back(status); });
    }

    static void advance(dispatch::Duration d) { dispatch::VirtualClock::install().advance(d); }

    // The system log's lines since the last call, with their journal priorities.
    static std::vector<std::pair<int, std::string>> logged() {
        std::vector<std::pair<int, std::string>> lines;
        for (auto& entry : logtest::recorder().take()) {
            lines.emplace_back(entry.priority, entry.message);
        }
        return lines;
    }

    static inline logtest::TempFolder* root = nullptr;
    VRNEnvironment environment = testsupport::environment();
    std::vector<int> exits;
    std::unique_ptr<VRNTerminationManager> manager;
};

TEST_F(TerminationManagerTest, StartWithNothingHeldExitsThirtySecondsLater) {
    std::vector<int> order;
    manager->addObserverWithHandler([&] { order.push_back(1); });
    manager->addObserverWithHandler([&] { order.push_back(2); });

    manager->enableTerminationWithReason("start");
    EXPECT_THAT(logged(),
                ElementsAre(std::pair{LOG_DEBUG, std::string("[0] Enable termination: start.")}));
    advance(30s - 1ms);
    EXPECT_THAT(exits, IsEmpty());
    advance(1ms + 3s); // within the leeway
    EXPECT_THAT(exits, ElementsAre(0));
    EXPECT_THAT(order, ElementsAre(1, 2)) << "observers run in the order added";
    EXPECT_THAT(logged(), ElementsAre(std::pair{LOG_NOTICE, std::string("Terminating now.")}));
}

TEST_F(TerminationManagerTest, AHoldDuringTheIdlePeriodKeepsTheProcessAndReleaseStartsItAgain) {
    manager->enableTerminationWithReason("start");
    advance(20s);
    manager->disableTerminationWithReason("connection");
    EXPECT_THAT(logged().back().second, "[1] Disable termination: connection.");
    advance(10min);
    EXPECT_THAT(exits, IsEmpty());

    manager->enableTerminationWithReason("connection");
    advance(29s);
    EXPECT_THAT(exits, IsEmpty()) << "a fresh 30 seconds from the release";
    advance(4s);
    EXPECT_THAT(exits, ElementsAre(0));
}

TEST_F(TerminationManagerTest, NestedHoldsKeepTheProcessUntilTheLastIsGivenBack) {
    manager->disableTerminationWithReason("backups scheduled");
    manager->enableTerminationWithReason("start");
    manager->disableTerminationWithReason("backup started");
    manager->enableTerminationWithReason("backup finished");
    advance(1h);
    EXPECT_THAT(exits, IsEmpty());
    manager->enableTerminationWithReason("backups unscheduled");
    EXPECT_EQ(logged().back().second, "[0] Enable termination: backups unscheduled.");
    advance(33s);
    EXPECT_THAT(exits, ElementsAre(0));
}

TEST_F(TerminationManagerTest, TerminateDoesNotWaitForHoldsAndTheObserversListIsACopy) {
    manager->addObserverWithHandler([] {});
    auto copy = manager->observers();
    manager->addObserverWithHandler([] {});
    EXPECT_EQ(copy.size(), 1u);
    EXPECT_EQ(manager->observers().size(), 2u);

    manager->disableTerminationWithReason("backup started");
    manager->terminate();
    EXPECT_THAT(exits, ElementsAre(0));
    manager->terminate();
    EXPECT_THAT(exits, ElementsAre(0)) << "a second terminate does nothing";
}

// Writes the journal's messages to standard error, where the death test reads them.
class StandardErrorBackend final : public systemlog::Backend {
public:
    void journal(int, std::string_view message, std::string_view, std::string_view) override {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
    }
    void syslog(int, std::string_view message) override { journal(0, message, {}, {}); }
};

TEST_F(TerminationManagerTest, TwoTerminatesInTheProcessGiveOneLineAndOneExit) {
    EXPECT_EXIT(
        {
            static StandardErrorBackend backend;
            systemlog::setBackend(&backend);
            VRNTerminationManager real(
                environment,
                std::make_shared<prefs::Domain>("com.vornhal.keelbrook.scheduler",
                                                (root->path() / "exit.plist").string()),
                [](int status) { std::exit(status); });
            real.addObserverWithHandler([&real] {
                std::fputs("first observer\n", stderr);
                real.terminate(); // as SIGTERM arriving during the idle exit
            });
            real.addObserverWithHandler([] { std::fputs("second observer\n", stderr); });
            real.terminate();
            std::fputs("terminate returned\n", stderr);
            std::exit(3);
        },
        testing::ExitedWithCode(0), "^Terminating now\\.\nfirst observer\nsecond observer\n$");
}

} // namespace
