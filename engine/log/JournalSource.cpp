#include "engine/log/JournalSource.h"

#include "engine/log/Programs.h"
#include "platform/paths/Paths.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <syslog.h>
#include <systemd/sd-journal.h>

namespace logtool {

namespace {

// The value of `field` in the current entry, empty when it has none.
std::string fieldValue(sd_journal* journal, const char* field) {
    const void* data = nullptr;
    std::size_t length = 0;
    if (sd_journal_get_data(journal, field, &data, &length) < 0) {
        return {};
    }
    const std::size_t prefix = std::strlen(field) + 1; // "FIELD="
    if (length < prefix) {
        return {};
    }
    return std::string(static_cast<const char*>(data) + prefix, length - prefix);
}

std::int64_t integerValue(const std::string& text, std::int64_t fallback) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : fallback;
}

bool addMatch(sd_journal* journal, const std::string& match) {
    return sd_journal_add_match(journal, match.data(), match.size()) >= 0;
}

} // namespace

std::unique_ptr<JournalSource> JournalSource::open(const JournalLocation& location, Records records,
                                                   std::string* error) {
    sd_journal* journal = nullptr;
    const int result = location.directory
                           ? sd_journal_open_directory(&journal, location.directory->c_str(), 0)
                           : sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY);
    if (result < 0) {
        if (error) {
            *error = std::string("cannot open the journal: ") + std::strerror(-result);
        }
        return nullptr;
    }
    auto source = std::unique_ptr<JournalSource>(new JournalSource(journal, records));
    if (records == Records::Legacy) {
        bool matched = addMatch(journal, "SYSLOG_FACILITY=" + std::to_string(LOG_USER >> 3));
        for (const Program& program : allPrograms()) {
            matched =
                matched && addMatch(journal, "SYSLOG_IDENTIFIER=" +
                                                 std::string(fileNameOf(executablePath(program))));
        }
        if (!matched) {
            if (error) {
                *error = "cannot select the journal's syslog records";
            }
            return nullptr;
        }
    }
    return source;
}

JournalSource::JournalSource(sd_journal* journal, Records records)
    : journal_(journal), records_(records) {}

JournalSource::~JournalSource() {
    sd_journal_close(journal_);
}

bool JournalSource::restrictToSubsystems(const std::set<std::string>& subsystems) {
    if (subsystems.empty()) {
        // Nothing can match: a match no entry has.
        return addMatch(journal_, "KEELBROOK_SUBSYSTEM=");
    }
    for (const std::string& subsystem : subsystems) {
        if (!addMatch(journal_, "KEELBROOK_SUBSYSTEM=" + subsystem)) {
            return fail("sd_journal_add_match", -EINVAL);
        }
    }
    return true;
}

bool JournalSource::seekSince(std::int64_t realtimeUsec) {
    const int result = sd_journal_seek_realtime_usec(
        journal_, static_cast<std::uint64_t>(std::max<std::int64_t>(realtimeUsec, 0)));
    return result >= 0 || fail("sd_journal_seek_realtime_usec", result);
}

bool JournalSource::fail(const char* operation, int result) {
    failure_ =
        std::string("cannot read the journal (") + operation + "): " + std::strerror(-result);
    return false;
}

bool JournalSource::next(LogEntry& entry) {
    for (;;) {
        const int result = sd_journal_next(journal_);
        if (result < 0) {
            return fail("sd_journal_next", result);
        }
        if (result == 0) {
            return false;
        }
        if (read(entry)) {
            return true;
        }
    }
}

// Fills `entry` from the current journal entry; false for an entry that is not one of ours.
bool JournalSource::read(LogEntry& entry) {
    std::uint64_t realtime = 0;
    if (sd_journal_get_realtime_usec(journal_, &realtime) < 0) {
        return false;
    }
    entry.realtimeUsec = static_cast<std::int64_t>(realtime);
    entry.processImagePath = fieldValue(journal_, "_EXE");
    const std::string identifier = fieldValue(journal_, "SYSLOG_IDENTIFIER");
    if (records_ == Records::Unified) {
        entry.subsystem = fieldValue(journal_, "KEELBROOK_SUBSYSTEM");
        if (entry.subsystem.empty()) {
            return false;
        }
        entry.category = fieldValue(journal_, "KEELBROOK_CATEGORY");
    } else {
        const Program* program = programNamed(identifier);
        if (program == nullptr) {
            return false;
        }
        entry.subsystem = std::string(program->subsystem);
        entry.category = std::string(program->category);
    }
    entry.message = fieldValue(journal_, "MESSAGE");
    entry.priority = static_cast<int>(integerValue(fieldValue(journal_, "PRIORITY"), LOG_NOTICE));
    entry.pid = integerValue(fieldValue(journal_, "_PID"), 0);
    entry.hostname = fieldValue(journal_, "_HOSTNAME");
    entry.processName = !entry.processImagePath.empty()
                            ? std::string(fileNameOf(entry.processImagePath))
                        : !identifier.empty() ? identifier
                                              : fieldValue(journal_, "_COMM");
    return true;
}

} // namespace logtool
