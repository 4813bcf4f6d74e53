#pragma once

#include "engine/log/EntrySource.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

struct sd_journal;

namespace logtool {

// Where the journal is read from: the machine's own journal, or the journal files in one
// folder (an installation below KEELBROOK_ROOT, and tests).
struct JournalLocation {
    std::optional<std::string> directory; // none: the machine's journal
};

// Reads journal entries through sd-journal.
//   Unified records: the entries the logging statement sent (with KEELBROOK_SUBSYSTEM),
//     optionally only those of some subsystems.
//   Legacy records: the product programs' syslog(3) messages (facility user, a syslog
//     identifier of one of our programs), their subsystem that of the program.
class JournalSource final : public EntrySource {
public:
    enum class Records { Unified, Legacy };

    // Null with `error` filled when the journal cannot be opened.
    static std::unique_ptr<JournalSource> open(const JournalLocation& location, Records records,
                                               std::string* error);
    ~JournalSource() override;

    // Only entries of these subsystems (unified records); call before the first next().
    bool restrictToSubsystems(const std::set<std::string>& subsystems);
    // Starts at the first entry at or after the time (microseconds since the epoch).
    bool seekSince(std::int64_t realtimeUsec);

    bool next(LogEntry& entry) override;

private:
    JournalSource(sd_journal* journal, Records records);
    bool read(LogEntry& entry);
    bool fail(const char* operation, int result);

    sd_journal* journal_;
    Records records_;
};

} // namespace logtool
