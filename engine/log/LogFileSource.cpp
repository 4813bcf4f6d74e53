#include "engine/log/LogFileSource.h"

#include "platform/calendar/DateFormatter.h"
#include "platform/files/Files.h"
#include "platform/paths/Paths.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace logtool {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
// Longer lines are cut there, and a message stops growing there: a file is read with
// bounded memory whatever it holds.
constexpr std::size_t kMaxMessageSize = 1024 * 1024;

std::string localHostname() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    return name;
}

bool isDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The category and generation of a log file name: "ctl.log" is ("ctl", -1), "ctl.2.log"
// is ("ctl", 2); none for any other name.
std::optional<std::pair<std::string, int>> logFileName(std::string_view name) {
    if (!name.ends_with(".log")) {
        return std::nullopt;
    }
    std::string_view stem = name.substr(0, name.size() - 4);
    int generation = -1;
    const std::size_t dot = stem.rfind('.');
    if (dot != std::string_view::npos && stem.size() - dot == 2 && isDigits(stem.substr(dot + 1)) &&
        stem[dot + 1] <= '4') {
        generation = stem[dot + 1] - '0';
        stem = stem.substr(0, dot);
    }
    if (stem.empty()) {
        return std::nullopt;
    }
    return std::make_pair(std::string(stem), generation);
}

} // namespace

std::optional<LineHeader> parseLineHeader(std::string_view line, const cal::DateFormatter& dates) {
    // "8/Dec/26, 03:00:00+0100 ctl[42] message": the date holds one blank, after its comma.
    const std::size_t comma = line.find(", ");
    if (comma == std::string_view::npos || comma > 9) {
        return std::nullopt;
    }
    const std::size_t dateEnd = line.find(' ', comma + 2);
    if (dateEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view rest = line.substr(dateEnd + 1);
    const std::size_t open = rest.find('[');
    const std::size_t close = rest.find("] ");
    if (open == 0 || open == std::string_view::npos || close == std::string_view::npos ||
        close < open || rest.substr(0, open).find(' ') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view pidText = rest.substr(open + 1, close - open - 1);
    LineHeader header;
    const auto [end, error] =
        std::from_chars(pidText.data(), pidText.data() + pidText.size(), header.pid);
    if (!isDigits(pidText) || error != std::errc() || end != pidText.data() + pidText.size()) {
        return std::nullopt;
    }
    const auto date = dates.parse(line.substr(0, dateEnd));
    if (!date) {
        return std::nullopt;
    }
    header.realtimeUsec = std::llround(cal::unixTimeFromDate(*date) * 1e6);
    header.category = rest.substr(0, open);
    header.message = rest.substr(close + 2);
    return header;
}

ProgramLogReader::ProgramLogReader(const Program& program, std::vector<std::string> files,
                                   std::shared_ptr<const cal::DateFormatter> dates)
    : program_(program), executable_(executablePath(program)), hostname_(localHostname()),
      files_(std::move(files)), dates_(std::move(dates)) {}

bool ProgramLogReader::openNextFile() {
    while (nextFile_ < files_.size()) {
        files::Descriptor fd = files::openFile(files_[nextFile_++], O_RDONLY | O_NONBLOCK, 0,
                                               files::Symlinks::DoNotFollow);
        struct stat status {};
        if (fd.valid() && fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode)) {
            file_ = std::move(fd);
            return true;
        }
    }
    return false;
}

// The next line of the stream without its newline; false at the end of the last file. A
// file's last line counts as a line even without its newline.
bool ProgramLogReader::nextLine(std::string& line) {
    for (;;) {
        const std::size_t newline = buffer_.find('\n', bufferStart_);
        const std::size_t available = buffer_.size() - bufferStart_;
        if (newline != std::string::npos || available >= kMaxMessageSize) {
            const std::size_t length =
                newline != std::string::npos ? newline - bufferStart_ : kMaxMessageSize;
            line.assign(buffer_, bufferStart_, length);
            bufferStart_ += length + (newline != std::string::npos ? 1 : 0);
            return true;
        }
        if (!file_.valid() && !openNextFile()) {
            if (available == 0) {
                return false;
            }
            line.assign(buffer_, bufferStart_, available);
            bufferStart_ = buffer_.size();
            return true;
        }
        buffer_.erase(0, bufferStart_);
        bufferStart_ = 0;
        const std::size_t oldSize = buffer_.size();
        buffer_.resize(oldSize + kBlockSize);
        ssize_t count;
        do {
            count = ::read(file_.get(), buffer_.data() + oldSize, kBlockSize);
        } while (count < 0 && errno == EINTR);
        buffer_.resize(oldSize + static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        if (count <= 0) {
            // End of this file (or a read error, which ends it too). A last line without its
            // newline does not run into the next file's first line.
            file_.reset();
            if (!buffer_.empty() && buffer_.back() != '\n') {
                buffer_ += '\n';
            }
        }
    }
}

bool ProgramLogReader::next(LogEntry& entry) {
    std::string line;
    while (nextLine(line)) {
        const auto header = parseLineHeader(line, *dates_);
        if (!header) {
            if (pending_ && pending_->message.size() < kMaxMessageSize) {
                pending_->message += '\n';
                pending_->message += line;
            }
            continue;
        }
        LogEntry started;
        started.realtimeUsec = header->realtimeUsec;
        started.subsystem = std::string(program_.subsystem);
        started.category = std::string(program_.category);
        started.message = std::string(header->message);
        started.processImagePath = executable_;
        started.processName = std::string(fileNameOf(executable_));
        started.hostname = hostname_;
        started.pid = header->pid;
        if (pending_) {
            entry = std::exchange(*pending_, std::move(started));
            return true;
        }
        pending_ = std::move(started);
    }
    if (pending_) {
        entry = std::move(*pending_);
        pending_.reset();
        return true;
    }
    return false;
}

MergedSource::MergedSource(std::vector<std::unique_ptr<EntrySource>> sources)
    : sources_(std::move(sources)), heads_(sources_.size()) {}

bool MergedSource::next(LogEntry& entry) {
    if (!started_) {
        started_ = true;
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            LogEntry head;
            if (sources_[i]->next(head)) {
                heads_[i] = std::move(head);
            }
        }
    }
    std::optional<std::size_t> earliest;
    for (std::size_t i = 0; i < heads_.size(); ++i) {
        if (heads_[i] && (!earliest || heads_[i]->realtimeUsec < heads_[*earliest]->realtimeUsec)) {
            earliest = i;
        }
    }
    if (!earliest) {
        return false;
    }
    entry = std::move(*heads_[*earliest]);
    LogEntry following;
    if (sources_[*earliest]->next(following)) {
        heads_[*earliest] = std::move(following);
    } else {
        heads_[*earliest].reset();
    }
    return true;
}

std::unique_ptr<EntrySource> openProgramLogs(const std::vector<std::string>& folders) {
    std::shared_ptr<const cal::DateFormatter> dates =
        cal::DateFormatter::withPattern(cal::kLogDatePattern, "en_US_POSIX", "UTC", nullptr);
    if (!dates) {
        return std::make_unique<MergedSource>(std::vector<std::unique_ptr<EntrySource>>{});
    }
    std::vector<std::unique_ptr<EntrySource>> readers;
    for (const std::string& folder : folders) {
        // Per program, its generations from the oldest (4) to the current file (-1).
        std::map<std::string, std::map<int, std::string, std::greater<>>> found;
        if (DIR* listing = opendir(folder.c_str())) {
            while (const dirent* item = readdir(listing)) {
                const auto name = logFileName(item->d_name);
                if (name && programForCategory(name->first) != nullptr) {
                    found[name->first][name->second] = folder + "/" + item->d_name;
                }
            }
            closedir(listing);
        }
        for (auto& [category, generations] : found) {
            std::vector<std::string> files;
            for (auto& [generation, path] : generations) {
                files.push_back(std::move(path));
            }
            readers.push_back(std::make_unique<ProgramLogReader>(*programForCategory(category),
                                                                 std::move(files), dates));
        }
    }
    return std::make_unique<MergedSource>(std::move(readers));
}

std::vector<std::string> programLogFolders() {
    std::vector<std::string> folders{paths::path("/Library/Logs/Keelbrook")};
    const std::string own = paths::homePath("Library/Logs/Keelbrook");
    if (own != folders.front()) {
        folders.push_back(own);
    }
    return folders;
}

} // namespace logtool
