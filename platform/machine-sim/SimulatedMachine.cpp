#include "platform/machine-sim/SimulatedMachine.h"

#include "platform/machine-sim/SimulatedFiles.h"
#include "platform/plist/Value.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <unistd.h>

namespace machine::sim {

namespace {

template <class State>
std::vector<std::string> lowerNames() {
    std::vector<std::string> names;
    for (const char* name : StateNames<State>::names) {
        std::string lower = name;
        std::ranges::transform(lower, lower.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        names.push_back(lower);
    }
    return names;
}

template <class State>
bool writeState(std::string_view value, std::string* error) {
    const auto state = parseState<State>(value);
    if (!state) {
        *error = "unknown value \"" + std::string(value) + "\"";
        return false;
    }
    return writeFile(filePath(stateFile<State>()),
                     plist::Dictionary{{kStateKey, stateName(*state)}}, error);
}

bool setThermal(std::string_view value, std::string* error) {
    if (equalIgnoringCase(value, "unavailable")) {
        return writeFile(filePath(stateFile<ThermalLevel>()),
                         plist::Dictionary{{kStateKey, stateName(ThermalLevel::Nominal)},
                                           {kAvailableKey, false}},
                         error);
    }
    return writeState<ThermalLevel>(value, error);
}

bool isRunning(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

} // namespace

std::vector<std::pair<std::string, std::vector<std::string>>> SimulatedMachine::stateNames() {
    auto thermal = lowerNames<ThermalLevel>();
    thermal.push_back("unavailable");
    return {{"user-activity", lowerNames<UserActivity>()},
            {"system-load", lowerNames<SystemLoad>()},
            {"thermal", thermal},
            {"power-source", lowerNames<PowerSource>()},
            {"network-type", lowerNames<NetworkType>()}};
}

bool SimulatedMachine::setState(std::string_view state, std::string_view value,
                                std::string* error) {
    if (state == "user-activity") {
        return writeState<UserActivity>(value, error);
    }
    if (state == "system-load") {
        return writeState<SystemLoad>(value, error);
    }
    if (state == "thermal") {
        return setThermal(value, error);
    }
    if (state == "power-source") {
        return writeState<PowerSource>(value, error);
    }
    if (state == "network-type") {
        return writeState<NetworkType>(value, error);
    }
    *error = "unknown state \"" + std::string(state) + "\"";
    return false;
}

std::optional<std::int64_t> SimulatedMachine::announce(unsigned capabilities, std::string* error) {
    FolderLock lock;
    std::string ignored;
    std::int64_t event = 1;
    if (const auto file = readDictionary(filePath(kCapabilitiesFile), &ignored)) {
        if (const auto* last = file->find("Event")) {
            event = last->asInteger().value_or(0) + 1;
        }
    }
    const plist::Dictionary record{{"Capabilities", static_cast<std::int64_t>(capabilities)},
                                   {"Event", event}};
    if (!writeFile(filePath(kCapabilitiesFile), record, error)) {
        return std::nullopt;
    }
    return event;
}

std::optional<SleepAnswer> SimulatedMachine::waitForSleepAnswer(std::int64_t event,
                                                                std::chrono::milliseconds timeout,
                                                                std::string* error) {
    std::string reason;
    auto feed = fileChanges(kSleepAnswerFile)(&reason);
    if (!feed) {
        *error = reason;
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::string ignored;
        if (const auto file = readDictionary(filePath(kSleepAnswerFile), &ignored)) {
            const plist::Value answer(*file);
            const auto* number = answer.find("Event");
            if (number && number->asInteger() == event) {
                SleepAnswer result;
                const auto* date = answer.find("WakeDate");
                const auto* why = answer.find("WakeReason");
                if (date && date->asDate() && why && why->asString()) {
                    result.wakeRequest =
                        WakeRequest{date->asDate()->secondsSinceReferenceDate, *why->asString()};
                }
                return result;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *error = "no answer to the sleep announcement";
            return std::nullopt;
        }
        pollfd wait{feed->fd(), POLLIN, 0};
        ::poll(&wait, 1, static_cast<int>(left.count()));
        feed->drain();
    }
}

std::optional<std::vector<SleepHold>> SimulatedMachine::holds(std::string* error) {
    bool missing = false;
    const auto file = readDictionary(filePath(kSleepHoldsFile), error, &missing);
    if (!file) {
        return missing ? std::optional<std::vector<SleepHold>>(std::vector<SleepHold>())
                       : std::nullopt;
    }
    const plist::Value* list = file->find("Holds");
    if (list == nullptr || !list->isArray()) {
        *error = filePath(kSleepHoldsFile) + ": no \"Holds\" array";
        return std::nullopt;
    }
    std::vector<SleepHold> result;
    for (const auto& entry : *list->asArray()) {
        auto text = [&entry](const char* key) {
            const plist::Value* v = entry.find(key);
            return v && v->asString() ? *v->asString() : std::string();
        };
        auto number = [&entry](const char* key) {
            const plist::Value* v = entry.find(key);
            return v ? v->asInteger().value_or(0) : 0;
        };
        result.push_back(SleepHold{text("AssertType"), static_cast<int>(number("AssertLevel")),
                                   text("AssertName"), static_cast<pid_t>(number("AssertPID")),
                                   text("Process Name")});
    }
    return result;
}

bool SimulatedMachine::writeHolds(const std::vector<SleepHold>& holds, std::string* error) {
    plist::Array list;
    for (const auto& hold : holds) {
        list.push_back(plist::Dictionary{{"AssertType", hold.type},
                                         {"AssertLevel", hold.level},
                                         {"AssertName", hold.name},
                                         {"AssertPID", static_cast<std::int64_t>(hold.pid)},
                                         {"Process Name", hold.processName}});
    }
    return writeFile(filePath(kSleepHoldsFile), plist::Dictionary{{"Holds", list}}, error);
}

bool SimulatedMachine::addHold(const SleepHold& hold, std::string* error) {
    FolderLock lock;
    auto current = holds(error);
    if (!current) {
        return false;
    }
    current->push_back(hold);
    return writeHolds(*current, error);
}

bool SimulatedMachine::removeHold(std::string_view name, pid_t pid, std::string* error) {
    FolderLock lock;
    auto current = holds(error);
    if (!current) {
        return false;
    }
    const auto removed = std::erase_if(
        *current, [&](const SleepHold& hold) { return hold.name == name && hold.pid == pid; });
    if (removed == 0) {
        *error = "no hold named \"" + std::string(name) + "\" of process " + std::to_string(pid);
        return false;
    }
    return writeHolds(*current, error);
}

std::optional<std::vector<HeldAssertion>> SimulatedMachine::heldAssertions(std::string* error) {
    namespace fs = std::filesystem;
    std::vector<HeldAssertion> result;
    std::error_code ec;
    for (fs::directory_iterator it(assertionsFolder(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const fs::path& path = it->path();
        if (path.extension() != ".plist") {
            continue;
        }
        const std::string stem = path.stem().string();
        if (stem.empty() || !std::ranges::all_of(stem, ::isdigit) || stem.size() > 9) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::stol(stem));
        if (!isRunning(pid)) {
            continue; // left behind by a process that ended without releasing
        }
        std::string reason;
        const auto file = readDictionary(path.string(), &reason);
        if (!file) {
            *error = reason;
            return std::nullopt;
        }
        const plist::Value record(*file);
        const auto* processName = record.find("Process Name");
        const auto* list = record.find("Assertions");
        if (list == nullptr || !list->isArray()) {
            continue;
        }
        for (const auto& entry : *list->asArray()) {
            auto text = [&entry](const char* key) {
                const plist::Value* v = entry.find(key);
                return v && v->asString() ? *v->asString() : std::string();
            };
            const auto* id = entry.find("AssertID");
            result.push_back(HeldAssertion{
                pid, processName && processName->asString() ? *processName->asString() : "",
                static_cast<std::uint32_t>(id ? id->asInteger().value_or(0) : 0),
                text("AssertType"), text("AssertName"), text("Details")});
        }
    }
    std::ranges::sort(result, [](const HeldAssertion& a, const HeldAssertion& b) {
        return std::tie(a.pid, a.id) < std::tie(b.pid, b.id);
    });
    return result;
}

} // namespace machine::sim
