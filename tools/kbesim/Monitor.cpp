#include "tools/kbesim/Monitor.h"

#include "common/VRNLog.h"
#include "platform/dispatch/Queue.h"
#include "platform/syslog/SystemLog.h"
#include "scheduler/events/VRNSystemEventsManager.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

// Every log line of the process goes to standard output, one per line, as it is logged.
class StandardOutputLog final : public systemlog::Backend {
public:
    void journal(int, std::string_view message, std::string_view, std::string_view) override {
        print(message);
    }
    void syslog(int, std::string_view message) override { print(message); }

private:
    static void print(std::string_view message) {
        std::fwrite(message.data(), 1, message.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
};

struct WakeAnswer {
    double seconds = 0;
    std::string reason;
};

cal::Date now() {
    return cal::now();
}

} // namespace

int monitorCommand(const VRNEnvironment& environment, const std::vector<std::string_view>& args,
                   int (*usage)()) {
    std::optional<WakeAnswer> answer;
    if (args.size() == 2) {
        unsigned seconds = 0;
        const char* end = args[0].data() + args[0].size();
        const auto [at, ec] = std::from_chars(args[0].data(), end, seconds);
        if (ec != std::errc() || at != end || seconds == 0 || args[1].empty()) {
            return usage();
        }
        answer = WakeAnswer{static_cast<double>(seconds), std::string(args[1])};
    } else if (!args.empty()) {
        return usage();
    }

    systemlog::setBackend(new StandardOutputLog);
    VRNLOG_UNIFIED = true; // every level, debug included, reaches the back end

    machine::SourceOptions options = VRNSystemEventsManager::sourceOptions(environment);
    options.productName = "kbesim";
    // Lives until the process is killed.
    auto* manager = new VRNSystemEventsManager(
        environment, environment.requireMachine().createSources(options), ::getpid());
    // Sleep preventers are read when asked: after every change, as an activity would.
    manager->addObserverForEventSet(0x7F, nullptr, [manager](unsigned) { manager->assertions(); });
    manager->addObserverForSleepEventWithQueue(
        nullptr, [answer](std::optional<cal::Date>& date, std::optional<std::string>& reason) {
            if (answer) {
                date = now() + answer->seconds;
                reason = answer->reason;
            }
        });
    manager->assertions();
    std::printf("Monitoring the simulated machine.\n");
    std::fflush(stdout);
    dispatch::parkMainThread();
}
