#include "engine/installer/Tool.h"

#include "platform/files/Files.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace installer {

namespace {

// The tools' whole environment: nothing of the caller's reaches a root package manager.
constexpr std::array<const char*, 4> kEnvironment = {
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "DEBIAN_FRONTEND=noninteractive",
    "LC_ALL=C",
    nullptr,
};

// Splits a stream into lines for the handler.
class LineSplitter {
public:
    explicit LineSplitter(const LineHandler& onLine) : onLine_(onLine) {}
    void add(std::string_view bytes) {
        for (char c : bytes) {
            if (c == '\n') {
                flush();
            } else {
                pending_ += c;
                if (pending_.size() == kMaximumLineLength) {
                    flush();
                }
            }
        }
    }
    void finish() {
        if (!pending_.empty()) {
            flush();
        }
    }

private:
    void flush() {
        onLine_(pending_);
        pending_.clear();
    }
    const LineHandler& onLine_;
    std::string pending_;
};

struct Pipe {
    files::Descriptor read;
    files::Descriptor write;
    bool open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        read.reset(fds[0]);
        write.reset(fds[1]);
        return true;
    }
};

// Starts the child with a clean signal mask and default dispositions: whatever the installer
// inherited must not reach the package manager.
int start(const std::vector<std::string>& argv, const Pipe& lines, const Pipe* captured,
          pid_t* pid) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, captured ? captured->write.get() : lines.write.get(),
                                     STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, lines.write.get(), STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int result = posix_spawn(pid, args[0], &actions, &attributes, args.data(),
                                   const_cast<char* const*>(kEnvironment.data()));
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

// Reads both pipes until they are closed, or, once the child has exited, until nothing more
// is waiting in them: a process a maintainer script left running in the background may hold
// them open for ever. `exited` (a process descriptor) is invalid where the kernel has none;
// then only closed pipes end the reading.
void drain(files::Descriptor& lines, files::Descriptor* captured, const files::Descriptor& exited,
           const LineHandler& onLine, ToolResult& result) {
    LineSplitter splitter(onLine);
    char buffer[8192];
    bool childExited = false;
    for (;;) {
        std::array<pollfd, 3> fds{};
        nfds_t count = 0;
        if (lines.valid()) {
            fds[count++] = {lines.get(), POLLIN, 0};
        }
        if (captured && captured->valid()) {
            fds[count++] = {captured->get(), POLLIN, 0};
        }
        if (count == 0) {
            break;
        }
        const nfds_t pipes = count;
        if (exited.valid() && !childExited) {
            fds[count++] = {exited.get(), POLLIN, 0};
        }
        const int ready = ::poll(fds.data(), count, childExited ? 0 : -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break; // after the exit: nothing more is waiting
        }
        if (count > pipes && fds[pipes].revents != 0) {
            childExited = true;
        }
        for (nfds_t i = 0; i < pipes; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const bool isLines = fds[i].fd == lines.get();
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                (isLines ? lines : *captured).reset();
                continue;
            }
            const std::string_view bytes(buffer, static_cast<std::size_t>(got));
            if (isLines) {
                splitter.add(bytes);
            } else {
                const std::size_t room = kMaximumCapturedOutput - result.output.size();
                result.output.append(bytes.substr(0, room));
                result.truncated = result.truncated || bytes.size() > room;
            }
        }
    }
    splitter.finish();
}

} // namespace

std::string ToolResult::outcome() const {
    if (startError != 0) {
        return std::string("cannot start: ") + std::strerror(startError);
    }
    if (signal != 0) {
        return "signal " + std::to_string(signal);
    }
    return "exit status " + std::to_string(exitStatus);
}

ToolResult runTool(const std::vector<std::string>& argv, Output output, const LineHandler& onLine) {
    ToolResult result;
    Pipe lines;
    Pipe captured;
    const bool capturing = output == Output::Capture;
    if (argv.empty() || !lines.open() || (capturing && !captured.open())) {
        result.startError = argv.empty() ? EINVAL : errno;
        return result;
    }
    pid_t pid = 0;
    result.startError = start(argv, lines, capturing ? &captured : nullptr, &pid);
    // Only the child holds the write ends now, so the reads end when it does.
    lines.write.reset();
    captured.write.reset();
    if (result.startError != 0) {
        return result;
    }
    const files::Descriptor exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    drain(lines.read, capturing ? &captured.read : nullptr, exited, onLine, result);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            result.startError = errno;
            return result;
        }
    }
    if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    } else {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

} // namespace installer
