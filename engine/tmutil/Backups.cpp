// The verbs that start, stop and list backups.

#include "engine/core/Child.h"
#include "engine/core/EngineFiles.h"
#include "engine/core/Preferences.h"
#include "engine/core/Restic.h"
#include "engine/core/RunState.h"
#include "engine/tmutil/Commands.h"
#include "engine/tmutil/Verbs.h"
#include "platform/machine-sim/MachineChoice.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace tmutil {

namespace {

constexpr const char* kBackupUnit = "keelbrook-backupd.service";

// The worker tmutil waits on, to which its own stop requests are passed on.
volatile sig_atomic_t waitedWorker = 0;

void passStopOn(int number) {
    if (waitedWorker > 0) {
        ::kill(static_cast<pid_t>(waitedWorker), number);
    }
}

bool onBattery() {
    const std::shared_ptr<machine::Machine> machine = machine::machineFromEnvironment();
    machine::Sources sources = machine->createSources({});
    return sources.powerSource && sources.powerSource->current() == machine::PowerSource::Battery;
}

// The worker as keelbrook-backupd.service; with `block`, its result once it has ended.
int startUnit(const engine::Request& request, bool block) {
    std::string problem;
    if (!engine::writeRequest(request, &problem)) {
        return fail("cannot hand the options to the backup: " + problem);
    }
    // A result found after the start is then this run's, never an earlier one's.
    ::unlink(engine::statusFile().c_str());
    std::vector<std::string> command = {"/usr/bin/systemctl", "start"};
    if (!block) {
        command.push_back("--no-block");
    }
    command.push_back(kBackupUnit);
    const engine::RunResult run = engine::runToEnd(command);
    if (!run.started) {
        return fail(run.failure);
    }
    if (!block) {
        return run.status == 0 ? 0
                               : fail("cannot start " + std::string(kBackupUnit) + ": " +
                                      engine::lastLine(run.errors));
    }
    // A oneshot unit's start returns when the worker has ended; its status file tells how.
    const auto status = engine::readStatus();
    if (!status || !status->contains(engine::kLastExitKey)) {
        return fail("the backup did not report a result: " + engine::lastLine(run.errors));
    }
    return static_cast<int>(status->at(engine::kLastExitKey).asInteger().value_or(kExitFailure));
}

// The worker as this program's child (no systemd): detached, or waited for with `block`.
int startChild(const engine::Request& request, bool block) {
    std::vector<std::string> command = {engine::backupdProgram()};
    if (request.automatic) {
        command.push_back("--auto");
    }
    if (request.rotation) {
        command.push_back("--rotation");
    }
    engine::Child worker;
    std::string problem;
    if (!block) {
        if (!worker.start(command, {.captureOutput = false, .captureErrors = false, .detach = true},
                          &problem)) {
            return fail(problem);
        }
        // The worker runs on without us; the system reaps it.
        worker.letRunOn();
        return 0;
    }
    if (!worker.start(command, {.captureOutput = false, .captureErrors = false}, &problem)) {
        return fail(problem);
    }
    waitedWorker = worker.pid();
    struct sigaction pass {};
    pass.sa_handler = passStopOn;
    sigemptyset(&pass.sa_mask);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(number, &pass, nullptr);
    }
    const int result = worker.wait();
    waitedWorker = 0;
    return result;
}

// The repository's backups, oldest first, as restic lists them; nullopt after a failure
// was printed.
std::optional<nlohmann::json> snapshots(int* status) {
    const std::optional<std::string> repository = engine::Preferences().repository();
    if (!repository) {
        *status = fail("no destination is set");
        return std::nullopt;
    }
    const engine::RunResult run =
        engine::runToEnd(engine::resticCommand(*repository, {"snapshots", "--json"}));
    if (run.status != 0) {
        *status = fail("cannot list the backups: " +
                       (run.started ? engine::lastLine(run.errors) : run.failure));
        return std::nullopt;
    }
    nlohmann::json list = nlohmann::json::parse(run.output, nullptr, false);
    if (list.is_discarded() || !list.is_array()) {
        *status = fail("cannot list the backups: restic's answer does not parse");
        return std::nullopt;
    }
    return list;
}

void printBackup(const nlohmann::json& snapshot) {
    if (!snapshot.is_object()) {
        return;
    }
    const std::string name = engine::backupName(snapshot.value("time", std::string()));
    const std::string id = snapshot.value("short_id", std::string());
    std::printf("%s  %s\n", name.c_str(), id.c_str());
}

} // namespace

int startBackup(const Arguments& args) {
    engine::Request request;
    bool block = false;
    for (std::string_view arg : args) {
        if (arg == "--auto" || arg == "-a") {
            request.automatic = true;
        } else if (arg == "--rotation") {
            request.rotation = true;
        } else if (arg == "--block" || arg == "-b") {
            block = true;
        } else {
            return usage();
        }
    }
    if (engine::runningWorker()) {
        std::printf("A backup is already running.\n");
        return 0;
    }
    // Absent, the setting counts as set: an automatic backup waits for mains power.
    if (request.automatic && engine::Preferences().boolean(engine::kRequiresACPowerKey, true) &&
        onBattery()) {
        std::fprintf(stderr, "tmutil: backup skipped: the computer is on battery power\n");
        return kExitSkipped;
    }
    return engine::systemdRunning() ? startUnit(request, block) : startChild(request, block);
}

int stopBackup(const Arguments& args) {
    if (!args.empty()) {
        return usage();
    }
    const std::optional<pid_t> worker = engine::runningWorker();
    if (!worker) {
        std::printf("No backup is running.\n");
        return 0;
    }
    // The worker stops restic cleanly and records the backup as failed.
    if (::kill(*worker, SIGTERM) != 0) {
        return fail("cannot stop the backup: " + std::string(std::strerror(errno)));
    }
    return 0;
}

int listBackups(const Arguments& args) {
    if (!args.empty()) {
        return usage();
    }
    int status = 0;
    const std::optional<nlohmann::json> list = snapshots(&status);
    if (!list) {
        return status;
    }
    for (const nlohmann::json& snapshot : *list) {
        printBackup(snapshot);
    }
    return 0;
}

int latestBackup(const Arguments& args) {
    if (!args.empty()) {
        return usage();
    }
    int status = 0;
    const std::optional<nlohmann::json> list = snapshots(&status);
    if (!list) {
        return status;
    }
    if (list->empty()) {
        return fail("no backups yet");
    }
    printBackup(list->back());
    return 0;
}

} // namespace tmutil
