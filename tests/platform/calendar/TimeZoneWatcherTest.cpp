#include "platform/calendar/TimeZoneWatcher.h"

#include "platform/calendar/TimeZones.h"
#include "platform/dispatch/Queue.h"
#include "tests/support/TempFolder.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// inotify records as the kernel writes them: the header, then the name padded with NULs.
class EventBatch {
public:
    EventBatch& add(int wd, uint32_t mask, const std::string& name = {}) {
        inotify_event event{};
        event.wd = wd;
        event.mask = mask;
        event.len = name.empty() ? 0 : static_cast<uint32_t>((name.size() / 16 + 1) * 16);
        const auto at = bytes_.size();
        bytes_.resize(at + sizeof event + event.len, '\0');
        std::memcpy(bytes_.data() + at, &event, sizeof event);
        std::memcpy(bytes_.data() + at + sizeof event, name.data(), name.size());
        return *this;
    }
    bool concerns(int folderWatch) const {
        return cal::eventsConcernZoneFile(bytes_.data(), bytes_.size(), folderWatch, "localtime");
    }
    std::size_t size() const { return bytes_.size(); }
    const char* data() const { return bytes_.data(); }

private:
    std::vector<char> bytes_;
};

TEST(TimeZoneEventsTest, OnlyTheZoneFileEntryOrALostWatchCounts) {
    EXPECT_FALSE(EventBatch().concerns(1));
    EXPECT_FALSE(
        EventBatch().add(1, IN_CREATE, "localtime.tmp").add(1, IN_DELETE, "hosts").concerns(1));
    EXPECT_TRUE(EventBatch()
                    .add(1, IN_CREATE, "localtime.tmp")
                    .add(1, IN_MOVED_TO, "localtime")
                    .concerns(1));
    EXPECT_TRUE(EventBatch().add(1, IN_CLOSE_WRITE, "localtime").concerns(1));
    EXPECT_FALSE(EventBatch().add(2, IN_CLOSE_WRITE, "localtime").concerns(1)); // other watch
    EXPECT_FALSE(EventBatch().add(1, IN_CREATE, "localtimeX").concerns(1));
    EXPECT_TRUE(EventBatch().add(1, IN_IGNORED).concerns(1));
    EXPECT_TRUE(EventBatch().add(-1, IN_Q_OVERFLOW).concerns(1));
    // A record cut short is not read past the buffer.
    const auto whole = EventBatch().add(1, IN_MOVED_TO, "localtime");
    EXPECT_FALSE(cal::eventsConcernZoneFile(whole.data(), whole.size() - 1, 1, "localtime"));
}

// Collects the zones the watcher reports.
class ZoneLog {
public:
    void add(const std::string& zone) {
        {
            std::lock_guard guard(mutex_);
            zones_.push_back(zone);
        }
        changed_.notify_all();
    }
    // The zones reported once `count` have arrived (or after a generous limit).
    std::vector<std::string> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return zones_.size() >= count; });
        return zones_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> zones_;
};

// Points the link at a zone the way system tools do: a new link renamed over the old one.
void linkZone(const fs::path& localtime, const std::string& zone) {
    const auto temporary = localtime.parent_path() / "localtime.new";
    fs::create_symlink("/usr/share/zoneinfo/" + zone, temporary);
    fs::rename(temporary, localtime);
}

TEST(TimeZoneWatcherTest, FollowsTheInstallationsZoneFile) {
    testsupport::TempFolder root;
    ASSERT_EQ(::setenv("KEELBROOK_ROOT", root.path().c_str(), 1), 0);
    ::unsetenv("TZ");
    fs::create_directories(root.path() / "etc");
    const auto localtime = root.path() / "etc" / "localtime";
    linkZone(localtime, "Europe/Berlin");
    // The shared calendar starts in the installation's zone and the watcher keeps it there.
    cal::Calendar& calendar = cal::sharedCalendar();
    EXPECT_EQ(calendar.timeZoneId(), "Europe/Berlin");
    std::string error;
    auto queue = dispatch::SerialQueue::create("com.vornhal.test.time-zone");
    auto watcher = cal::TimeZoneWatcher::start(queue, &error);
    ASSERT_NE(watcher, nullptr) << error;
    // Shared with the observer: a handler may still be finishing while the test ends.
    auto log = std::make_shared<ZoneLog>();
    watcher->addObserver([log](const std::string& zone) { log->add(zone); });

    linkZone(localtime, "America/New_York");
    EXPECT_EQ(log->waitFor(1), std::vector<std::string>{"America/New_York"});
    EXPECT_EQ(calendar.timeZoneId(), "America/New_York");
    EXPECT_EQ(cal::SystemTimeZone::id(), "America/New_York");

    // Events that leave the zone as it is report nothing: only the next change shows up.
    linkZone(localtime, "America/New_York");
    fs::remove(localtime);
    fs::copy_file("/usr/share/zoneinfo/Asia/Tokyo", localtime);
    EXPECT_EQ(log->waitFor(2), (std::vector<std::string>{"America/New_York", "Asia/Tokyo"}));
    EXPECT_EQ(calendar.timeZoneId(), "Asia/Tokyo");
}

TEST(TimeZoneWatcherTest, AFolderThatCannotBeWatchedIsAnError) {
    std::string error;
    auto calendar = cal::Calendar::create("UTC", &error);
    auto queue = dispatch::SerialQueue::create("com.vornhal.test.time-zone");
    EXPECT_EQ(
        cal::TimeZoneWatcher::start(*calendar, queue, "/nonexistent/folder/localtime", &error),
        nullptr);
    EXPECT_NE(error.find("/nonexistent/folder"), std::string::npos);
}

} // namespace
