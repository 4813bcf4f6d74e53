// The bus layer against a private dbus-daemon and a small service on it (real clock).

#include "platform/bus/Bus.h"

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Waiter.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace {

constexpr const char* kName = "com.vornhal.test.Echo";
constexpr const char* kPath = "/com/vornhal/test";
constexpr const char* kInterface = "com.vornhal.test.Echo";
constexpr bus::Method kEcho{kName, kPath, kInterface, "Echo"};
constexpr bus::Method kFail{kName, kPath, kInterface, "Fail"};
constexpr const char* kRule =
    "type='signal',interface='com.vornhal.test.Echo',member='Said',path='/com/vornhal/test'";

// A service that echoes strings and, while it answers, emits the signal "Said" with the
// text it echoes (so the signal reaches the caller while the caller waits).
class EchoService {
public:
    explicit EchoService(const std::string& address) {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Echo", "s", "s", &EchoService::echo, 0),
            SD_BUS_METHOD("Fail", "", "", &EchoService::fail, 0), SD_BUS_SIGNAL("Said", "s", 0),
            SD_BUS_VTABLE_END};
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0 ||
            sd_bus_add_object_vtable(bus_, nullptr, kPath, kInterface, table, this) < 0 ||
            sd_bus_request_name(bus_, kName, 0) < 0) {
            return;
        }
        source_ = dispatch::ReadSource::create(sd_bus_get_fd(bus_), queue_, [this] {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            sd_bus_flush(bus_);
        });
    }
    ~EchoService() {
        if (source_) {
            source_->cancel();
            queue_->sync([] {});
        }
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return source_ != nullptr; }

    void say(const char* text) {
        queue_->sync([&] {
            sd_bus_emit_signal(bus_, kPath, kInterface, "Said", "s", text);
            sd_bus_flush(bus_);
        });
    }

private:
    static int echo(sd_bus_message* call, void* userdata, sd_bus_error*) {
        const char* text = nullptr;
        int r = sd_bus_message_read(call, "s", &text);
        if (r < 0) {
            return r;
        }
        auto* self = static_cast<EchoService*>(userdata);
        sd_bus_emit_signal(self->bus_, kPath, kInterface, "Said", "s", text);
        return sd_bus_reply_method_return(call, "s", text);
    }
    static int fail(sd_bus_message*, void*, sd_bus_error* error) {
        return sd_bus_error_set(error, "com.vornhal.test.Error.Refused", "refused on purpose");
    }

    sd_bus* bus_ = nullptr;
    dispatch::QueuePtr queue_ = dispatch::SerialQueue::create("com.vornhal.test.echo");
    std::unique_ptr<dispatch::ReadSource> source_;
};

// What a subscription's handlers saw.
struct Heard {
    std::mutex mutex;
    std::vector<std::string> texts;
    bool allOnQueue = true;
    testsupport::Waiter arrived;
    testsupport::Waiter dropped;

    std::vector<std::string> snapshot() {
        std::lock_guard guard(mutex);
        return texts;
    }
};

class BusTest : public testing::Test {
protected:
    void SetUp() override {
        if (!daemon.ready()) {
            GTEST_SKIP() << "dbus-daemon cannot be started here (install the dbus package)";
        }
        ASSERT_TRUE(service.ready());
    }

    std::unique_ptr<bus::Subscription> listen(Heard& heard) {
        return connection.subscribe(
            {kRule}, queue,
            [this, &heard](sd_bus_message* signal) -> dispatch::Work {
                const char* read = nullptr;
                std::string text = sd_bus_message_read(signal, "s", &read) > 0 ? read : "?";
                return [this, &heard, text] {
                    std::lock_guard guard(heard.mutex);
                    heard.allOnQueue = heard.allOnQueue && queue->isCurrent();
                    heard.texts.push_back(text);
                    heard.arrived.notify();
                };
            },
            [&heard] { heard.dropped.notify(); }, &error);
    }

    // Calls Echo with `text`; what came back, or nullopt with `error` filled.
    std::optional<std::string> echo(const char* text) {
        std::string echoed;
        const bool answered = connection.call(
            kEcho, &error,
            [text](sd_bus_message* call) { return sd_bus_message_append(call, "s", text); },
            [&echoed](sd_bus_message* reply, std::string*) {
                const char* read = nullptr;
                echoed = sd_bus_message_read(reply, "s", &read) > 0 ? read : "";
                return true;
            });
        return answered ? std::optional<std::string>(echoed) : std::nullopt;
    }

    testsupport::PrivateBus daemon;
    EchoService service{daemon.address()};
    bus::Connection connection{bus::busAt(daemon.address())};
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("com.vornhal.test.bus-client");
    std::string error;
};

TEST_F(BusTest, CallsAreAnsweredAndRemoteErrorsReported) {
    EXPECT_EQ(echo("hello"), "hello") << error;

    EXPECT_FALSE(connection.call(kFail, &error));
    EXPECT_EQ(error, "Fail failed: refused on purpose");
    // Arguments that do not fit the method are refused by the service, not sent silently.
    EXPECT_FALSE(connection.call(kEcho, &error));
    EXPECT_NE(error.find("Echo failed"), std::string::npos);
}

TEST_F(BusTest, SignalsArriveOnTheQueueInOrderAlsoWhenReadDuringACall) {
    Heard heard;
    auto subscription = listen(heard);
    ASSERT_TRUE(subscription) << error;
    service.say("first");
    ASSERT_TRUE(heard.arrived.waitFor(1));

    // The service emits "during" while it answers: the call reads it from the socket, and
    // nothing else arrives afterwards to wake the pump.
    ASSERT_EQ(echo("during"), "during") << error;
    ASSERT_TRUE(heard.arrived.waitFor(2)) << "the signal read during the call was not delivered";
    EXPECT_EQ(heard.snapshot(), (std::vector<std::string>{"first", "during"}));
    std::lock_guard guard(heard.mutex);
    EXPECT_TRUE(heard.allOnQueue);
}

TEST_F(BusTest, HandlersMayCallAndNoneRunsOnceTheSubscriptionEnds) {
    std::atomic<int> handled{0};
    std::string echoedInHandler;
    testsupport::Waiter done;
    std::unique_ptr<bus::Subscription> subscription = connection.subscribe(
        {kRule}, queue,
        [&](sd_bus_message*) -> dispatch::Work {
            return [&] {
                if (handled++ == 0) {
                    echoedInHandler = echo("inner").value_or("");
                    subscription.reset(); // ends itself; the "inner" signal must not be handled
                    done.notify();
                }
            };
        },
        {}, &error);
    ASSERT_TRUE(subscription) << error;
    service.say("outer");
    ASSERT_TRUE(done.waitFor(1));
    queue->sync([] {});
    EXPECT_EQ(echoedInHandler, "inner");
    service.say("after");
    // A round trip through the daemon: anything still coming has been read by now.
    ASSERT_TRUE(echo("sync")) << error;
    queue->sync([] {});
    EXPECT_EQ(handled.load(), 1);
}

TEST_F(BusTest, ADroppedConnectionEndsSubscriptionsAndCallsFailUntilABusReturns) {
    Heard heard;
    auto subscription = listen(heard);
    ASSERT_TRUE(subscription) << error;
    daemon.stop();
    ASSERT_TRUE(heard.dropped.waitFor(1)) << "the drop was not reported";
    queue->sync([] {});
    EXPECT_EQ(heard.dropped.count(), 1);
    EXPECT_FALSE(connection.call(kEcho, &error));
    EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;
    subscription.reset(); // after the drop, ending it is harmless
}

TEST(BusWithoutDaemonTest, NothingToConnectToIsAnError) {
    bus::Connection connection(bus::busAt("unix:path=/nonexistent/bus"));
    std::string error;
    EXPECT_FALSE(connection.call(kEcho, &error));
    EXPECT_NE(error.find("cannot connect to unix:path=/nonexistent/bus"), std::string::npos);
    EXPECT_FALSE(connection.subscribe(
        {kRule}, dispatch::SerialQueue::create("q"),
        [](sd_bus_message*) -> dispatch::Work { return nullptr; }, {}, &error));
}

} // namespace
