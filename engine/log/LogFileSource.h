#pragma once

#include "engine/log/EntrySource.h"
#include "engine/log/Programs.h"
#include "platform/files/Files.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cal {
class DateFormatter;
}

namespace logtool {

// The start of a log file line, "<d/MMM/yy, HH:mm:ssZ> <category>[<pid>] <message>".
struct LineHeader {
    std::int64_t realtimeUsec = 0;
    std::string_view category;
    std::int64_t pid = 0;
    std::string_view message;
};

// The header of `line`, or none when the line does not begin with a date, a category and
// a process id (it then continues the previous message). `dates` parses the log date.
std::optional<LineHeader> parseLineHeader(std::string_view line, const cal::DateFormatter& dates);

// One program's log: its files (oldest generation first, the current file last) read as
// one stream of entries. A line that does not begin like a log line continues the message
// before it; such lines before the first entry are dropped. Files are read in blocks, so
// memory stays bounded by the longest message.
class ProgramLogReader final : public EntrySource {
public:
    ProgramLogReader(const Program& program, std::vector<std::string> files,
                     std::shared_ptr<const cal::DateFormatter> dates);

    bool next(LogEntry& entry) override;

private:
    bool nextLine(std::string& line);
    bool openNextFile();

    const Program& program_;
    const std::string executable_;
    const std::string hostname_;
    std::vector<std::string> files_;
    std::size_t nextFile_ = 0;
    files::Descriptor file_;
    std::string buffer_;
    std::size_t bufferStart_ = 0;
    std::shared_ptr<const cal::DateFormatter> dates_;
    std::optional<LogEntry> pending_; // read, but its message may continue
};

// The entries of several sources merged by time (ties keep the sources' order), holding one
// entry per source.
class MergedSource final : public EntrySource {
public:
    explicit MergedSource(std::vector<std::unique_ptr<EntrySource>> sources);
    bool next(LogEntry& entry) override;

private:
    std::vector<std::unique_ptr<EntrySource>> sources_;
    std::vector<std::optional<LogEntry>> heads_;
    bool started_ = false;
};

// The log files of the product's programs found in `folders` (system folder first, then
// the user's): "<category>.log" and its generations "<category>.<0-4>.log" of every known
// program; other files, symbolic links and files that are not regular are left out.
std::unique_ptr<EntrySource> openProgramLogs(const std::vector<std::string>& folders);

// The folders the fallback reads: the system's log folder and the user's own.
std::vector<std::string> programLogFolders();

} // namespace logtool
