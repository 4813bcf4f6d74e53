#include "platform/bus/Bus.h"

#include "platform/dispatch/Source.h"
#include "platform/dispatch/Time.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <utility>

namespace bus {

void MessageUnref::operator()(sd_bus_message* message) const {
    sd_bus_message_unref(message);
}

std::string errorText(std::string_view what, int r) {
    return std::string(what) + ": " + std::strerror(r < 0 ? -r : r);
}

namespace {

// As errorText, the reason taken from the remote error when one was sent.
std::string callErrorText(std::string_view what, int r, const sd_bus_error& error) {
    if (sd_bus_error_is_set(&error)) {
        return std::string(what) + ": " + error.message;
    }
    return errorText(what, r);
}

// Calls `method` on `bus`, waits for the reply and hands it to `read` (when given).
bool callOn(sd_bus* bus, const Method& method, std::string* error, const Arguments& arguments,
            const Connection::ReplyReader& read) {
    sd_bus_message* request = nullptr;
    int r = sd_bus_message_new_method_call(bus, &request, method.service, method.path,
                                           method.interface, method.member);
    const Message owned(request);
    if (r >= 0 && arguments) {
        r = arguments(request);
    }
    if (r < 0) {
        *error = errorText(std::string("cannot call ") + method.member, r);
        return false;
    }
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus, request, 0, &failure, &reply);
    const Message answer(reply);
    if (r < 0) {
        *error = callErrorText(std::string(method.member) + " failed", r, failure);
    }
    sd_bus_error_free(&failure);
    return r >= 0 && (!read || read(reply, error));
}

} // namespace

// What a subscription receives: the match callbacks (any thread, the connection's lock
// held) read the signals into work, and delivery runs it on the queue.
struct Subscription::Inbox : std::enable_shared_from_this<Inbox> {
    dispatch::QueuePtr queue;
    Connection::SignalReader reader;
    std::function<void()> dropped;
    std::vector<sd_bus_slot*> slots; // guarded by the connection's lock

    std::mutex mutex;
    std::deque<dispatch::Work> pending;
    bool scheduled = false;
    bool ended = false;      // cancelled or dropped: nothing more is received
    bool cancelled = false;  // nothing more is delivered
    bool droppedDue = false; // `dropped` is still to run

    static int matched(sd_bus_message* signal, void* userdata, sd_bus_error*) {
        static_cast<Inbox*>(userdata)->received(signal);
        return 0;
    }

    // The connection's lock held.
    void received(sd_bus_message* signal) {
        {
            std::lock_guard guard(mutex);
            if (ended) {
                return;
            }
        }
        dispatch::Work work = reader(signal);
        std::lock_guard guard(mutex);
        if (work && !ended) {
            pending.push_back(std::move(work));
            scheduleLocked();
        }
    }

    void drop() {
        std::lock_guard guard(mutex);
        if (ended) {
            return;
        }
        ended = true;
        droppedDue = static_cast<bool>(dropped);
        scheduleLocked();
    }

    void cancel() {
        std::lock_guard guard(mutex);
        ended = cancelled = true;
        pending.clear();
    }

    void scheduleLocked() {
        if (!scheduled) {
            scheduled = true;
            queue->async([self = shared_from_this()] { self->deliver(); });
        }
    }

    void deliver() {
        std::unique_lock lock(mutex);
        while (!cancelled && (!pending.empty() || droppedDue)) {
            if (!pending.empty()) {
                dispatch::Work work = std::move(pending.front());
                pending.pop_front();
                lock.unlock();
                work();
            } else {
                droppedDue = false;
                lock.unlock();
                dropped();
            }
            lock.lock();
        }
        scheduled = false;
    }
};

// The connection's bus and the pump that reads it while anybody is subscribed. The pump
// keeps its own descriptor of the socket, so the registration outlives a closed bus.
struct Connection::State : std::enable_shared_from_this<State> {
    explicit State(Opener opener) : open(std::move(opener)) {}

    const Opener open;
    std::mutex mutex;
    sd_bus* bus = nullptr;
    std::vector<std::shared_ptr<Subscription::Inbox>> inboxes;
    const dispatch::QueuePtr pumpQueue = dispatch::SerialQueue::create("com.vornhal.bus");
    int pumpFd = -1;
    std::unique_ptr<dispatch::ReadSource> pumpSource;
    std::unique_ptr<dispatch::TimerSource> pumpTimer;

    // The open bus (the lock held); null with `error` filled when it cannot be opened.
    sd_bus* openLocked(std::string* error) {
        if (bus != nullptr && sd_bus_is_open(bus) <= 0) {
            dropLocked();
        }
        if (bus == nullptr) {
            bus = open(error);
        }
        return bus;
    }

    // Dispatches everything the bus has read, writes what waits to be written and follows
    // the bus's own timeout (the lock held). A closed bus ends its subscriptions.
    void processLocked() {
        if (bus == nullptr) {
            return;
        }
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        if (sd_bus_is_open(bus) <= 0) {
            dropLocked();
            return;
        }
        if (sd_bus_get_events(bus) & POLLOUT) {
            sd_bus_flush(bus);
        }
        armTimeoutLocked();
    }

    void armTimeoutLocked() {
        if (!pumpTimer) {
            return;
        }
        std::uint64_t due = 0;
        if (sd_bus_get_timeout(bus, &due) < 0 || due == UINT64_MAX) {
            pumpTimer->disarm();
            return;
        }
        // sd-bus counts on CLOCK_MONOTONIC, the clock of the runtime's monotonic timers.
        const auto now =
            std::chrono::duration_cast<std::chrono::microseconds>(dispatch::monotonicNow());
        const auto delay = std::chrono::microseconds(due) - now;
        pumpTimer->schedule(dispatch::afterNow(std::max(delay, std::chrono::microseconds(0))));
    }

    // Ends every subscription and forgets the bus (the lock held).
    void dropLocked() {
        stopPumpLocked();
        for (auto& inbox : inboxes) {
            freeSlotsLocked(*inbox);
            inbox->drop();
        }
        inboxes.clear();
        bus = sd_bus_unref(bus);
    }

    static void freeSlotsLocked(Subscription::Inbox& inbox) {
        for (sd_bus_slot* slot : inbox.slots) {
            sd_bus_slot_unref(slot);
        }
        inbox.slots.clear();
    }

    bool startPumpLocked(std::string* error) {
        if (pumpSource) {
            return true;
        }
        pumpFd = ::fcntl(sd_bus_get_fd(bus), F_DUPFD_CLOEXEC, 3);
        std::weak_ptr<State> weak = shared_from_this();
        auto pumped = [weak] {
            if (auto state = weak.lock()) {
                std::lock_guard guard(state->mutex);
                state->processLocked();
            }
        };
        if (pumpFd >= 0) {
            pumpSource = dispatch::ReadSource::create(pumpFd, pumpQueue, pumped);
        }
        if (!pumpSource) {
            stopPumpLocked();
            *error = "cannot watch the bus connection";
            return false;
        }
        pumpTimer = std::make_unique<dispatch::TimerSource>(pumpQueue, pumped);
        // Messages read while earlier calls waited for their replies are already queued.
        processLocked();
        return true;
    }

    void stopPumpLocked() {
        if (pumpSource) {
            pumpSource->cancel();
            pumpSource.reset();
        }
        if (pumpTimer) {
            pumpTimer->cancel();
            pumpTimer.reset();
        }
        if (pumpFd >= 0) {
            ::close(pumpFd);
            pumpFd = -1;
        }
    }
};

Connection::Connection(Opener open) : state_(std::make_shared<State>(std::move(open))) {}

Connection::~Connection() {
    std::lock_guard guard(state_->mutex);
    if (state_->bus != nullptr) {
        state_->dropLocked();
    }
}

bool Connection::call(const Method& method, std::string* error, const Arguments& arguments,
                      const ReplyReader& read) {
    std::lock_guard guard(state_->mutex);
    sd_bus* bus = state_->openLocked(error);
    if (bus == nullptr) {
        return false;
    }
    const bool done = callOn(bus, method, error, arguments, read);
    state_->processLocked();
    return done;
}

bool Connection::with(const std::function<bool(sd_bus*, std::string*)>& use, std::string* error) {
    std::lock_guard guard(state_->mutex);
    sd_bus* bus = state_->openLocked(error);
    if (bus == nullptr) {
        return false;
    }
    const bool done = use(bus, error);
    state_->processLocked();
    return done;
}

std::unique_ptr<Subscription> Connection::subscribe(const std::vector<std::string>& rules,
                                                    dispatch::QueuePtr queue, SignalReader reader,
                                                    std::function<void()> dropped,
                                                    std::string* error) {
    auto inbox = std::make_shared<Subscription::Inbox>();
    inbox->queue = std::move(queue);
    inbox->reader = std::move(reader);
    inbox->dropped = std::move(dropped);
    std::lock_guard guard(state_->mutex);
    sd_bus* bus = state_->openLocked(error);
    if (bus == nullptr) {
        return nullptr;
    }
    for (const auto& rule : rules) {
        sd_bus_slot* slot = nullptr;
        const int r =
            sd_bus_add_match(bus, &slot, rule.c_str(), &Subscription::Inbox::matched, inbox.get());
        if (r < 0) {
            *error = errorText("cannot subscribe to " + rule, r);
            State::freeSlotsLocked(*inbox);
            return nullptr;
        }
        inbox->slots.push_back(slot);
    }
    if (!state_->startPumpLocked(error)) {
        State::freeSlotsLocked(*inbox);
        return nullptr;
    }
    state_->inboxes.push_back(inbox);
    return std::unique_ptr<Subscription>(new Subscription(state_, std::move(inbox)));
}

Subscription::~Subscription() {
    inbox_->cancel();
    std::lock_guard guard(connection_->mutex);
    Connection::State::freeSlotsLocked(*inbox_);
    auto& inboxes = connection_->inboxes;
    std::erase(inboxes, inbox_);
    if (inboxes.empty()) {
        connection_->stopPumpLocked();
    }
}

namespace {

sd_bus* startedBus(const std::string& address, std::string* error) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) {
        r = sd_bus_set_address(bus, address.c_str());
    }
    if (r >= 0) {
        r = sd_bus_set_bus_client(bus, 1);
    }
    if (r >= 0) {
        r = sd_bus_set_trusted(bus, 0);
    }
    if (r >= 0) {
        r = sd_bus_negotiate_fds(bus, 1);
    }
    if (r >= 0) {
        r = sd_bus_start(bus);
    }
    if (r < 0) {
        sd_bus_unref(bus);
        if (error) {
            *error = errorText("cannot connect to " + address, r);
        }
        return nullptr;
    }
    return bus;
}

} // namespace

Opener systemBus() {
    return [](std::string* error) -> sd_bus* {
        sd_bus* bus = nullptr;
        const int r = sd_bus_open_system(&bus);
        if (r < 0) {
            if (error) {
                *error = errorText("cannot connect to the system bus", r);
            }
            return nullptr;
        }
        return bus;
    };
}

Opener busAt(std::string address) {
    return [address](std::string* error) {
        return startedBus(address, error);
    };
}

bool callOnce(const std::string& address, const Method& method, std::string* error,
              const Arguments& arguments) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) {
        r = sd_bus_set_address(bus, address.c_str());
    }
    if (r >= 0) {
        r = sd_bus_set_bus_client(bus, 1);
    }
    if (r >= 0) {
        r = sd_bus_start(bus);
    }
    if (r < 0) {
        *error = errorText("cannot open the bus", r);
        sd_bus_flush_close_unref(bus);
        return false;
    }
    const bool done = callOn(bus, method, error, arguments, {});
    sd_bus_flush_close_unref(bus);
    return done;
}

} // namespace bus
