#include "tools/kbeactivity/Session.h"

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "platform/calendar/DateFormatter.h"
#include "platform/calendar/TimeZones.h"
#include "platform/machine-sim/SimulatedFiles.h"
#include "platform/machine-sim/SimulatedMachine.h"
#include "platform/machine-sim/SimulatedSources.h"
#include "platform/machine-linux/LinuxReadings.h"
#include "platform/paths/Paths.h"
#include "platform/plist/Value.h"
#include "platform/syslog/SystemLog.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <syslog.h>
#include <unistd.h>

namespace kbeactivity {
namespace {

// The local time the "now" command adds outside UTC.
constexpr const char* kLocalTimePattern = "yyyy-MM-dd HH:mm:ss xx";
// Time to wait for the answer to a sleep announcement on the real clock.
constexpr auto kSleepAnswerTimeout = std::chrono::seconds(10);

// A line that happened at the current (possibly virtual) time.
void printEvent(std::string_view text) {
    printLine("[" + dateText(VRNDateNow()) + "] " + std::string(text));
}

// The level a log line was logged at, from the system log priority it was sent with.
const char* levelName(int priority) {
    switch (priority) {
    case LOG_ERR:
        return "error";
    case LOG_INFO:
        return "info";
    case LOG_DEBUG:
        return "debug";
    default:
        return "default";
    }
}

// Every log line of the process, debug included, on standard output as it is logged;
// with `levels`, each after its level in angle brackets.
class StandardOutputLog final : public systemlog::Backend {
public:
    explicit StandardOutputLog(bool levels) : levels_(levels) {}
    void journal(int priority, std::string_view message, std::string_view,
                 std::string_view) override {
        print(priority, message);
    }
    void syslog(int priority, std::string_view message) override { print(priority, message); }

private:
    void print(int priority, std::string_view message) const {
        printEvent(levels_ ? "<" + std::string(levelName(priority)) + "> " + std::string(message)
                           : std::string(message));
    }

    const bool levels_;
};

const char* resultName(unsigned long result) {
    switch (result) {
    case VRNActivityResultFinished:
        return "finished";
    case VRNActivityResultFailed:
        return "failed";
    default:
        return "deferred";
    }
}

std::string durationText(dispatch::Duration duration) {
    const long seconds = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
    for (auto [unit, name] : {std::pair{86400L, 'd'}, {3600L, 'h'}, {60L, 'm'}}) {
        if (seconds != 0 && seconds % unit == 0) {
            return std::to_string(seconds / unit) + name;
        }
    }
    return std::to_string(seconds) + "s";
}

std::function<std::uint32_t()> randomDraws(const std::optional<double>& fixedDraw) {
    if (fixedDraw) {
        const std::uint32_t draw = drawForFraction(*fixedDraw);
        return [draw] {
            return draw;
        };
    }
    auto generator = std::make_shared<std::mt19937>(std::random_device{}());
    auto mutex = std::make_shared<std::mutex>();
    return [generator, mutex] {
        std::lock_guard lock(*mutex);
        return static_cast<std::uint32_t>((*generator)());
    };
}

} // namespace

void printLine(std::string_view line) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Session::Session(const Options& options, dispatch::VirtualClock* clock)
    : _options(options), _clock(clock) {}

std::unique_ptr<Session> Session::start(const Options& options, dispatch::VirtualClock* clock,
                                        std::string* error) {
    const std::filesystem::path storeFile =
        paths::path("/Library/Preferences/" + std::string(VRNActivityManager::kDomain) + ".plist");
    std::error_code ec;
    std::filesystem::create_directories(storeFile.parent_path(), ec);
    if (ec) {
        *error = "cannot create " + storeFile.parent_path().string() + ": " + ec.message();
        return nullptr;
    }
    if (!machine::sim::ensureFolder(machine::sim::folder(), error)) {
        return nullptr;
    }
    systemlog::setBackend(new StandardOutputLog(options.levels));
    VRNLOG_UNIFIED = true;

    std::unique_ptr<Session> session(new Session(options, clock));
    session->_calendar = cal::Calendar::create(options.timeZone, error);
    session->_localTime =
        cal::DateFormatter::withPattern(kLocalTimePattern, "en_US_POSIX", std::nullopt, error);
    if (!session->_calendar || !session->_localTime) {
        return nullptr;
    }
    cal::SystemTimeZone::set(options.timeZone);
    // Unless told otherwise: on the virtual clock the machine has just booted; on the real
    // one it booted when the kernel says.
    std::optional<cal::Date> bootDate = options.bootDate;
    if (!bootDate && !options.bootDateUnavailable) {
        bootDate =
            clock ? std::optional<cal::Date>(VRNDateNow()) : VRNActivityManager::readBootDate();
    }
    const VRNEnvironment& environment = VRNEnvironment::shared();
    session->_store = std::make_unique<VRNActivityManager>(
        environment,
        std::make_shared<prefs::Domain>(VRNActivityManager::kDomain, storeFile.string()),
        *session->_calendar, bootDate);
    // The history comes from the command line alone.
    for (const char* key : {"LastRun", "LastTry", "Submitted"}) {
        session->_store->removeObjectForKey(key, options.identifier);
    }
    machine::SourceOptions sourceOptions;
    sourceOptions.productName = "kbeactivity";
    session->_events = std::make_unique<VRNSystemEventsManager>(
        environment, environment.requireMachine().createSources(sourceOptions), ::getpid());

    session->_activity = VRNActivity::initWithIdentifier(
        options.identifier,
        {session->_store.get(), session->_events.get(),
         &environment.requireMachine().powerAssertions(), environment.notifications.get(),
         randomDraws(options.fixedDraw), environment.logicQueue});
    if (options.lastRun) {
        session->_activity->setDate(*options.lastRun, VRNActivityResultFinished);
    }
    if (options.lastTry) {
        session->_activity->setDate(*options.lastTry, VRNActivityResultFailed);
    }
    if (options.submitted) {
        session->_activity->setSubmittedDate(*options.submitted);
    }
    session->_activity->setCriteria(options.criteria);
    session->schedule();
    session->settle();
    return session;
}

void Session::schedule() {
    auto queue = dispatch::SerialQueue::create("com.vornhal.kbeactivity.work");
    const unsigned long result = _options.result;
    const dispatch::Duration workTime = _options.workTime;
    _activity->scheduleWithQueue(
        queue, [queue, result, workTime](VRNActivity::CompletionHandler done) {
            printEvent(std::string("work: started; reports ") + resultName(result) + " after " +
                       durationText(workTime) + ".");
            dispatch::after(workTime, queue, [done, result] {
                printEvent(std::string("work: reports ") + resultName(result) + ".");
                done(result);
            });
        });
}

void Session::settle() {
    if (_clock) {
        _clock->drain();
    }
}

bool Session::run(const Command& command) {
    std::string error;
    switch (command.kind) {
    case Command::Kind::Info:
        printLine(plist::description(plist::Value(_activity->information())));
        break;
    case Command::Kind::Set:
        if (!machine::sim::SimulatedMachine().setState(command.words[0], command.words[1],
                                                       &error)) {
            printLine("kbeactivity: " + error);
        }
        break;
    case Command::Kind::Sleep:
        sleep();
        break;
    case Command::Kind::Wake:
        announce(machine::kFullWake);
        break;
    case Command::Kind::DarkWake:
        announce(machine::kDarkWakeWithBackgroundTasks);
        break;
    case Command::Kind::HoldAdd:
    case Command::Kind::HoldRemove:
        hold(command);
        break;
    case Command::Kind::AssertAdd:
        _activity->addAssertion(command.words[0]);
        break;
    case Command::Kind::AssertRemove:
        _activity->removeAssertion(command.words[0]);
        break;
    case Command::Kind::Criteria:
        _activity->setCriteria(command.criteria);
        break;
    case Command::Kind::Schedule:
        schedule();
        break;
    case Command::Kind::Unschedule:
        _activity->unschedule();
        break;
    case Command::Kind::Submitted:
        _activity->setSubmittedDate(command.date.value_or(VRNDateNow()));
        break;
    case Command::Kind::Record:
        _activity->setDate(command.date.value_or(VRNDateNow()), command.result);
        break;
    case Command::Kind::TimeZone:
        changeTimeZone(command.words[0]);
        break;
    case Command::Kind::Advance:
        advance(command.duration);
        break;
    case Command::Kind::Now:
        now();
        break;
    case Command::Kind::Help:
        printLine(commandsText());
        break;
    case Command::Kind::Quit:
        return false;
    }
    settle();
    return true;
}

void Session::announce(unsigned capabilities) {
    std::string error;
    if (!machine::sim::SimulatedMachine().announce(capabilities, &error)) {
        printLine("kbeactivity: " + error);
        return;
    }
    _asleep = capabilities == machine::kSleepAnnouncement;
}

void Session::sleep() {
    machine::sim::SimulatedMachine machine;
    std::string error;
    const auto event = machine.announce(machine::kSleepAnnouncement, &error);
    if (!event) {
        printLine("kbeactivity: " + error);
        return;
    }
    _asleep = true;
    // On the virtual clock the answer is written once the announcement has been handled.
    settle();
    const auto answer = machine.waitForSleepAnswer(
        *event, _clock ? std::chrono::milliseconds(0) : kSleepAnswerTimeout, &error);
    if (!answer) {
        printLine("kbeactivity: " + error);
    } else if (answer->wakeRequest) {
        printEvent("Wake request: " + dateText(answer->wakeRequest->date) +
                   ", reason: " + answer->wakeRequest->reason + ".");
    } else {
        printEvent("No wake request.");
    }
}

void Session::hold(const Command& command) {
    machine::SleepHold hold;
    hold.type = machine::kPreventUserIdleSystemSleep;
    hold.level = machine::kHoldLevelOn;
    hold.name = command.words[0];
    hold.pid = command.pid.value_or(::getppid());
    hold.processName = machine::linuxfs::processName("/proc", hold.pid);
    machine::sim::SimulatedMachine machine;
    std::string error;
    const bool done = command.kind == Command::Kind::HoldAdd
                          ? machine.addHold(hold, &error)
                          : machine.removeHold(hold.name, hold.pid, &error);
    if (!done) {
        printLine("kbeactivity: " + (error.empty() ? "no such hold" : error));
    }
}

void Session::changeTimeZone(const std::string& zone) {
    // What the time-zone watcher does when the system changes its zone: the calendar and
    // the process follow it first, then the state store tells the activities.
    std::string error;
    if (!_calendar->setTimeZone(zone, &error)) {
        printLine("kbeactivity: " + error);
        return;
    }
    cal::SystemTimeZone::set(zone);
    _store->systemTimeZoneDidChange();
}

void Session::now() {
    const cal::Date now = VRNDateNow();
    std::string text = dateText(now) + " UTC";
    if (const std::string zone = _calendar->timeZoneId(); zone != "UTC") {
        text += ", " + _localTime->format(now) + " in " + zone;
    }
    printLine(text);
}

void Session::advance(dispatch::Duration duration) {
    if (!_clock) {
        printLine("kbeactivity: advance works only with --virtual; the real clock runs by "
                  "itself.");
        return;
    }
    if (_asleep) {
        // A sleeping machine: the wall clock moves, the monotonic clock stands still.
        _clock->suspend(duration);
    } else {
        _clock->advance(duration);
    }
}

} // namespace kbeactivity
