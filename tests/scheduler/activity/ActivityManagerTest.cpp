#include "common/VRNLog.h"
#include "common/VRNNotificationCenter.h"
#include "platform/plist/Plist.h"
#include "scheduler/activity/VRNActivityManager.h"
#include "tests/common/LogTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

class VRNActivityManagerTest : public testing::Test {
protected:
    const VRNEnvironment environment = testsupport::environment();
    void SetUp() override {
        logtest::recorder();
        VRNLOG_UNIFIED = true;
        char pattern[] = "/tmp/kb-activity-XXXXXX";
        root = mkdtemp(pattern);
        file = root / "com.vornhal.keelbrook.scheduler.plist";
        calendar = cal::Calendar::create("Europe/Berlin", nullptr);
    }
    void TearDown() override { fs::remove_all(root); }

    std::shared_ptr<prefs::Domain> domain() {
        return std::make_shared<prefs::Domain>(VRNActivityManager::kDomain, file.string());
    }
    std::unique_ptr<VRNActivityManager> manager(std::optional<cal::Date> boot = 1000.0) {
        return std::make_unique<VRNActivityManager>(environment, domain(), *calendar, boot);
    }

    fs::path root;
    fs::path file;
    std::unique_ptr<cal::Calendar> calendar;
};

TEST_F(VRNActivityManagerTest, AFreshInstallationHasNothingStored) {
    auto m = manager();
    EXPECT_EQ(m->objectForKey("LastRun", "com.vornhal.keelbrook.backup"), std::nullopt);
    m->removeObjectForKey("LastRun", "com.vornhal.keelbrook.backup");
    EXPECT_FALSE(fs::exists(file)) << "removing from an unknown activity wrote the domain";
}

TEST_F(VRNActivityManagerTest, DatesAreWrittenThroughExactlyAndSurviveARestart) {
    const plist::Date lastRun{819216000.123456};
    {
        auto m = manager();
        m->setObject(lastRun, "LastRun", "com.vornhal.keelbrook.backup");
        m->setObject(plist::Date{819000000.0}, "LastTry", "com.vornhal.keelbrook.backup");
        m->setObject(plist::Date{1.0}, "LastRun", "com.vornhal.keelbrook.snapshots");
        m->removeObjectForKey("LastTry", "com.vornhal.keelbrook.backup");
    }
    // The file holds the documented shape.
    auto stored = domain()->value("Activities");
    ASSERT_TRUE(stored && stored->isDictionary());
    EXPECT_EQ(*stored,
              plist::Value(plist::Dictionary{
                  {"com.vornhal.keelbrook.backup",
                   plist::Value(plist::Dictionary{{"LastRun", plist::Value(lastRun)}})},
                  {"com.vornhal.keelbrook.snapshots",
                   plist::Value(plist::Dictionary{{"LastRun", plist::Value(plist::Date{1.0})}})}}));

    auto restarted = manager();
    auto value = restarted->objectForKey("LastRun", "com.vornhal.keelbrook.backup");
    ASSERT_TRUE(value && value->asDate());
    EXPECT_EQ(value->asDate()->secondsSinceReferenceDate, lastRun.secondsSinceReferenceDate);
    EXPECT_EQ(restarted->objectForKey("LastTry", "com.vornhal.keelbrook.backup"), std::nullopt);
}

TEST_F(VRNActivityManagerTest, MalformedStoredActivitiesAreSkipped) {
    domain()->setValue(
        "Activities",
        plist::Dictionary{
            {"bad", plist::Value("not a dictionary")},
            {"good", plist::Value(plist::Dictionary{{"LastRun", plist::Value(plist::Date{5})}})}});
    auto m = manager();
    EXPECT_EQ(m->objectForKey("LastRun", "bad"), std::nullopt);
    EXPECT_TRUE(m->objectForKey("LastRun", "good").has_value());
}

TEST_F(VRNActivityManagerTest, AnUnreadableStoreIsLoggedAndKeptAside) {
    std::ofstream(file) << "bplist00 damaged";
    logtest::recorder().take();
    auto m = manager();
    EXPECT_EQ(m->objectForKey("LastRun", "com.vornhal.keelbrook.backup"), std::nullopt);
    m->setObject(plist::Date{1.0}, "LastRun", "com.vornhal.keelbrook.backup");
    std::vector<std::string> errors;
    for (auto& entry : logtest::recorder().take()) {
        errors.push_back(entry.message);
    }
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("is not a property-list dictionary"), std::string::npos);
    EXPECT_NE(errors[1].find("moved aside"), std::string::npos);
    EXPECT_TRUE(fs::exists(file.string() + ".corrupt"));
}

TEST_F(VRNActivityManagerTest, BootDateFallsBackToTheDistantPast) {
    EXPECT_EQ(manager(1234.0)->bootDate(), 1234.0);
    EXPECT_EQ(manager(std::nullopt)->bootDate(), cal::kDistantPast);
}

TEST_F(VRNActivityManagerTest, TimeZoneChangeIsPostedWithTheManagerAsObject) {
    auto m = manager();
    const void* received = nullptr;
    auto token =
        environment.notifications->addObserver(VRNActivityTimeZoneDidChangeNotification, nullptr,
                                               [&](const std::string&, const std::any& object) {
                                                   received =
                                                       std::any_cast<VRNActivityManager*>(object);
                                               });
    m->systemTimeZoneDidChange();
    environment.notifications->removeObserver(token);
    EXPECT_EQ(received, m.get());
}

} // namespace
