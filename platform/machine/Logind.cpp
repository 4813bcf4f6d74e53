#include "platform/machine/Logind.h"

#include "platform/dispatch/Source.h"
#include "platform/machine/LinuxReadings.h"
#include "platform/machine/WakeAlarm.h"
#include "platform/paths/Paths.h"

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <utility>

namespace machine::logind {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";

std::string busError(const char* what, int r, const sd_bus_error* e = nullptr) {
    if (e != nullptr && sd_bus_error_is_set(e)) {
        return std::string(what) + ": " + e->message;
    }
    return std::string(what) + ": " + std::strerror(r < 0 ? -r : r);
}

// One connection shared by the threads that use it: every use holds its lock. It is
// opened on first use and opened again after it broke, unless a pump is reading it (the
// pump's source would be left on the old one): then calls simply fail until it stops.
class Connection {
public:
    explicit Connection(BusOpener open) : open_(std::move(open)) {}
    ~Connection() { sd_bus_flush_close_unref(bus_); }

    std::mutex& mutex() { return mutex_; }

    // The open bus (the lock held); null with `error` filled when it cannot be opened.
    sd_bus* bus(std::string* error) {
        if (bus_ != nullptr && !pinned_ && sd_bus_is_open(bus_) <= 0) {
            bus_ = sd_bus_flush_close_unref(bus_);
        }
        if (bus_ == nullptr) {
            bus_ = open_(error);
        }
        return bus_;
    }
    // Whether a pump reads the connection (the lock held).
    void pin(bool pinned) { pinned_ = pinned; }

private:
    const BusOpener open_;
    std::mutex mutex_;
    sd_bus* bus_ = nullptr;
    bool pinned_ = false;
};

bool listInhibitors(sd_bus* bus, std::vector<Inhibitor>* out, std::string* error) {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r =
        sd_bus_call_method(bus, kService, kManagerPath, kManager, "ListInhibitors", &e, &reply, "");
    if (r < 0) {
        *error = busError("cannot list the inhibitors", r, &e);
        sd_bus_error_free(&e);
        return false;
    }
    r = sd_bus_message_enter_container(reply, 'a', "(ssssuu)");
    while (r > 0) {
        const char *what, *who, *why, *mode;
        Inhibitor inhibitor;
        r = sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &inhibitor.uid,
                                &inhibitor.pid);
        if (r > 0) {
            inhibitor.what = what;
            inhibitor.who = who;
            inhibitor.why = why;
            inhibitor.mode = mode;
            out->push_back(std::move(inhibitor));
        }
    }
    sd_bus_message_unref(reply);
    if (r < 0) {
        *error = busError("cannot read the inhibitors", r);
        return false;
    }
    return true;
}

bool listSessions(sd_bus* bus, std::vector<Session>* out, std::string* error) {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r =
        sd_bus_call_method(bus, kService, kManagerPath, kManager, "ListSessions", &e, &reply, "");
    if (r < 0) {
        *error = busError("cannot list the sessions", r, &e);
        sd_bus_error_free(&e);
        return false;
    }
    std::vector<std::pair<std::uint32_t, std::string>> listed;
    r = sd_bus_message_enter_container(reply, 'a', "(susso)");
    while (r > 0) {
        const char *id, *user, *seat, *path;
        std::uint32_t uid = 0;
        r = sd_bus_message_read(reply, "(susso)", &id, &uid, &user, &seat, &path);
        if (r > 0) {
            listed.emplace_back(uid, path);
        }
    }
    sd_bus_message_unref(reply);
    if (r < 0) {
        *error = busError("cannot read the sessions", r);
        return false;
    }
    for (const auto& [uid, path] : listed) {
        Session session;
        session.uid = uid;
        char* type = nullptr;
        int idle = 0;
        // A session that ended meanwhile is simply left out.
        if (sd_bus_get_property_string(bus, kService, path.c_str(), kSession, "Type", nullptr,
                                       &type) < 0 ||
            sd_bus_get_property_trivial(bus, kService, path.c_str(), kSession, "IdleHint", nullptr,
                                        'b', &idle) < 0) {
            free(type);
            continue;
        }
        session.type = type;
        free(type);
        session.idle = idle != 0;
        out->push_back(std::move(session));
    }
    return true;
}

// A descriptor that keeps an inhibitor in force, or -1 with `error` filled.
int inhibit(sd_bus* bus, const char* what, std::string_view who, std::string_view why,
            const char* mode, std::string* error) {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const std::string whoText(who), whyText(why);
    int r = sd_bus_call_method(bus, kService, kManagerPath, kManager, "Inhibit", &e, &reply, "ssss",
                               what, whoText.c_str(), whyText.c_str(), mode);
    if (r < 0) {
        *error = busError("cannot take an inhibitor", r, &e);
        sd_bus_error_free(&e);
        return -1;
    }
    int fd = -1;
    r = sd_bus_message_read(reply, "h", &fd);
    // The reply owns its descriptor: keep a copy of our own.
    const int kept = r > 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
    sd_bus_message_unref(reply);
    if (kept < 0) {
        *error = busError("cannot keep the inhibitor", r < 0 ? r : errno);
    }
    return kept;
}

// Runs a connection's incoming messages on a queue: match callbacks run with the
// connection's lock held and only record what they saw; `processed` runs afterwards,
// without the lock, to act on it. The pump keeps its own reference to the bus and its own
// descriptor of the socket, so a connection that drops ends the pump and nothing else.
class Pump {
public:
    // The connection's lock held.
    static std::unique_ptr<Pump> start(Connection& connection, sd_bus* bus,
                                       const dispatch::QueuePtr& queue,
                                       std::function<void()> processed, std::string* error) {
        auto state = std::make_shared<State>();
        state->connection = &connection;
        state->bus = sd_bus_ref(bus);
        state->fd = ::fcntl(sd_bus_get_fd(bus), F_DUPFD_CLOEXEC, 3);
        state->processed = std::move(processed);
        std::weak_ptr<State> weak = state;
        if (state->fd >= 0) {
            state->source = dispatch::ReadSource::create(state->fd, queue, [weak] {
                if (auto s = weak.lock()) {
                    s->run();
                }
            });
        }
        if (!state->source) {
            *error = "cannot watch the bus connection";
            return nullptr;
        }
        connection.pin(true);
        // Messages read while earlier calls waited for their replies are already queued.
        queue->async([state] { state->run(); });
        return std::unique_ptr<Pump>(new Pump(std::move(state)));
    }
    // The connection's lock held.
    ~Pump() {
        state_->source->cancel();
        state_->connection->pin(false);
    }

private:
    struct State {
        Connection* connection = nullptr;
        sd_bus* bus = nullptr;
        int fd = -1;
        std::function<void()> processed;
        std::unique_ptr<dispatch::ReadSource> source;

        ~State() {
            source.reset();
            if (fd >= 0) {
                ::close(fd);
            }
            sd_bus_unref(bus);
        }
        void run() {
            if (source->isCancelled()) {
                return;
            }
            bool open = true;
            {
                std::lock_guard guard(connection->mutex());
                while (sd_bus_process(bus, nullptr) > 0) {
                }
                open = sd_bus_is_open(bus) > 0;
            }
            if (!open) {
                source->cancel(); // a hung-up socket would stay readable for ever
            }
            processed();
        }
    };
    explicit Pump(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::shared_ptr<State> state_;
};

// Adds a match (the connection's lock held); its slot is freed with the returned handle.
struct SlotDeleter {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotDeleter>;

Slot addMatch(sd_bus* bus, const std::string& rule, sd_bus_message_handler_t handler,
              void* userdata, std::string* error) {
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_add_match(bus, &slot, rule.c_str(), handler, userdata);
    if (r < 0) {
        *error = busError("cannot subscribe to the login manager", r);
        return nullptr;
    }
    return Slot(slot);
}

// What a pumped source shares with its match callbacks and pump.
struct Listening {
    std::mutex mutex;
    std::vector<bool> prepareForSleep; // PrepareForSleep arguments, in arrival order
    bool dirty = false;
};

// A source's subscription to login-manager signals: its match slots on the connection and
// the pump that dispatches them on the source's queue. `onRelease` (the connection's lock
// held) undoes what the source added beside the matches.
class SignalSubscription {
public:
    using Subscribe = std::function<bool(sd_bus* bus, Listening* listening,
                                         std::vector<Slot>& slots, std::string* error)>;

    SignalSubscription(Connection& connection, std::function<void()> onRelease = {})
        : connection_(connection), onRelease_(std::move(onRelease)) {}

    // Subscribes with `subscribe` (the connection's lock held) and starts pumping, unless
    // started already; `processed` then runs on the queue after the callbacks.
    bool start(const dispatch::QueuePtr& queue, const Subscribe& subscribe,
               std::function<void(Listening&)> processed, std::string* error) {
        std::lock_guard startGuard(startMutex_);
        if (pump_) {
            return true;
        }
        {
            std::lock_guard guard(connection_.mutex());
            sd_bus* bus = connection_.bus(error);
            if (bus == nullptr) {
                return false;
            }
            listening_ = std::make_shared<Listening>();
            if (!subscribe(bus, listening_.get(), slots_, error)) {
                slots_.clear();
                return false;
            }
            pump_ = Pump::start(
                connection_, bus, queue,
                [listening = listening_, processed = std::move(processed)] {
                    processed(*listening);
                },
                error);
        }
        if (!pump_) {
            release();
            return false;
        }
        return true;
    }

    void stop() {
        std::lock_guard startGuard(startMutex_);
        release();
    }

private:
    // The start lock held.
    void release() {
        std::lock_guard guard(connection_.mutex());
        pump_.reset();
        slots_.clear();
        if (onRelease_) {
            onRelease_();
        }
    }

    Connection& connection_;
    const std::function<void()> onRelease_;
    std::mutex startMutex_;
    std::shared_ptr<Listening> listening_;
    std::vector<Slot> slots_;
    std::unique_ptr<Pump> pump_;
};

class LogindPowerState final : public PowerStateSource {
public:
    LogindPowerState(BusOpener bus, const SourceOptions& options, WakeTimerFactory wakeTimers)
        : connection_(std::move(bus)), productName_(options.productName),
          alarm_(std::move(wakeTimers), options.log) {}
    ~LogindPowerState() override { stop(); }

    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        return subscription_.start(
            queue,
            [this](sd_bus* bus, Listening* listening, std::vector<Slot>& slots,
                   std::string* error) {
                Slot slot =
                    addMatch(bus,
                             "type='signal',sender='org.freedesktop.login1',"
                             "path='/org/freedesktop/login1',"
                             "interface='org.freedesktop.login1.Manager',member='PrepareForSleep'",
                             &LogindPowerState::onPrepareForSleep, listening, error);
                if (!slot) {
                    return false;
                }
                slots.push_back(std::move(slot));
                takeDelayInhibitor(bus);
                return true;
            },
            [this, changed = std::move(changed)](Listening& listening) {
                processed(listening, changed);
            },
            error);
    }

    void stop() override { subscription_.stop(); }

    unsigned currentCapabilities() override { return asleep_ ? kSleepAnnouncement : kFullWake; }

    void acknowledge(const std::optional<WakeRequest>& request) override {
        if (!asleep_) {
            return; // wakes need no answer
        }
        alarm_.set(request ? std::optional<cal::Date>(request->date) : std::nullopt);
        std::lock_guard guard(connection_.mutex());
        releaseDelayInhibitor(); // lets the sleep proceed
    }

private:
    // With the subscription: lets a pending sleep proceed (the connection's lock held).
    void releaseDelayInhibitor() {
        if (delay_ >= 0) {
            ::close(delay_);
            delay_ = -1;
        }
    }

    static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
        int sleeping = 0;
        if (sd_bus_message_read(message, "b", &sleeping) > 0) {
            auto* listening = static_cast<Listening*>(userdata);
            std::lock_guard guard(listening->mutex);
            listening->prepareForSleep.push_back(sleeping != 0);
        }
        return 0;
    }

    // The connection's lock held.
    void takeDelayInhibitor(sd_bus* bus) {
        if (delay_ < 0) {
            std::string ignored; // without it the machine simply sleeps without waiting
            delay_ = inhibit(bus, "sleep", productName_, "Collecting wake requests before sleep.",
                             "delay", &ignored);
        }
    }

    // On the queue, after the pump ran the callbacks.
    void processed(Listening& listening, const Handler& changed) {
        std::vector<bool> events;
        {
            std::lock_guard guard(listening.mutex);
            events.swap(listening.prepareForSleep);
        }
        for (const bool sleeping : events) {
            asleep_ = sleeping;
            if (!sleeping) {
                alarm_.set(std::nullopt);
                std::lock_guard guard(connection_.mutex());
                std::string ignored;
                if (sd_bus* bus = connection_.bus(&ignored)) {
                    takeDelayInhibitor(bus);
                }
            }
            changed(sleeping ? kSleepAnnouncement : kFullWake);
        }
    }

    Connection connection_;
    const std::string productName_;
    WakeAlarm alarm_;
    int delay_ = -1; // guarded by the connection's lock
    std::atomic<bool> asleep_{false};
    SignalSubscription subscription_{connection_, [this] {
                                         releaseDelayInhibitor();
                                     }};
};

class LogindUserActivity final : public UserActivitySource {
public:
    LogindUserActivity(BusOpener bus, bool passiveKnown)
        : connection_(std::move(bus)), passiveKnown_(passiveKnown) {}
    ~LogindUserActivity() override { stop(); }

    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        return subscription_.start(
            queue,
            [](sd_bus* bus, Listening* listening, std::vector<Slot>& slots, std::string* error) {
                // Sessions come and go, their idle hints change (session objects), and
                // inhibitors change (the manager's BlockInhibited property).
                for (const char* rule :
                     {"type='signal',sender='org.freedesktop.login1',"
                      "interface='org.freedesktop.login1.Manager',member='SessionNew'",
                      "type='signal',sender='org.freedesktop.login1',"
                      "interface='org.freedesktop.login1.Manager',member='SessionRemoved'",
                      "type='signal',sender='org.freedesktop.login1',"
                      "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                      "path_namespace='/org/freedesktop/login1'"}) {
                    Slot slot =
                        addMatch(bus, rule, &LogindUserActivity::onSignal, listening, error);
                    if (!slot) {
                        return false;
                    }
                    slots.push_back(std::move(slot));
                }
                return true;
            },
            [this, changed = std::move(changed)](Listening& listening) {
                processed(listening, changed);
            },
            error);
    }

    void stop() override { subscription_.stop(); }

    UserActivity current() override {
        std::vector<Session> sessions;
        std::vector<Inhibitor> inhibitors;
        std::string error;
        std::lock_guard guard(connection_.mutex());
        sd_bus* bus = connection_.bus(&error);
        if (bus == nullptr || !listSessions(bus, &sessions, &error) ||
            !listInhibitors(bus, &inhibitors, &error)) {
            return UserActivity::Idle;
        }
        return userActivityFrom(sessions, inhibitors, passiveKnown_);
    }

private:
    static int onSignal(sd_bus_message*, void* userdata, sd_bus_error*) {
        auto* listening = static_cast<Listening*>(userdata);
        std::lock_guard guard(listening->mutex);
        listening->dirty = true;
        return 0;
    }

    void processed(Listening& listening, const Handler& changed) {
        {
            std::lock_guard guard(listening.mutex);
            if (!std::exchange(listening.dirty, false)) {
                return;
            }
        }
        changed(current());
    }

    Connection connection_;
    const bool passiveKnown_;
    SignalSubscription subscription_{connection_};
};

class LogindSleepPreventers final : public SleepPreventerSource {
public:
    explicit LogindSleepPreventers(BusOpener bus) : connection_(std::move(bus)) {}

    bool copyHolds(std::vector<SleepHold>* holds, std::string* error) override {
        std::vector<Inhibitor> inhibitors;
        {
            std::lock_guard guard(connection_.mutex());
            sd_bus* bus = connection_.bus(error);
            if (bus == nullptr || !listInhibitors(bus, &inhibitors, error)) {
                return false;
            }
        }
        *holds = sleepHoldsFrom(inhibitors, paths::path("/proc"));
        return true;
    }

private:
    Connection connection_;
};

class LogindPowerAssertions final : public PowerAssertions {
public:
    explicit LogindPowerAssertions(BusOpener bus) : connection_(std::move(bus)) {}
    ~LogindPowerAssertions() override {
        for (const auto& [id, fd] : held_) {
            ::close(fd);
        }
    }

    std::uint32_t create(std::string_view type, std::string_view name, std::string_view details,
                         std::string* error) override {
        std::string ignored;
        std::string* text = error ? error : &ignored;
        if (type != kPreventUserIdleSystemSleep && type != kBackgroundTask) {
            *text = "unknown power assertion type " + std::string(type);
            return 0;
        }
        std::lock_guard guard(connection_.mutex());
        sd_bus* bus = connection_.bus(text);
        if (bus == nullptr) {
            return 0;
        }
        // An idle block keeps the machine from idle sleep; a sleep the user asks for still
        // happens.
        const int fd = inhibit(bus, "idle", name, details, "block", text);
        if (fd < 0) {
            return 0;
        }
        const std::uint32_t id = nextId_++;
        held_.emplace(id, fd);
        return id;
    }

    void release(std::uint32_t id) override {
        std::lock_guard guard(connection_.mutex());
        if (auto it = held_.find(id); it != held_.end()) {
            ::close(it->second);
            held_.erase(it);
        }
    }

private:
    Connection connection_;
    std::map<std::uint32_t, int> held_; // guarded by the connection's lock
    std::uint32_t nextId_ = 1;
};

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
            *error = busError(("cannot connect to " + address).c_str(), r);
        }
        return nullptr;
    }
    return bus;
}

} // namespace

BusOpener systemBus() {
    return [](std::string* error) -> sd_bus* {
        sd_bus* bus = nullptr;
        const int r = sd_bus_open_system(&bus);
        if (r < 0) {
            if (error) {
                *error = busError("cannot connect to the system bus", r);
            }
            return nullptr;
        }
        return bus;
    };
}

BusOpener busAt(std::string address) {
    return [address](std::string* error) {
        return startedBus(address, error);
    };
}

bool inhibits(const Inhibitor& inhibitor, std::string_view lock) {
    std::string_view what = inhibitor.what;
    while (!what.empty()) {
        const auto colon = what.find(':');
        if (what.substr(0, colon) == lock) {
            return true;
        }
        what = colon == std::string_view::npos ? std::string_view() : what.substr(colon + 1);
    }
    return false;
}

UserActivity userActivityFrom(const std::vector<Session>& sessions,
                              const std::vector<Inhibitor>& inhibitors, bool passiveKnown) {
    bool awake = false;
    bool active = false;
    for (const auto& session : sessions) {
        const bool graphical =
            session.type == "x11" || session.type == "wayland" || session.type == "mir";
        if (!graphical || session.idle) {
            continue;
        }
        awake = true;
        bool held = false;
        for (const auto& inhibitor : inhibitors) {
            held = held || (inhibitor.mode == "block" && inhibitor.uid == session.uid &&
                            inhibits(inhibitor, "idle"));
        }
        active = active || !held;
    }
    if (!awake) {
        return UserActivity::Idle;
    }
    return active || !passiveKnown ? UserActivity::Active : UserActivity::Passive;
}

std::vector<SleepHold> sleepHoldsFrom(const std::vector<Inhibitor>& inhibitors,
                                      const std::string& procFolder) {
    std::vector<SleepHold> holds;
    for (const auto& inhibitor : inhibitors) {
        if (!inhibits(inhibitor, "idle") && !inhibits(inhibitor, "sleep")) {
            continue;
        }
        SleepHold hold;
        hold.type = kPreventUserIdleSystemSleep;
        hold.level = inhibitor.mode == "block" ? kHoldLevelOn : kHoldLevelOff;
        hold.name = inhibitor.why;
        hold.pid = static_cast<pid_t>(inhibitor.pid);
        hold.processName = linuxfs::processName(procFolder, hold.pid);
        holds.push_back(std::move(hold));
    }
    return holds;
}

std::unique_ptr<PowerStateSource> createPowerState(BusOpener bus, const SourceOptions& options,
                                                   WakeTimerFactory wakeTimers) {
    return std::make_unique<LogindPowerState>(std::move(bus), options, std::move(wakeTimers));
}

std::unique_ptr<UserActivitySource> createUserActivity(BusOpener bus, bool passiveKnown) {
    return std::make_unique<LogindUserActivity>(std::move(bus), passiveKnown);
}

std::unique_ptr<SleepPreventerSource> createSleepPreventers(BusOpener bus) {
    return std::make_unique<LogindSleepPreventers>(std::move(bus));
}

std::unique_ptr<PowerAssertions> createPowerAssertions(BusOpener bus) {
    return std::make_unique<LogindPowerAssertions>(std::move(bus));
}

} // namespace machine::logind
