// kbesim: drives the simulated machine (KEELBROOK_PLATFORM=simulated) through its files.

#include "common/VRNEnvironment.h"
#include "platform/machine-sim/SimulatedMachine.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "platform/machine-linux/LinuxReadings.h"
#include "platform/paths/Paths.h"
#include "platform/plist/Value.h"
#include "tools/kbesim/Monitor.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

using machine::sim::SimulatedMachine;

constexpr int kUsageStatus = 1;
constexpr int kFailureStatus = 2;

int usage() {
    std::string text = "usage: kbesim set STATE VALUE\n"
                       "       kbesim sleep [TIMEOUT-SECONDS]\n"
                       "       kbesim wake [full | dark | dark-no-tasks]\n"
                       "       kbesim hold add TYPE LEVEL NAME PID [PROCESS-NAME]\n"
                       "       kbesim hold remove NAME PID\n"
                       "       kbesim holds\n"
                       "       kbesim assertions\n"
                       "       kbesim monitor [WAKE-IN-SECONDS WAKE-REASON]\n"
                       "states and their values:\n";
    for (const auto& [state, values] : SimulatedMachine::stateNames()) {
        text += "       " + state + ":";
        for (const auto& value : values) {
            text += " " + value;
        }
        text += "\n";
    }
    std::fputs(text.c_str(), stderr);
    return kUsageStatus;
}

int failed(const std::string& error) {
    std::fprintf(stderr, "kbesim: %s\n", error.c_str());
    return kFailureStatus;
}

template <class Number>
bool parseNumber(std::string_view text, Number* value) {
    const char* end = text.data() + text.size();
    auto [at, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && at == end && !text.empty();
}

std::string dateText(cal::Date date) {
    return plist::description(plist::Value(plist::Date{date}));
}

bool knownState(std::string_view state, std::string_view value) {
    for (const auto& [name, values] : SimulatedMachine::stateNames()) {
        if (name == state) {
            for (const auto& known : values) {
                if (machine::equalIgnoringCase(known, value)) {
                    return true;
                }
            }
        }
    }
    return false;
}

int sleepCommand(const std::vector<std::string_view>& args) {
    unsigned seconds = 10;
    if (args.size() > 1 ||
        (args.size() == 1 && (!parseNumber(args[0], &seconds) || seconds == 0))) {
        return usage();
    }
    SimulatedMachine machine;
    std::string error;
    const auto event = machine.announce(machine::kSleepAnnouncement, &error);
    if (!event) {
        return failed(error);
    }
    const auto answer = machine.waitForSleepAnswer(*event, std::chrono::seconds(seconds), &error);
    if (!answer) {
        return failed(error);
    }
    if (answer->wakeRequest) {
        std::printf("Wake request: %s, reason: %s\n", dateText(answer->wakeRequest->date).c_str(),
                    answer->wakeRequest->reason.c_str());
    } else {
        std::printf("No wake request.\n");
    }
    return 0;
}

int wakeCommand(const std::vector<std::string_view>& args) {
    unsigned bits = machine::kFullWake;
    if (args.size() > 1) {
        return usage();
    }
    if (args.size() == 1) {
        if (args[0] == "dark") {
            bits = machine::kDarkWakeWithBackgroundTasks;
        } else if (args[0] == "dark-no-tasks") {
            bits = machine::kDarkWake;
        } else if (args[0] != "full") {
            return usage();
        }
    }
    std::string error;
    return SimulatedMachine().announce(bits, &error) ? 0 : failed(error);
}

int holdCommand(const std::vector<std::string_view>& args) {
    SimulatedMachine machine;
    std::string error;
    if (!args.empty() && args[0] == "add" && (args.size() == 5 || args.size() == 6)) {
        machine::SleepHold hold;
        hold.type = args[1];
        hold.name = args[3];
        if (hold.type.empty() || !parseNumber(args[2], &hold.level) || hold.level < 0 ||
            hold.level > 255 || !parseNumber(args[4], &hold.pid) || hold.pid <= 0) {
            return usage();
        }
        hold.processName = args.size() == 6 ? std::string(args[5])
                                            : machine::linuxfs::processName("/proc", hold.pid);
        return machine.addHold(hold, &error) ? 0 : failed(error);
    }
    if (!args.empty() && args[0] == "remove" && args.size() == 3) {
        pid_t pid = 0;
        if (!parseNumber(args[2], &pid) || pid <= 0) {
            return usage();
        }
        return machine.removeHold(args[1], pid, &error) ? 0 : failed(error);
    }
    return usage();
}

int holdsCommand() {
    std::string error;
    const auto holds = SimulatedMachine().holds(&error);
    if (!holds) {
        return failed(error);
    }
    for (const auto& hold : *holds) {
        std::printf("%d\t%s\t%s\t%d\t%s\n", static_cast<int>(hold.pid), hold.processName.c_str(),
                    hold.type.c_str(), hold.level, hold.name.c_str());
    }
    return 0;
}

int assertionsCommand() {
    std::string error;
    const auto held = SimulatedMachine().heldAssertions(&error);
    if (!held) {
        return failed(error);
    }
    for (const auto& assertion : *held) {
        std::printf("%d\t%s\t%u\t%s\t%s\t%s\n", static_cast<int>(assertion.pid),
                    assertion.processName.c_str(), assertion.id, assertion.type.c_str(),
                    assertion.name.c_str(), assertion.details.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string rootError;
    if (!paths::rootFromEnvironment(&rootError)) {
        return failed(rootError);
    }
    if (argc < 2) {
        return usage();
    }
    const std::string_view command = argv[1];
    const std::vector<std::string_view> args(argv + 2, argv + argc);
    if (command == "set" && args.size() == 2) {
        if (!knownState(args[0], args[1])) {
            return usage();
        }
        std::string error;
        return SimulatedMachine().setState(args[0], args[1], &error) ? 0 : failed(error);
    }
    if (command == "sleep") {
        return sleepCommand(args);
    }
    if (command == "wake") {
        return wakeCommand(args);
    }
    if (command == "hold") {
        return holdCommand(args);
    }
    if (command == "holds" && args.empty()) {
        return holdsCommand();
    }
    if (command == "assertions" && args.empty()) {
        return assertionsCommand();
    }
    if (command == "monitor") {
        // The composition root of the monitor: the simulated machine it watches.
        VRNEnvironment::install(VRNEnvironment::fromProcess(machine::createSimulatedMachine()));
        return monitorCommand(VRNEnvironment::shared(), args, usage);
    }
    return usage();
}
