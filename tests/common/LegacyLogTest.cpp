// Logging on a system older than 10.12, where the syslog(3) back end is used: each case
// runs in a fresh process whose environment names the older system.

#include "LogTestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <syslog.h>

namespace {

// Records how the program named its syslog messages.
class IdentityRecorder final : public systemlog::Backend {
public:
    void journal(int, std::string_view, std::string_view, std::string_view) override {}
    void openSyslog(std::string_view ident, int facility) override {
        this->ident = ident;
        this->facility = facility;
        ++opened;
    }
    void syslog(int, std::string_view) override {}

    std::string ident;
    int facility = -1;
    int opened = 0;
};

// In a fresh process (logging is set up once per process): how VRNLogInit named syslog.
void initAndExitWithIdentity(const char* subsystem, std::optional<VRNLogFacility> facility,
                             int expectedFacility) {
    static IdentityRecorder recorder;
    systemlog::setBackend(&recorder);
    testsupport::TempFolder root;
    setenv("KEELBROOK_ROOT", root.path().c_str(), 1);
    setenv("HOME", (root.path() / "home").c_str(), 1);
    VRNEnvironment::install(testsupport::environment("10.11.6"));
    if (facility) {
        VRNLogInit(subsystem, "ctl", *facility);
    } else {
        VRNLogInit(subsystem, "ctl");
    }
    const bool named = !VRNLOG_UNIFIED && recorder.opened == 1 && recorder.ident == subsystem &&
                       recorder.facility == expectedFacility;
    std::_Exit(named ? 0 : 1);
}

class LegacyLogTest : public testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(LegacyLogTest, EveryLineIsNamedWithTheSubsystemUnderTheProgramsFacility) {
    EXPECT_EXIT(initAndExitWithIdentity("com.vornhal.keelbrook", std::nullopt, LOG_USER),
                testing::ExitedWithCode(0), "")
        << "programs users run: the subsystem as ident, the user facility by default";
    EXPECT_EXIT(initAndExitWithIdentity("com.vornhal.keelbrook.scheduler", VRNLogFacilityDaemon,
                                        LOG_DAEMON),
                testing::ExitedWithCode(0), "")
        << "the daemon: its subsystem under the daemon facility";
    EXPECT_EXIT(initAndExitWithIdentity("com.vornhal.keelbrook", VRNLogFacilityUser, LOG_USER),
                testing::ExitedWithCode(0), "");
}

} // namespace
