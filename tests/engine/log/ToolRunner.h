#pragma once

// Helpers of the log tool's tests: an installation root with a journal written by
// systemd-journal-remote from export-format entries, and the tool run as a child process
// (optionally as a user without any privilege).

#include "tests/support/TempFolder.h"

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace logtooltest {

namespace fs = std::filesystem;

// A user and group id no account has (the child switched to it reads as nobody can).
inline constexpr uid_t kUnusedId = 54321;

using Fields = std::map<std::string, std::string>;

// One journal entry: its time and fields (MESSAGE, PRIORITY, KEELBROOK_SUBSYSTEM, _EXE...).
struct JournalEntry {
    std::int64_t realtimeUsec;
    Fields fields;
};

inline std::int64_t nowUsec() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

inline std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The journal's export format: "KEY=value" lines, or for values holding a newline the
// binary form (KEY, newline, little-endian 64-bit size, bytes, newline); a blank line ends
// an entry.
inline std::string exportFormat(const std::vector<JournalEntry>& entries) {
    std::string text;
    std::uint64_t monotonic = 1000;
    for (const JournalEntry& entry : entries) {
        text += "__REALTIME_TIMESTAMP=" + std::to_string(entry.realtimeUsec) + "\n";
        text += "__MONOTONIC_TIMESTAMP=" + std::to_string(monotonic++) + "\n";
        text += "_BOOT_ID=0123456789abcdef0123456789abcdef\n";
        for (const auto& [key, value] : entry.fields) {
            if (value.find('\n') == std::string::npos) {
                text += key + "=" + value + "\n";
                continue;
            }
            text += key + "\n";
            std::uint64_t size = value.size();
            for (int i = 0; i < 8; ++i) {
                text += static_cast<char>((size >> (8 * i)) & 0xff);
            }
            text += value + "\n";
        }
        text += "\n";
    }
    return text;
}

struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

struct RunOptions {
    std::map<std::string, std::string> environment;
    bool asUnprivilegedUser = false;
    std::optional<std::string> input; // standard input's file
};

// Runs `program` with `args`, standard output and error into files of `scratch`.
inline Result run(const std::string& program, const std::vector<std::string>& args,
                  const fs::path& scratch, const RunOptions& options = {}) {
    const fs::path outPath = scratch / "stdout", errPath = scratch / "stderr";
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (options.input) {
            const int in = open(options.input->c_str(), O_RDONLY);
            dup2(in, STDIN_FILENO);
        }
        for (const auto& [name, value] : options.environment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        if (options.asUnprivilegedUser &&
            (setgroups(0, nullptr) != 0 || setresgid(kUnusedId, kUnusedId, kUnusedId) != 0 ||
             setresuid(kUnusedId, kUnusedId, kUnusedId) != 0)) {
            _exit(125);
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readText(outPath);
    result.err = readText(errPath);
    return result;
}

// A temporary installation root (world-readable, so that a child without privileges can
// read the programs' log files in it) with an optional journal.
class Installation {
public:
    Installation() {
        fs::permissions(root(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
        fs::create_directories(scratch());
    }

    const fs::path& root() const { return folder_.path(); }
    fs::path scratch() const { return root() / "scratch"; }
    fs::path home() const { return root() / "home"; }
    fs::path systemLogFolder() const { return root() / "var/log/keelbrook"; }
    fs::path userLogFolder() const { return home() / ".local/state/keelbrook/log"; }

    // Writes the journal file from `entries` and makes the journal's socket exist, as a
    // running journal daemon would. Returns systemd-journal-remote's exit status.
    int writeJournal(const std::vector<JournalEntry>& entries) {
        const fs::path input = scratch() / "entries.export";
        writeText(input, exportFormat(entries));
        const fs::path folder = root() / "var/log/journal";
        fs::create_directories(folder);
        RunOptions options;
        options.input = input.string();
        const Result result =
            run("/lib/systemd/systemd-journal-remote",
                {"--output=" + (folder / "t.journal").string(), "-"}, scratch(), options);
        makeJournalSocket();
        return result.status;
    }

    void makeJournalSocket() {
        const fs::path socketPath = root() / "run/systemd/journal/socket";
        fs::create_directories(socketPath.parent_path());
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socketPath.string().copy(address.sun_path, sizeof address.sun_path - 1);
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        close(fd);
    }

    RunOptions options(bool unprivileged = false) const {
        RunOptions made;
        made.environment = {{"KEELBROOK_ROOT", root().string()}, {"HOME", home().string()}};
        made.asUnprivilegedUser = unprivileged;
        return made;
    }

    Result tool(const std::vector<std::string>& args, bool unprivileged = false) const {
        return run(LOG_TOOL_PATH, args, scratch(), options(unprivileged));
    }
    Result syslogTool(const std::vector<std::string>& args, bool unprivileged = false) const {
        return run(SYSLOG_TOOL_PATH, args, scratch(), options(unprivileged));
    }

private:
    testsupport::TempFolder folder_;
};

} // namespace logtooltest
