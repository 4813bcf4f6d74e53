#include "platform/machine-linux/Logind.h"

#include "platform/machine-linux/LinuxReadings.h"
#include "platform/machine-linux/WakeAlarm.h"
#include "platform/paths/Paths.h"

#include <atomic>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <utility>

namespace machine::logind {

namespace {

constexpr bus::Method kListInhibitors{"org.freedesktop.login1", "/org/freedesktop/login1",
                                      "org.freedesktop.login1.Manager", "ListInhibitors"};
constexpr bus::Method kListSessions{"org.freedesktop.login1", "/org/freedesktop/login1",
                                    "org.freedesktop.login1.Manager", "ListSessions"};
constexpr bus::Method kInhibit{"org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit"};
constexpr const char* kSession = "org.freedesktop.login1.Session";

bool listInhibitors(bus::Connection& connection, std::vector<Inhibitor>* out, std::string* error) {
    return connection.call(kListInhibitors, error, {},
                           [out](sd_bus_message* reply, std::string* error) {
                               int r = sd_bus_message_enter_container(reply, 'a', "(ssssuu)");
                               while (r > 0) {
                                   const char *what, *who, *why, *mode;
                                   Inhibitor inhibitor;
                                   r = sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why,
                                                           &mode, &inhibitor.uid, &inhibitor.pid);
                                   if (r > 0) {
                                       inhibitor.what = what;
                                       inhibitor.who = who;
                                       inhibitor.why = why;
                                       inhibitor.mode = mode;
                                       out->push_back(std::move(inhibitor));
                                   }
                               }
                               if (r < 0) {
                                   *error = bus::errorText("cannot read the inhibitors", r);
                                   return false;
                               }
                               return true;
                           });
}

bool listSessions(bus::Connection& connection, std::vector<Session>* out, std::string* error) {
    std::vector<std::pair<std::uint32_t, std::string>> listed;
    const bool read = connection.call(
        kListSessions, error, {}, [&listed](sd_bus_message* reply, std::string* error) {
            int r = sd_bus_message_enter_container(reply, 'a', "(susso)");
            while (r > 0) {
                const char *id, *user, *seat, *path;
                std::uint32_t uid = 0;
                r = sd_bus_message_read(reply, "(susso)", &id, &uid, &user, &seat, &path);
                if (r > 0) {
                    listed.emplace_back(uid, path);
                }
            }
            if (r < 0) {
                *error = bus::errorText("cannot read the sessions", r);
                return false;
            }
            return true;
        });
    if (!read) {
        return false;
    }
    return connection.with(
        [&](sd_bus* bus, std::string*) {
            for (const auto& [uid, path] : listed) {
                Session session;
                session.uid = uid;
                char* type = nullptr;
                int idle = 0;
                int active = 0;
                // A session that ended meanwhile is simply left out.
                if (sd_bus_get_property_string(bus, kListSessions.service, path.c_str(), kSession,
                                               "Type", nullptr, &type) < 0 ||
                    sd_bus_get_property_trivial(bus, kListSessions.service, path.c_str(), kSession,
                                                "IdleHint", nullptr, 'b', &idle) < 0 ||
                    sd_bus_get_property_trivial(bus, kListSessions.service, path.c_str(), kSession,
                                                "Active", nullptr, 'b', &active) < 0) {
                    free(type);
                    continue;
                }
                session.type = type;
                free(type);
                session.idle = idle != 0;
                session.active = active != 0;
                out->push_back(std::move(session));
            }
            return true;
        },
        error);
}

// A descriptor that keeps an inhibitor in force, or -1 with `error` filled.
int inhibit(bus::Connection& connection, const char* what, std::string_view who,
            std::string_view why, const char* mode, std::string* error) {
    const std::string whoText(who), whyText(why);
    int kept = -1;
    connection.call(
        kInhibit, error,
        [&](sd_bus_message* call) {
            return sd_bus_message_append(call, "ssss", what, whoText.c_str(), whyText.c_str(),
                                         mode);
        },
        [&kept](sd_bus_message* reply, std::string* error) {
            int fd = -1;
            const int r = sd_bus_message_read(reply, "h", &fd);
            // The reply owns its descriptor: keep a copy of our own.
            kept = r > 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
            if (kept < 0) {
                *error = bus::errorText("cannot keep the inhibitor", r < 0 ? r : -errno);
            }
            return kept >= 0;
        });
    return kept;
}

// A source's signal subscription, started and stopped from any thread.
class Subscribed {
public:
    explicit Subscribed(bus::Connection& connection) : connection_(connection) {}

    // Subscribes unless subscribed already; `subscribed` runs (the start lock held) once the
    // subscription is in place, before any signal is handled.
    bool start(const std::vector<std::string>& rules, const dispatch::QueuePtr& queue,
               bus::Connection::SignalReader reader, std::string* error,
               const std::function<void()>& subscribed = {}) {
        std::lock_guard guard(mutex_);
        if (subscription_) {
            return true;
        }
        subscription_ = connection_.subscribe(rules, queue, std::move(reader), {}, error);
        if (subscription_ && subscribed) {
            subscribed();
        }
        return subscription_ != nullptr;
    }
    void stop() {
        std::unique_ptr<bus::Subscription> ended;
        std::lock_guard guard(mutex_);
        ended = std::move(subscription_);
    }

private:
    bus::Connection& connection_;
    std::mutex mutex_;
    std::unique_ptr<bus::Subscription> subscription_;
};

class LogindPowerState final : public PowerStateSource {
public:
    LogindPowerState(BusOpener bus, const SourceOptions& options, WakeTimerFactory wakeTimers)
        : connection_(std::move(bus)), productName_(options.productName),
          alarm_(std::move(wakeTimers), options.log) {}
    ~LogindPowerState() override { stop(); }

    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        return subscription_.start(
            {"type='signal',sender='org.freedesktop.login1',path='/org/freedesktop/login1',"
             "interface='org.freedesktop.login1.Manager',member='PrepareForSleep'"},
            queue,
            [this, changed = std::move(changed)](sd_bus_message* signal) -> dispatch::Work {
                int sleeping = 0;
                if (sd_bus_message_read(signal, "b", &sleeping) <= 0) {
                    return nullptr;
                }
                return [this, changed, sleeping] {
                    prepareForSleep(sleeping != 0, changed);
                };
            },
            error, [this] { takeDelayInhibitor(); });
    }

    void stop() override {
        subscription_.stop();
        releaseDelayInhibitor();
    }

    unsigned currentCapabilities() override { return asleep_ ? kSleepAnnouncement : kFullWake; }

    void acknowledge(const std::optional<WakeRequest>& request) override {
        if (!asleep_) {
            return; // wakes need no answer
        }
        alarm_.set(request ? std::optional<cal::Date>(request->date) : std::nullopt);
        releaseDelayInhibitor(); // lets the sleep proceed
    }

private:
    // On the queue.
    void prepareForSleep(bool sleeping, const Handler& changed) {
        asleep_ = sleeping;
        if (!sleeping) {
            alarm_.set(std::nullopt);
            takeDelayInhibitor();
        }
        changed(sleeping ? kSleepAnnouncement : kFullWake);
    }

    void takeDelayInhibitor() {
        std::lock_guard guard(delayMutex_);
        if (delay_ < 0) {
            std::string ignored; // without it the machine simply sleeps without waiting
            delay_ = inhibit(connection_, "sleep", productName_,
                             "Collecting wake requests before sleep.", "delay", &ignored);
        }
    }

    void releaseDelayInhibitor() {
        std::lock_guard guard(delayMutex_);
        if (delay_ >= 0) {
            ::close(delay_);
            delay_ = -1;
        }
    }

    bus::Connection connection_;
    const std::string productName_;
    WakeAlarm alarm_;
    std::mutex delayMutex_;
    int delay_ = -1; // guarded by delayMutex_
    std::atomic<bool> asleep_{false};
    Subscribed subscription_{connection_};
};

class LogindUserActivity final : public UserActivitySource {
public:
    LogindUserActivity(BusOpener bus, bool passiveKnown)
        : connection_(std::move(bus)), passiveKnown_(passiveKnown) {}
    ~LogindUserActivity() override { stop(); }

    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        // Sessions come and go, their idle hints change (session objects), and inhibitors
        // change (the manager's BlockInhibited property).
        return subscription_.start(
            {"type='signal',sender='org.freedesktop.login1',"
             "interface='org.freedesktop.login1.Manager',member='SessionNew'",
             "type='signal',sender='org.freedesktop.login1',"
             "interface='org.freedesktop.login1.Manager',member='SessionRemoved'",
             "type='signal',sender='org.freedesktop.login1',"
             "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
             "path_namespace='/org/freedesktop/login1'"},
            queue,
            [this, changed = std::move(changed)](sd_bus_message*) -> dispatch::Work {
                return [this, changed] {
                    changed(current());
                };
            },
            error);
    }

    void stop() override { subscription_.stop(); }

    UserActivity current() override {
        std::vector<Session> sessions;
        std::vector<Inhibitor> inhibitors;
        std::string error;
        if (!listSessions(connection_, &sessions, &error) ||
            !listInhibitors(connection_, &inhibitors, &error)) {
            // Unreadable: idle, except for the older variant, which counts it as active.
            return passiveKnown_ ? UserActivity::Idle : UserActivity::Active;
        }
        return userActivityFrom(sessions, inhibitors, passiveKnown_);
    }

private:
    bus::Connection connection_;
    const bool passiveKnown_;
    Subscribed subscription_{connection_};
};

class LogindSleepPreventers final : public SleepPreventerSource {
public:
    explicit LogindSleepPreventers(BusOpener bus) : connection_(std::move(bus)) {}

    bool copyHolds(std::vector<SleepHold>* holds, std::string* error) override {
        std::vector<Inhibitor> inhibitors;
        if (!listInhibitors(connection_, &inhibitors, error)) {
            return false;
        }
        *holds = sleepHoldsFrom(inhibitors, paths::path("/proc"));
        return true;
    }

private:
    bus::Connection connection_;
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
        // An idle block keeps the machine from idle sleep; a sleep the user asks for still
        // happens.
        const int fd = inhibit(connection_, "idle", name, details, "block", text);
        if (fd < 0) {
            return 0;
        }
        std::lock_guard guard(mutex_);
        const std::uint32_t id = nextId_++;
        held_.emplace(id, fd);
        return id;
    }

    void release(std::uint32_t id) override {
        std::lock_guard guard(mutex_);
        if (auto it = held_.find(id); it != held_.end()) {
            ::close(it->second);
            held_.erase(it);
        }
    }

private:
    bus::Connection connection_;
    std::mutex mutex_;
    std::map<std::uint32_t, int> held_; // guarded by mutex_
    std::uint32_t nextId_ = 1;
};

} // namespace

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

bool readSessions(bus::Connection& connection, std::vector<Session>* sessions, std::string* error) {
    return listSessions(connection, sessions, error);
}

} // namespace machine::logind
