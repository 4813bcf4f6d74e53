#pragma once

// D-Bus on the runtime: one connection shared by the threads of a component, method calls,
// and signal subscriptions delivered on dispatch queues.
//
// Contract:
// - Thread safety: every member of Connection and Subscription may be called from any
//   thread; the connection serialises its use of the bus with one lock.
// - Calls block the calling thread until the reply arrives (sd-bus's default timeout); the
//   reply is read before the lock is given back, as sd-bus messages are not thread-safe.
//   Whatever the bus read meanwhile (signals that arrived during the call) is dispatched
//   before the call returns, so no signal waits for an unrelated message to wake the pump.
// - sd-bus messages are not thread-safe, so a signal is handled in two steps. Its reader
//   runs with the connection's lock held, on whichever thread processes the bus: it only
//   reads the signal's arguments and returns the work they call for (or nothing). That
//   work runs on the subscription's queue, one item at a time and in arrival order, never
//   with the connection's lock held: it may make calls. None starts once the subscription
//   is destroyed (a running one may finish); it may destroy its own subscription.
// - A connection that drops ends every subscription on it: each one's `dropped` runs once on
//   its queue and no signal follows. The next call opens a new connection; a component that
//   still wants signals subscribes again.
// - A connection that cannot be opened makes calls and subscriptions fail with the error.

#include "platform/dispatch/Queue.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef struct sd_bus sd_bus;
typedef struct sd_bus_message sd_bus_message;

namespace bus {

struct MessageUnref {
    void operator()(sd_bus_message* message) const;
};
// A message owned by its holder (within the connection's lock).
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Opens a started connection; null with `error` filled when it cannot.
using Opener = std::function<sd_bus*(std::string* error)>;
// The system bus: the address in DBUS_SYSTEM_BUS_ADDRESS, else the standard socket.
Opener systemBus();
// The bus at `address` ("unix:path=/tmp/bus"): a test's private one.
Opener busAt(std::string address);

// "what: reason" for an sd-bus result `r` (-errno).
std::string errorText(std::string_view what, int r);

// The method a call names.
struct Method {
    const char* service;
    const char* path;
    const char* interface;
    const char* member;
};

// Adds a call's arguments to its message; returns a negative errno on failure.
using Arguments = std::function<int(sd_bus_message* call)>;

// One call on a connection of its own to the bus at `address`, closed afterwards. Needs
// nothing of the runtime, so a forked child (which has no runtime threads) can use it.
bool callOnce(const std::string& address, const Method& method, std::string* error,
              const Arguments& arguments = {});

class Subscription;

class Connection {
public:
    explicit Connection(Opener open);
    // Subscriptions on it end first.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Reads a reply (the connection's lock held); false with `error` filled when it cannot.
    using ReplyReader = std::function<bool(sd_bus_message* reply, std::string* error)>;

    // Calls `method`, waits for its reply and hands it to `read`, both with the lock held.
    // False with `error` filled (the remote error's text when it sent one) when the call
    // fails, else what `read` returns (true without a reader).
    bool call(const Method& method, std::string* error, const Arguments& arguments = {},
              const ReplyReader& read = {});

    // Runs `use` with the open bus, holding the lock (property reads and the like), then
    // dispatches what the bus read meanwhile. False with `error` filled when no bus opens,
    // else what `use` returns.
    bool with(const std::function<bool(sd_bus* bus, std::string* error)>& use, std::string* error);

    // Reads a signal (the connection's lock held) into the work to run on the queue; an
    // empty result ignores the signal.
    using SignalReader = std::function<dispatch::Work(sd_bus_message* signal)>;
    // Subscribes to the signals matching any of `rules` (match rules, "type='signal',..."):
    // each is read by `reader` and its work run on `queue`; `dropped`, when given, runs
    // once on `queue` if the connection drops. Null with `error` filled when the bus
    // refuses.
    std::unique_ptr<Subscription> subscribe(const std::vector<std::string>& rules,
                                            dispatch::QueuePtr queue, SignalReader reader,
                                            std::function<void()> dropped, std::string* error);

private:
    friend class Subscription;
    struct State;
    std::shared_ptr<State> state_;
};

// A live signal subscription; destroying it ends it.
class Subscription {
public:
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    struct Inbox;

private:
    friend class Connection;
    Subscription(std::shared_ptr<Connection::State> connection, std::shared_ptr<Inbox> inbox)
        : connection_(std::move(connection)), inbox_(std::move(inbox)) {}

    std::shared_ptr<Connection::State> connection_;
    std::shared_ptr<Inbox> inbox_;
};

} // namespace bus
