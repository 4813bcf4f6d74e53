#include "platform/syslog/SystemLog.h"

#include <atomic>
#include <mutex>
#include <string>
#include <syslog.h>
#include <systemd/sd-journal.h>

namespace systemlog {

namespace {

std::atomic<Backend*> replacementBackend{nullptr};

SystemBackend& systemBackend() {
    static SystemBackend* const shared = new SystemBackend; // never destroyed
    return *shared;
}

} // namespace

void SystemBackend::journal(int priority, std::string_view message, std::string_view subsystem,
                            std::string_view category) {
    // The journal's datagram socket refuses at once when no journal runs; the result is
    // deliberately ignored (the log never fails its caller).
    const std::string text(message);
    if (subsystem.empty()) {
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, nullptr);
        return;
    }
    const std::string subsystemText(subsystem);
    const std::string categoryText(category);
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, "KEELBROOK_SUBSYSTEM=%s",
                    subsystemText.c_str(), "KEELBROOK_CATEGORY=%s", categoryText.c_str(), nullptr);
}

void SystemBackend::openSyslog(std::string_view ident, int facility) {
    // openlog keeps the pointer: the text lives for the rest of the process.
    const auto* kept = new std::string(ident);
    std::lock_guard guard(mutex_);
    ::openlog(kept->c_str(), LOG_PID, facility);
    opened_ = true;
}

void SystemBackend::syslog(int priority, std::string_view message) {
    // The connection is opened lazily by the first message and without LOG_CONS, so a
    // missing syslog daemon costs one failed connect and nothing is written elsewhere.
    {
        std::lock_guard guard(mutex_);
        if (!opened_) {
            ::openlog(nullptr, LOG_PID, LOG_USER);
            opened_ = true;
        }
    }
    ::syslog(priority, "%.*s", static_cast<int>(message.size()), message.data());
}

Backend& backend() {
    Backend* replacement = replacementBackend.load(std::memory_order_acquire);
    return replacement ? *replacement : systemBackend();
}

void setBackend(Backend* replacement) {
    replacementBackend.store(replacement, std::memory_order_release);
}

} // namespace systemlog
