// kbeactivity: runs one activity on the simulated machine and lets it be watched and driven
// from standard input.

#include "common/VRNEnvironment.h"
#include "platform/dispatch/VirtualClock.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "platform/paths/Paths.h"
#include "tools/kbeactivity/Options.h"
#include "tools/kbeactivity/Session.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

constexpr int kUsageStatus = 1;
constexpr int kFailureStatus = 2;

std::string_view trimmed(std::string_view line) {
    const auto begin = line.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) {
        return {};
    }
    return line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
}

[[noreturn]] void finish(int status) {
    std::fflush(stdout);
    // The runtime's threads live on; exit() leaves them and their objects alone.
    std::exit(status);
}

} // namespace

int main(int argc, char** argv) {
    kbeactivity::Options options;
    std::string error;
    if (!kbeactivity::parseArguments({argv + 1, argv + argc}, &options, &error)) {
        std::fprintf(stderr, "kbeactivity: %s\n%s", error.c_str(),
                     kbeactivity::usageText().c_str());
        return kUsageStatus;
    }
    // The tool changes the installation's state store: only ever below a root of its own.
    if (!paths::relocatable()) {
        std::fprintf(stderr, "kbeactivity: this build does not honour KEELBROOK_ROOT\n");
        return kUsageStatus;
    }
    const auto root = paths::rootFromEnvironment(&error);
    if (!root || root->empty()) {
        std::fprintf(stderr, "kbeactivity: %s\n",
                     error.empty() ? "KEELBROOK_ROOT must be set to an absolute folder"
                                   : error.c_str());
        return kUsageStatus;
    }
    // In the chosen time zone (UTC unless told).
    setenv("TZ", options.timeZone.c_str(), 1);

    dispatch::VirtualClock* clock = nullptr;
    if (options.virtualClock) {
        const auto realNow = dispatch::wallNow();
        clock = &dispatch::VirtualClock::install();
        clock->setWall(options.start ? std::chrono::duration_cast<dispatch::Duration>(
                                           std::chrono::duration<double>(
                                               cal::unixTimeFromDate(*options.start)))
                                     : realNow);
    }
    // The composition root: the simulated machine, on the clock chosen above.
    VRNEnvironment::install(VRNEnvironment::fromProcess(machine::createSimulatedMachine()));

    // Reading a script, the activity starts at its first command, so that the opening
    // comments are printed before anything the activity logs; at a terminal, at once.
    std::unique_ptr<kbeactivity::Session> session;
    auto startSession = [&] {
        session = kbeactivity::Session::start(options, clock, &error);
        if (!session) {
            std::fprintf(stderr, "kbeactivity: %s\n", error.c_str());
            finish(kFailureStatus);
        }
    };
    if (::isatty(STDIN_FILENO)) {
        startSession();
    }
    for (std::string line; std::getline(std::cin, line);) {
        const std::string_view text = trimmed(line);
        if (text.empty()) {
            continue;
        }
        if (text.front() == '#') {
            if (options.echo) {
                kbeactivity::printLine(text);
            }
            continue;
        }
        if (!session) {
            startSession();
        }
        if (options.echo) {
            kbeactivity::printLine("> " + std::string(text));
        }
        const auto command = kbeactivity::parseCommand(text, &error);
        if (!command) {
            kbeactivity::printLine("kbeactivity: " + error);
        } else if (!session->run(*command)) {
            break;
        }
    }
    if (!session) {
        startSession();
    }
    finish(0);
}
