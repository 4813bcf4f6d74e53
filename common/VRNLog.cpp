#include "common/VRNLog.h"

#include "common/VRNLogFailure.h"
#include "common/VRNLogFile.h"
#include "common/VRNSystemVersionManager.h"
#include "platform/calendar/DateFormatter.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/paths/Paths.h"
#include "platform/syslog/LogSettings.h"
#include "platform/syslog/SystemLog.h"

#include <chrono>
#include <mutex>
#include <syslog.h>
#include <unistd.h>
#include <vector>

std::atomic<bool> VRNLOG_UNIFIED{false};

namespace {

// What VRNLogInit sets up; created once and never freed.
struct LogState {
    std::string subsystem;
    std::string category;
    pid_t pid = 0;
    // The subsystem's logging mode at start ("log config"): whether debug lines go to the
    // journal. The file gets every line whatever the mode.
    bool debugToJournal = true;
    VRNLogFile* file = nullptr;
};

std::atomic<const LogState*> logState{nullptr};

// Serialises VRNLogInit and the test reset.
std::mutex initLock;

// States a test reset replaced: closed but kept, as a thread may still be writing a line.
std::vector<const LogState*>* retiredStates = new std::vector<const LogState*>;

// Serialises syslog sends; exists from the first one on.
std::atomic<dispatch::LockQueue*> legacyQueue{nullptr};

dispatch::LockQueue& legacyQueueCreatingOnce() {
    static dispatch::LockQueue* const queue = [] {
        auto* created = new dispatch::LockQueue("com.vornhal.vrnlog.asl");
        legacyQueue.store(created, std::memory_order_release);
        return created;
    }();
    return *queue;
}

int journalPriority(int level) {
    switch (level) {
    case VRNLogLevelInfo:
        return LOG_INFO;
    case VRNLogLevelDebug:
        return LOG_DEBUG;
    case VRNLogLevelError:
        return LOG_ERR;
    default:
        return LOG_NOTICE;
    }
}

int legacyPriority(int level) {
    return level == VRNLogLevelError ? LOG_ERR : LOG_WARNING;
}

// Length of the valid UTF-8 sequence at the start of `s`, or 0.
std::size_t utf8SequenceLength(std::string_view s) {
    const auto byte = [&](std::size_t i) {
        return static_cast<unsigned char>(s[i]);
    };
    const unsigned char lead = byte(0);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

bool isValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceLength(s.substr(i));
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

// Bytes that are not UTF-8 (from "%s" arguments) become U+FFFD, so every line is UTF-8.
void replaceInvalidUtf8(std::string& text) {
    if (isValidUtf8(text)) {
        return;
    }
    std::string repaired;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8SequenceLength(std::string_view(text).substr(i));
        if (n == 0) {
            repaired += "\xEF\xBF\xBD";
            ++i;
        } else {
            repaired.append(text, i, n);
            i += n;
        }
    }
    text.swap(repaired);
}

// Formats into the calling thread's buffer; null after telling the system log why not.
const std::string* formatMessage(std::string_view format, std::span<const vrnformat::Arg> args) {
    thread_local std::string message;
    message.clear();
    if (!isValidUtf8(format)) {
        VRNLogFailure("Could not convert string '%{public}s'.", format);
        return nullptr;
    }
    if (!vrnformat::append(message, format, args)) {
        VRNLogFailure("Could not format string '%{public}s'.", format);
        return nullptr;
    }
    replaceInvalidUtf8(message);
    return &message;
}

// "<date> <category>[<pid>] <message>\n", written with one write.
void writeLine(std::string_view message) {
    const LogState* state = logState.load(std::memory_order_acquire);
    if (state == nullptr || state->file == nullptr) {
        return;
    }
    char date[64];
    const std::size_t dateLength = cal::formatLogDate(cal::now(), date, sizeof date);
    char pid[16];
    const int pidLength = std::snprintf(pid, sizeof pid, "[%d] ", static_cast<int>(state->pid));

    thread_local std::string line;
    line.clear();
    line.append(date, dateLength);
    line += ' ';
    line += state->category;
    line.append(pid, static_cast<std::size_t>(pidLength));
    line += message;
    line += '\n';
    state->file->write(line);
}

void sendLegacy(int level, std::string_view message) {
    dispatch::LockQueue& queue = legacyQueueCreatingOnce();
    queue.sync([&] { systemlog::backend().syslog(legacyPriority(level), message); });
}

} // namespace

void VRNLogFailureText(std::string_view text) {
    if (VRNLOG_UNIFIED.load(std::memory_order_acquire)) {
        systemlog::backend().journal(LOG_ERR, text, {}, {});
    } else {
        systemlog::backend().syslog(LOG_ERR, text);
    }
}

void VRNLogInit(const char* subsystem, const char* category, VRNLogFacility facility) {
    std::lock_guard guard(initLock);
    if (logState.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    VRNLOG_UNIFIED.store(
        VRNSystemVersionManager::sharedManager().runningAtLeast(VRNSystemVersion10_12));
    if (!VRNLOG_UNIFIED.load()) {
        systemlog::backend().openSyslog(subsystem,
                                        facility == VRNLogFacilityDaemon ? LOG_DAEMON : LOG_USER);
    }
    auto* state = new LogState; // lives for the whole process
    state->subsystem = subsystem;
    state->category = category;
    state->pid = getpid();
    state->debugToJournal = systemlog::debugMessagesEnabled(subsystem);
    state->file = new VRNLogFile(VRNLogGetParentPath(), category);
    state->file->open();
    logState.store(state, std::memory_order_release);
}

std::string VRNLogParentPathForUser(uid_t effectiveUser, uid_t realUser) {
    if (effectiveUser == 0 || realUser == 0) {
        return paths::path("/Library/Logs/Keelbrook");
    }
    return paths::homePath("Library/Logs/Keelbrook");
}

std::string VRNLogGetParentPath() {
    return VRNLogParentPathForUser(geteuid(), getuid());
}

void _VRNLogSync() {
    if (dispatch::LockQueue* queue = legacyQueue.load(std::memory_order_acquire)) {
        queue->sync([] {});
    }
}

namespace vrnlog {

void resetForTesting() {
    std::lock_guard guard(initLock);
    if (const LogState* state = logState.exchange(nullptr, std::memory_order_acq_rel)) {
        state->file->close();
        retiredStates->push_back(state);
    }
}

void statement(int level, std::string_view format, std::span<const vrnformat::Arg> args) {
    const std::string* message = formatMessage(format, args);
    if (message == nullptr) {
        return;
    }
    if (VRNLOG_UNIFIED.load(std::memory_order_acquire)) {
        const LogState* state = logState.load(std::memory_order_acquire);
        const bool sendToJournal = level != VRNLogLevelDebug || !state || state->debugToJournal;
        if (sendToJournal) {
            systemlog::backend().journal(journalPriority(level), *message,
                                         state ? state->subsystem : std::string_view{},
                                         state ? state->category : std::string_view{});
        }
    } else if (level != VRNLogLevelDebug) {
        sendLegacy(level, *message);
    }
    writeLine(*message);
}

void fileWriter(int, std::string_view format, std::span<const vrnformat::Arg> args) {
    if (const std::string* message = formatMessage(format, args)) {
        writeLine(*message);
    }
}

void legacyWriter(int level, std::string_view format, std::span<const vrnformat::Arg> args) {
    if (const std::string* message = formatMessage(format, args)) {
        sendLegacy(level, *message);
    }
}

} // namespace vrnlog
