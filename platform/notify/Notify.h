#pragma once

// Notifications between programs: a named event without payload, broadcast to every process
// that listens. On Linux it is the D-Bus signal Posted(s name) of kInterface at kPath on the
// system bus; the bus's policy (packaging/dbus) lets only root send it and anyone receive
// it.
//
// Contract:
// - Poster::post sends at once and may be called from any thread. A bus that is not there
//   drops the notification; the caller learns of it once per run of failures (the first
//   failure after a success, or ever), so a missing bus is reported once, not at every post.
// - A refusal by the bus's policy is not seen by the sender: the bus drops the signal.
// - An Observer calls its handler on its queue for each notification of its name, in the
//   order they were posted. It subscribes at creation when the bus is there; otherwise,
//   and whenever its bus goes away, it subscribes again as soon as the bus's socket appears
//   (watched with inotify, no polling). Notifications posted while it is not subscribed are
//   lost. After its destruction has returned, no handler starts.

#include "platform/bus/Bus.h"
#include "platform/dispatch/Queue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace notify {

inline constexpr const char* kPath = "/com/vornhal/keelbrook";
inline constexpr const char* kInterface = "com.vornhal.keelbrook.Notifications";
inline constexpr const char* kMember = "Posted";

// The system bus's address: DBUS_SYSTEM_BUS_ADDRESS, else the standard socket.
std::string systemBusAddress();

// The socket file of a "unix:path=..." entry of `address` (with its %-escapes undone);
// nothing for addresses without one (abstract sockets, TCP).
std::optional<std::string> socketPathOf(const std::string& address);

// Sends the notification `name` on `connection` and flushes it; false with `error` filled
// when the bus is not there or the connection fails.
bool post(bus::Connection& connection, const std::string& name, std::string* error);

class Poster {
public:
    explicit Poster(std::string address = systemBusAddress());

    // Sends the notification `name`. Returns the failure to report: the first of a run of
    // failed posts (the reason), nothing for a post that went out or a repeated failure.
    std::optional<std::string> post(const std::string& name);

private:
    bus::Connection connection_;
    std::mutex mutex_;
    bool failing_ = false;
};

class Observer {
public:
    // `subscribed`, when given, runs on `queue` each time the subscription is made (at
    // creation or after the bus came back), before any notification it brings: a listener
    // that missed notifications meanwhile may refresh what it shows.
    Observer(std::string name, dispatch::QueuePtr queue, std::function<void()> handler,
             std::string address = systemBusAddress(), std::function<void()> subscribed = {});
    ~Observer();
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace notify
