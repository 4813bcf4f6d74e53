// Notices against stand-ins: a login manager listing sessions on one private bus, and a
// notification service on another, standing for a user's session bus.
#include "platform/notice/Notice.h"

#include "tests/platform/machine/LogindStandIn.h"

#include <gmock/gmock.h>
#include <mutex>

namespace {

using machinetest::LogindStandIn;
using testing::ElementsAre;
using testing::IsEmpty;

// The freedesktop notification service: records what it is asked to show.
class NotificationsStandIn {
public:
    explicit NotificationsStandIn(const std::string& address) {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &NotificationsStandIn::notify, 0),
            SD_BUS_VTABLE_END};
        ready_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
                 sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
                 sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                          "org.freedesktop.Notifications", table, this) >= 0 &&
                 sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) >= 0;
        if (ready_) {
            source_ = dispatch::ReadSource::create(sd_bus_get_fd(bus_), queue_, [this] {
                while (sd_bus_process(bus_, nullptr) > 0) {
                }
            });
        }
    }
    ~NotificationsStandIn() {
        if (source_) {
            source_->cancel();
            queue_->sync([] {});
        }
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return ready_ && source_; }
    std::vector<std::string> shown() {
        std::lock_guard guard(mutex_);
        return shown_;
    }

private:
    static int notify(sd_bus_message* call, void* userdata, sd_bus_error*) {
        auto* self = static_cast<NotificationsStandIn*>(userdata);
        const char *app, *icon, *summary, *body;
        std::uint32_t replaces = 0;
        int r = sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &body);
        if (r < 0) {
            return r;
        }
        {
            std::lock_guard guard(self->mutex_);
            self->shown_.push_back(std::string(app) + "|" + summary + "|" + body);
        }
        return sd_bus_reply_method_return(call, "u", 1u);
    }

    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    dispatch::QueuePtr queue_ = dispatch::SerialQueue::create("test.notifications");
    std::unique_ptr<dispatch::ReadSource> source_;
    std::mutex mutex_;
    std::vector<std::string> shown_;
};

class NoticeTest : public testing::Test {
protected:
    void SetUp() override {
        if (!system.ready() || !session.ready()) {
            GTEST_SKIP() << "dbus-daemon cannot be started here (install the dbus package)";
        }
        ASSERT_TRUE(logind.ready());
        logind.makeCurrent();
    }

    testsupport::PrivateBus system;
    testsupport::PrivateBus session;
    LogindStandIn logind{system.address()};
};

TEST_F(NoticeTest, OnlyActiveGraphicalSessionsOncePerUser) {
    logind.addSession("1", 1000, "x11", false);
    logind.addSession("2", 1000, "wayland", false); // the same user again
    logind.addSession("3", 1001, "tty", false);
    logind.addSession("4", 1002, "wayland", true, false); // in the background
    logind.addSession("5", 1003, "wayland", true);
    bus::Connection connection(bus::busAt(system.address()));
    std::string error;
    const auto sessions = notice::activeGraphicalSessions(connection, &error, "/run/test");
    ASSERT_EQ(sessions.size(), 2u) << error;
    EXPECT_EQ(sessions[0].uid, 1000u);
    EXPECT_EQ(sessions[0].busAddress, "unix:path=/run/test/1000/bus");
    EXPECT_EQ(sessions[1].uid, 1003u);
}

TEST_F(NoticeTest, TheNoticeReachesTheSessionsNotificationService) {
    NotificationsStandIn notifications(session.address());
    ASSERT_TRUE(notifications.ready());
    std::string error;
    ASSERT_TRUE(
        notice::show({::getuid(), session.address()}, "Keelbrook", "Update it.\n\nWhy.", &error))
        << error;
    EXPECT_THAT(notifications.shown(), ElementsAre("Keelbrook|Keelbrook|Update it.\n\nWhy."));

    // Nobody serving the bus: not shown, and said so.
    EXPECT_FALSE(
        notice::show({::getuid(), "unix:path=/nonexistent/bus"}, "Keelbrook", "x", &error));
    EXPECT_FALSE(error.empty());
}

// The child becomes the session's user before it connects: a bus of root's own refuses it.
TEST_F(NoticeTest, TheChildSpeaksAsTheSessionsUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "switching users needs root";
    }
    NotificationsStandIn notifications(session.address());
    ASSERT_TRUE(notifications.ready());
    std::string error;
    EXPECT_FALSE(notice::show({65534, session.address()}, "Keelbrook", "x", &error));
    EXPECT_THAT(notifications.shown(), IsEmpty());
    EXPECT_THAT(error, testing::HasSubstr("65534"));
}

} // namespace
