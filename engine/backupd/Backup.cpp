#include "engine/backupd/Backup.h"

#include "common/VRNLog.h"
#include "engine/core/Child.h"
#include "engine/core/EngineFiles.h"
#include "engine/core/Preferences.h"
#include "engine/core/Restic.h"
#include "engine/core/RunState.h"
#include "platform/calendar/Date.h"
#include "platform/dispatch/Time.h"
#include "platform/machine/MachineState.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace backupd {

namespace {

// A line of restic's output longer than this is dropped (no real one comes near it).
constexpr std::size_t kMaxLineLength = 1 << 20;
// The status file is rewritten at most this often while restic reports progress.
constexpr std::chrono::milliseconds kStatusInterval{500};

using LineHandler = std::function<void(const std::string& line)>;

// Splits a stream into lines as it arrives.
class LineReader {
public:
    explicit LineReader(LineHandler handler) : handler_(std::move(handler)) {}

    void add(const char* bytes, std::size_t count) {
        buffer_.append(bytes, count);
        std::size_t start = 0;
        for (std::size_t end; (end = buffer_.find('\n', start)) != std::string::npos;
             start = end + 1) {
            if (!dropping_) {
                handler_(buffer_.substr(start, end - start));
            }
            dropping_ = false;
        }
        buffer_.erase(0, start);
        if (buffer_.size() > kMaxLineLength) {
            buffer_.clear();
            dropping_ = true;
        }
    }

    void finish() {
        if (!buffer_.empty() && !dropping_) {
            handler_(buffer_);
        }
        buffer_.clear();
    }

private:
    LineHandler handler_;
    std::string buffer_;
    bool dropping_ = false;
};

struct ResticRun {
    bool started = false;
    int status = -1;
    bool stopped = false;
    std::string failure;
};

// Runs restic with its output and errors handed over line by line. When a stop signal
// arrives restic gets SIGINT, the only signal on which it cleans up (removes its lock,
// finishes the pack it writes), and is waited for.
ResticRun runRestic(const engine::Command& command, int stopSignals, bool* stopRequested,
                    const LineHandler& onOutput, const LineHandler& onError) {
    ResticRun run;
    engine::Child child;
    if (!child.start(command, {}, &run.failure)) {
        return run;
    }
    run.started = true;
    if (*stopRequested) {
        child.signal(SIGINT);
    }
    LineReader readers[2] = {LineReader(onOutput), LineReader(onError)};
    pollfd watched[3] = {{child.output().get(), POLLIN, 0},
                         {child.errors().get(), POLLIN, 0},
                         {stopSignals, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(watched, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) {
                continue;
            }
            char chunk[16384];
            const ssize_t n = ::read(watched[i].fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                readers[i].finish();
                watched[i].fd = -1;
                --open;
                continue;
            }
            readers[i].add(chunk, static_cast<std::size_t>(n));
        }
        if (watched[2].revents != 0) {
            signalfd_siginfo info{};
            if (::read(stopSignals, &info, sizeof info) == sizeof info && !*stopRequested) {
                *stopRequested = true;
                child.signal(SIGINT);
                VRNLog(VRNLogLevelDefault, "Stopping backup.");
            }
        }
    }
    run.status = child.wait();
    run.stopped = *stopRequested;
    return run;
}

std::optional<nlohmann::json> parseObject(const std::string& line) {
    nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object()) {
        return std::nullopt;
    }
    return value;
}

std::int64_t integerField(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return 0;
    }
    if (found->is_number_integer() || found->is_number_unsigned()) {
        return found->get<std::int64_t>();
    }
    return found->is_number() ? static_cast<std::int64_t>(found->get<double>()) : 0;
}

std::string byteCount(std::int64_t bytes) {
    static constexpr const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1000 && unit < 4) {
        value /= 1000;
        ++unit;
    }
    char text[48];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

class Run {
public:
    Run(const Options& options, int stopSignals) : options_(options), stopSignals_(stopSignals) {}

    int perform(machine::PowerAssertions& assertions) {
        status_.insert_or_assign(engine::kRunningKey, plist::Value(true));
        status_.insert_or_assign(engine::kPIDKey,
                                 plist::Value(static_cast<std::int64_t>(::getpid())));
        setPhase("Starting");
        if (options_.automatic) {
            VRNLog(VRNLogLevelDefault, "Starting automatic backup");
        } else {
            VRNLog(VRNLogLevelDefault, "Starting manual backup");
        }
        const double started = cal::now();

        const std::optional<std::string> repository = preferences_.repository();
        const std::optional<std::string> destination = preferences_.lastDestinationID();
        if (!repository || !destination) {
            return finish(kResultNoDestination,
                          "Backup failed: no destination is set (tmutil setdestination).", started);
        }

        std::string problem;
        const std::uint32_t hold = assertions.create(machine::kBackgroundTask, "com.apple.backupd",
                                                     "Backing up to " + *repository, &problem);
        if (hold == 0) {
            VRNLog(VRNLogLevelInfo, "Could not keep the machine awake: %@", problem);
        }
        const int result = backUp(*repository);
        // The result first: once the status file tells the end, the preferences show it.
        if (!preferences_.recordResult(*destination, result, cal::now(), &problem)) {
            VRNLog(VRNLogLevelError, "Could not record the backup's result: %@", problem);
        }
        assertions.release(hold);
        return finish(result, message_, started);
    }

private:
    int backUp(const std::string& repository) {
        VRNLog(VRNLogLevelDefault, "Backing up to %@", repository);
        const std::vector<std::string> folders = preferences_.includedFolders();
        VRNLog(VRNLogLevelDefault, "Backing up %@", joined(folders));

        std::vector<std::string> command = {"backup", "--json", "--exclude-caches"};
        std::vector<std::string> exclusions = preferences_.exclusions();
        if (std::string folder; engine::isLocalRepository(repository, &folder)) {
            exclusions.push_back(folder);
        }
        for (const std::string& pattern : exclusions) {
            command.insert(command.end(), {"--exclude", pattern});
        }
        command.push_back("--");
        command.insert(command.end(), folders.begin(), folders.end());

        setPhase("Copying");
        std::string lastError;
        const ResticRun backup = runRestic(
            engine::resticCommand(repository, command), stopSignals_, &stopRequested_,
            [this](const std::string& line) { progress(line); },
            [this, &lastError](const std::string& line) { errorLine(line, &lastError); });
        if (!backup.started) {
            message_ = "Backup failed: " + backup.failure;
            return kResultNotStarted;
        }
        if (backup.stopped) {
            message_ = "Backup canceled.";
            return kResultCanceled;
        }
        if (backup.status != engine::kResticSuccess && backup.status != engine::kResticIncomplete) {
            message_ = "Backup failed: " + (lastError.empty() ? "restic exited with status " +
                                                                    std::to_string(backup.status)
                                                              : lastError);
            return kResultFailed;
        }
        if (backup.status == engine::kResticIncomplete || unreadable_ > 0) {
            VRNLog(VRNLogLevelDefault, "Backup warning: %lld files could not be read.",
                   static_cast<long long>(unreadable_));
        }
        if (options_.rotation) {
            return rotate(repository);
        }
        message_ = "Backup completed successfully.";
        return kResultSuccess;
    }

    int rotate(const std::string& repository) {
        setPhase("ThinningPostBackup");
        VRNLog(VRNLogLevelDefault, "Thinning backups.");
        std::vector<std::vector<std::string>> steps = {{"unlock"}, {"forget", "--prune"}};
        steps[1].insert(steps[1].end(), engine::kRotationPolicy.begin(),
                        engine::kRotationPolicy.end());
        for (const std::vector<std::string>& step : steps) {
            std::string lastError;
            std::string removed;
            const ResticRun run = runRestic(
                engine::resticCommand(repository, step), stopSignals_, &stopRequested_,
                [](const std::string&) {},
                [&lastError](const std::string& line) {
                    if (!line.empty()) {
                        lastError = line;
                    }
                });
            if (run.stopped) {
                message_ = "Backup canceled.";
                return kResultCanceled;
            }
            if (!run.started || run.status != 0) {
                message_ = "Thinning failed: " + (run.started ? lastError.empty()
                                                                    ? "restic exited with status " +
                                                                          std::to_string(run.status)
                                                                    : lastError
                                                              : run.failure);
                return kResultRotationFailed;
            }
        }
        VRNLog(VRNLogLevelDefault, "Thinning finished.");
        message_ = "Backup completed successfully.";
        return kResultSuccess;
    }

    // restic's progress and summary (one JSON object a line).
    void progress(const std::string& line) {
        const std::optional<nlohmann::json> object = parseObject(line);
        if (!object) {
            return;
        }
        const std::string type = object->value("message_type", "");
        if (type == "summary") {
            summary_ = *object;
            return;
        }
        if (type != "status") {
            return;
        }
        status_.insert_or_assign(engine::kPercentKey,
                                 plist::Value(object->value("percent_done", 0.0)));
        status_.insert_or_assign(engine::kFilesDoneKey,
                                 plist::Value(integerField(*object, "files_done")));
        status_.insert_or_assign(engine::kTotalFilesKey,
                                 plist::Value(integerField(*object, "total_files")));
        status_.insert_or_assign(engine::kBytesDoneKey,
                                 plist::Value(integerField(*object, "bytes_done")));
        status_.insert_or_assign(engine::kTotalBytesKey,
                                 plist::Value(integerField(*object, "total_bytes")));
        const auto now = dispatch::monotonicNow();
        if (now - lastStatus_ >= kStatusInterval) {
            lastStatus_ = now;
            saveStatus();
        }
    }

    // restic's errors: JSON objects for the files it could not read, plain text otherwise.
    void errorLine(const std::string& line, std::string* lastError) {
        if (line.empty()) {
            return;
        }
        if (const std::optional<nlohmann::json> object = parseObject(line)) {
            if (object->value("message_type", "") == "error") {
                ++unreadable_;
                VRNLog(VRNLogLevelInfo, "Could not read %@",
                       object->value("item", std::string("(unknown)")));
            }
            return;
        }
        *lastError = line;
    }

    int finish(int result, const std::string& message, double started) {
        VRNLog(result == kResultSuccess ? VRNLogLevelDefault : VRNLogLevelError, "%@", message);
        const std::int64_t filesNew = summary_ ? integerField(*summary_, "files_new") : 0;
        const std::int64_t filesChanged = summary_ ? integerField(*summary_, "files_changed") : 0;
        const std::int64_t added = summary_ ? integerField(*summary_, "data_added") : 0;
        const std::int64_t processed =
            summary_ ? integerField(*summary_, "total_files_processed") : 0;
        VRNLog(VRNLogLevelDefault,
               "Backup summary: %lld files (%lld new, %lld changed), %@ added, %.1f seconds.",
               static_cast<long long>(processed), static_cast<long long>(filesNew),
               static_cast<long long>(filesChanged), byteCount(added), cal::now() - started);
        status_.erase(engine::kPercentKey);
        status_.insert_or_assign(engine::kRunningKey, plist::Value(false));
        status_.insert_or_assign(engine::kLastExitKey,
                                 plist::Value(static_cast<std::int64_t>(result)));
        status_.insert_or_assign(engine::kLastMessageKey, plist::Value(message));
        setPhase("Finished");
        return result;
    }

    void setPhase(const char* phase) {
        status_.insert_or_assign(engine::kPhaseKey, plist::Value(phase));
        saveStatus();
    }

    void saveStatus() {
        std::string problem;
        if (!engine::writeStatus(status_, &problem) && !statusProblemTold_) {
            statusProblemTold_ = true;
            VRNLog(VRNLogLevelError, "Could not write the backup status: %@", problem);
        }
    }

    const Options options_;
    const int stopSignals_;
    engine::Preferences preferences_;
    plist::Dictionary status_;
    std::optional<nlohmann::json> summary_;
    std::int64_t unreadable_ = 0;
    bool stopRequested_ = false;
    bool statusProblemTold_ = false;
    std::string message_;
    dispatch::Duration lastStatus_{};
};

} // namespace

int runBackup(const Options& options, int stopSignals, machine::PowerAssertions& assertions) {
    std::string problem;
    const files::Descriptor lock = engine::takeRunLock(&problem);
    if (!lock.valid()) {
        if (problem.empty()) {
            VRNLog(VRNLogLevelDefault, "A backup is already running.");
            return kResultSuccess;
        }
        VRNLog(VRNLogLevelError, "Backup failed: %@", problem);
        return kResultNotStarted;
    }
    return Run(options, stopSignals).perform(assertions);
}

} // namespace backupd
