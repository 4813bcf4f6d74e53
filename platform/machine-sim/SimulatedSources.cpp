#include "platform/machine-sim/SimulatedSources.h"

#include "platform/machine-sim/SimulatedFiles.h"
#include "platform/machine-sim/SimulatedMachine.h"
#include "platform/machine-linux/EventFeed.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <unistd.h>

namespace machine {

namespace {

using namespace machine::sim;

template <class State>
std::unique_ptr<FeedStateSource<State>> stateSource() {
    return std::make_unique<FeedStateSource<State>>(fileChanges(stateFile<State>()),
                                                    [] { return readState<State>(); });
}

// A user activity file may say "passive"; an older system reports it as active.
class SimulatedUserActivity final : public UserActivitySource {
public:
    explicit SimulatedUserActivity(bool passiveKnown) : passiveKnown_(passiveKnown) {}

    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        return source_->start(
            queue, [this, changed](UserActivity state) { changed(adjust(state)); }, error);
    }
    void stop() override { source_->stop(); }
    UserActivity current() override { return adjust(source_->current()); }

private:
    UserActivity adjust(UserActivity state) const {
        return state == UserActivity::Passive && !passiveKnown_ ? UserActivity::Active : state;
    }

    const bool passiveKnown_;
    const std::unique_ptr<FeedStateSource<UserActivity>> source_ = stateSource<UserActivity>();
};

class SimulatedThermal final : public ThermalSource {
public:
    bool available() override {
        std::string ignored;
        const auto file = readDictionary(filePath(stateFile<ThermalLevel>()), &ignored);
        const plist::Value* flag = file ? file->find(kAvailableKey) : nullptr;
        return !flag || flag->asBoolean().value_or(true);
    }
    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        return source_->start(queue, std::move(changed), error);
    }
    void stop() override { source_->stop(); }
    ThermalLevel current() override { return source_->current(); }

private:
    const std::unique_ptr<FeedStateSource<ThermalLevel>> source_ = stateSource<ThermalLevel>();
};

// The network type's first reading follows start(), as on the real system.
class SimulatedNetworkType final : public NetworkTypeSource {
public:
    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        if (!source_->start(queue, changed, error)) {
            return false;
        }
        queue->async([changed] { changed(readState<NetworkType>()); });
        return true;
    }
    void stop() override { source_->stop(); }
    NetworkType current() override { return source_->current(); }

private:
    const std::unique_ptr<FeedStateSource<NetworkType>> source_ = stateSource<NetworkType>();
};

// One capability change as the file records it.
struct CapabilityEvent {
    std::int64_t event = 0;
    unsigned capabilities = kFullWake;
};

CapabilityEvent readCapabilities() {
    std::string ignored;
    CapabilityEvent result;
    if (const auto file = readDictionary(filePath(kCapabilitiesFile), &ignored)) {
        const plist::Value value(*file);
        if (const auto* event = value.find("Event")) {
            result.event = event->asInteger().value_or(0);
        }
        if (const auto* bits = value.find("Capabilities")) {
            result.capabilities =
                static_cast<unsigned>(bits->asInteger().value_or(kFullWake)) & kFullWake;
        }
    }
    return result;
}

// Each new event in the capabilities file is one change; a sleep announcement (0) is
// answered in the sleep answer file with the same event number.
class SimulatedPowerState final : public PowerStateSource {
public:
    bool start(const dispatch::QueuePtr& queue, Handler changed, std::string* error) override {
        {
            std::lock_guard guard(mutex_);
            last_ = readCapabilities();
        }
        return source_.start(
            queue,
            [this, changed](CapabilityEvent reading) {
                {
                    std::lock_guard guard(mutex_);
                    if (reading.event == last_.event) {
                        return;
                    }
                    last_ = reading;
                }
                changed(reading.capabilities);
            },
            error);
    }
    void stop() override { source_.stop(); }
    unsigned currentCapabilities() override { return readCapabilities().capabilities; }

    void acknowledge(const std::optional<WakeRequest>& request) override {
        CapabilityEvent answered;
        {
            std::lock_guard guard(mutex_);
            answered = last_;
        }
        if (answered.capabilities != kSleepAnnouncement) {
            return;
        }
        plist::Dictionary answer{{"Event", answered.event}};
        if (request) {
            answer.emplace("WakeDate", plist::Date{request->date});
            answer.emplace("WakeReason", request->reason);
        }
        std::string ignored; // a simulated machine nobody watches sleeps all the same
        writeFile(filePath(kSleepAnswerFile), plist::Value(std::move(answer)), &ignored);
    }

private:
    FeedStateSource<CapabilityEvent> source_{fileChanges(kCapabilitiesFile), readCapabilities};
    std::mutex mutex_;
    CapabilityEvent last_;
};

class SimulatedSleepPreventers final : public SleepPreventerSource {
public:
    bool copyHolds(std::vector<SleepHold>* holds, std::string* error) override {
        holds->clear();
        auto listed = SimulatedMachine().holds(error);
        if (!listed) {
            return false;
        }
        *holds = std::move(*listed);
        return true;
    }
};

class SimulatedPowerAssertions final : public PowerAssertions {
public:
    std::uint32_t create(std::string_view type, std::string_view name, std::string_view details,
                         std::string* error) override {
        if (type != kPreventUserIdleSystemSleep && type != kBackgroundTask) {
            if (error) {
                *error = "unknown power assertion type " + std::string(type);
            }
            return 0;
        }
        std::lock_guard guard(mutex_);
        const std::uint32_t id = nextId_++;
        held_[id] = {std::string(type), std::string(name), std::string(details)};
        if (!record(error)) {
            held_.erase(id);
            return 0;
        }
        return id;
    }

    void release(std::uint32_t id) override {
        std::lock_guard guard(mutex_);
        if (held_.erase(id) > 0) {
            std::string ignored;
            record(&ignored);
        }
    }

private:
    struct Held {
        std::string type, name, details;
    };

    // Rewrites this process's file; removes it when nothing is held.
    bool record(std::string* error) {
        const std::string path = assertionsFolder() + "/" + std::to_string(::getpid()) + ".plist";
        if (held_.empty()) {
            std::remove(path.c_str());
            return true;
        }
        plist::Array list;
        for (const auto& [id, held] : held_) {
            list.push_back(plist::Dictionary{{"AssertID", static_cast<std::int64_t>(id)},
                                             {"AssertType", held.type},
                                             {"AssertName", held.name},
                                             {"Details", held.details}});
        }
        // The kernel's name of the process: at most 16 bytes and a newline.
        const auto comm =
            files::readFile("/proc/self/comm", 64).value_or(std::vector<std::uint8_t>{});
        const std::string processName(comm.begin(), std::find(comm.begin(), comm.end(), '\n'));
        return writeFile(
            path, plist::Dictionary{{"Process Name", processName}, {"Assertions", list}}, error);
    }

    std::mutex mutex_;
    std::map<std::uint32_t, Held> held_;
    std::uint32_t nextId_ = 1;
};

} // namespace

Sources createSimulatedSources(const SourceOptions& options) {
    Sources sources;
    sources.userActivity = std::make_unique<SimulatedUserActivity>(options.passiveUserActivity);
    sources.systemLoad = stateSource<SystemLoad>();
    sources.thermal = std::make_unique<SimulatedThermal>();
    sources.powerSource = stateSource<PowerSource>();
    sources.powerState = std::make_unique<SimulatedPowerState>();
    sources.sleepPreventers = std::make_unique<SimulatedSleepPreventers>();
    sources.networkType = std::make_unique<SimulatedNetworkType>();
    return sources;
}

std::unique_ptr<PowerAssertions> createSimulatedPowerAssertions() {
    return std::make_unique<SimulatedPowerAssertions>();
}

std::shared_ptr<Machine> createSimulatedMachine() {
    return makeMachine("simulated", createSimulatedSources, createSimulatedPowerAssertions);
}

} // namespace machine
