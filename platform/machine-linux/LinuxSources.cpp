#include "platform/machine-linux/LinuxSources.h"

#include "platform/machine-linux/LinuxFeeds.h"
#include "platform/machine-linux/LinuxReadings.h"
#include "platform/machine-linux/LinuxRoutes.h"
#include "platform/paths/Paths.h"

namespace machine {

namespace {

// The system load from pressure-stall information. A trigger announces the rise; while the
// load is not great a timer reads it again to see it fall, and is disarmed once it is.
std::unique_ptr<SystemLoadSource> pressureLoad(EventFeedFactory events) {
    using Source = FeedStateSource<SystemLoad>;
    return std::make_unique<Source>(
        std::move(events),
        [] { return linuxfs::readSystemLoad(paths::path("/proc/pressure/cpu")); },
        [](const std::shared_ptr<Source::Registration>& running, SystemLoad load) {
            if (load == SystemLoad::Great) {
                running->timer->disarm();
            } else {
                running->timer->schedule(dispatch::afterNow(kPressureRecoveryInterval),
                                         kPressureRecoveryInterval, std::chrono::seconds(1));
            }
        });
}

class ZoneThermal final : public ThermalSource {
public:
    explicit ZoneThermal(EventFeedFactory events)
        : events_(events), source_(std::move(events), [] {
              return linuxfs::readThermalLevel(paths::path("/sys/class/thermal"));
          }) {}

    bool available() override {
        std::lock_guard guard(mutex_);
        if (!available_) {
            std::string ignored;
            available_ = events_(&ignored) != nullptr;
        }
        return *available_;
    }
    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        return source_.start(queue, std::move(changed), error);
    }
    void stop() override { source_.stop(); }
    ThermalLevel current() override { return source_.current(); }

private:
    const EventFeedFactory events_;
    FeedStateSource<ThermalLevel> source_;
    std::mutex mutex_;
    std::optional<bool> available_;
};

// The network type from the default route; its first reading follows start() on the queue.
class RouteNetworkType final : public NetworkTypeSource {
public:
    explicit RouteNetworkType(EventFeedFactory events)
        : source_(std::move(events), [] { return read(); }) {}

    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        if (!source_.start(queue, std::move(changed), error)) {
            return false;
        }
        source_.deliverSoon();
        return true;
    }
    void stop() override { source_.stop(); }
    NetworkType current() override { return read(); }

private:
    static NetworkType read() {
        return linuxroutes::readNetworkType(paths::path("/sys/class/net"));
    }

    FeedStateSource<NetworkType> source_;
};

} // namespace

LinuxSeams LinuxSeams::system() {
    LinuxSeams seams;
    seams.powerSupplyEvents = linuxfeeds::udev("power_supply");
    seams.pressureEvents =
        linuxfeeds::pressureTrigger(paths::path("/proc/pressure/cpu"), kPressureTrigger);
    seams.thermalEvents = linuxfeeds::thermalNetlink();
    seams.routeEvents = linuxfeeds::routeChanges();
    return seams;
}

Sources createLinuxSources(const SourceOptions& options, LinuxSeams seams) {
    Sources sources;
    sources.userActivity = logind::createUserActivity(seams.bus, options.passiveUserActivity);
    sources.systemLoad = pressureLoad(std::move(seams.pressureEvents));
    sources.thermal = std::make_unique<ZoneThermal>(std::move(seams.thermalEvents));
    sources.powerSource =
        std::make_unique<FeedStateSource<PowerSource>>(std::move(seams.powerSupplyEvents), [] {
            return linuxfs::readPowerSource(paths::path("/sys/class/power_supply"));
        });
    sources.powerState = logind::createPowerState(seams.bus, options, std::move(seams.wakeTimers));
    sources.sleepPreventers = logind::createSleepPreventers(seams.bus);
    sources.networkType = std::make_unique<RouteNetworkType>(std::move(seams.routeEvents));
    return sources;
}

std::unique_ptr<PowerAssertions> createLinuxPowerAssertions(LinuxSeams seams) {
    return logind::createPowerAssertions(std::move(seams.bus));
}

std::shared_ptr<Machine> createLinuxMachine() {
    return makeMachine(
        "linux", [](const SourceOptions& options) { return createLinuxSources(options); },
        [] { return createLinuxPowerAssertions(); });
}

} // namespace machine
