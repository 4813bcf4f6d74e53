#pragma once

// A program the test starts, with its standard output on a pipe. Every wait on it has a
// time limit: a child that stops talking or never exits fails the test instead of hanging
// it, and a child still running when the object goes is killed and reaped.

#include "tests/support/WaitLimit.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
public:
    // Where the child's standard error goes.
    enum class Errors { Inherit, WithOutput, Discard };

    // Starts args[0] (a path, or a name looked up in PATH with `searchPath`).
    ChildProcess(const std::vector<std::string>& args, Errors errors = Errors::Inherit,
                 bool searchPath = false) {
        int fds[2];
        if (args.empty() || ::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        if (errors == Errors::WithOutput) {
            posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        } else if (errors == Errors::Discard) {
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        }
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        const auto start = searchPath ? ::posix_spawnp : ::posix_spawn;
        if (start(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        output_ = fds[0];
    }
    ~ChildProcess() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            reap(0);
        }
        if (output_ >= 0) {
            ::close(output_);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The next line of output without its newline; nothing at the end of the output or when
    // none came in time.
    std::optional<std::string> line(std::chrono::milliseconds limit = kWaitLimit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (const auto end = buffer_.find('\n'); end != std::string::npos) {
                std::string text = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return text;
            }
            if (!readSome(deadline)) {
                return std::nullopt;
            }
        }
    }

    // All output up to its end (the child closed it). False, with what came, when the end
    // did not come in time.
    bool readAll(std::string* text, std::chrono::milliseconds limit = kWaitLimit) {
        const auto deadline = Clock::now() + limit;
        while (readSome(deadline)) {
        }
        text->append(std::exchange(buffer_, {}));
        return ended_;
    }

    // The wait status once the child exits. When it has not exited in time it is killed and
    // nothing is returned.
    std::optional<int> wait(std::chrono::milliseconds limit = kWaitLimit) {
        if (!started()) {
            return std::nullopt;
        }
        // A process descriptor becomes readable when the child exits: no polling. (Kernels
        // without them cannot run the runtime at all; there the wait has no limit.)
        const int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (exited < 0) {
            reap(0);
            return status_;
        }
        const auto deadline = Clock::now() + limit;
        while (running()) {
            if (reap(WNOHANG)) {
                break;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd wait{exited, POLLIN, 0};
            if (left.count() <= 0 ||
                (::poll(&wait, 1, static_cast<int>(left.count())) == 0 && !reap(WNOHANG))) {
                ::kill(pid_, SIGKILL);
                reap(0);
                ::close(exited);
                return std::nullopt;
            }
        }
        ::close(exited);
        return status_;
    }

    void signal(int number) const {
        if (running()) {
            ::kill(pid_, number);
        }
    }

private:
    using Clock = std::chrono::steady_clock;

    bool running() const { return pid_ > 0 && !reaped_; }

    bool reap(int options) {
        int status = 0;
        pid_t result;
        while ((result = ::waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
        }
        if (result == pid_ || result < 0) {
            reaped_ = true;
            status_ = result == pid_ ? status : -1;
        }
        return reaped_;
    }

    // Appends what is readable before `deadline`; false at the end of the output or when
    // nothing came in time.
    bool readSome(Clock::time_point deadline) {
        if (output_ < 0 || ended_) {
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd ready{output_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = ::read(output_, chunk, sizeof chunk);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int output_ = -1;
    bool ended_ = false;
    bool reaped_ = false;
    int status_ = -1;
    std::string buffer_;
};

// A program run to its end within the time limit: its exit status (-1 when it did not exit
// normally or in time) and its output.
struct ChildRun {
    int exitStatus = -1;
    int waitStatus = -1;
    bool finished = false; // output ended and the child exited within the limit
    std::string output;
};

inline ChildRun runChild(const std::vector<std::string>& args,
                         ChildProcess::Errors errors = ChildProcess::Errors::Inherit,
                         std::chrono::milliseconds limit = kWaitLimit) {
    ChildRun run;
    ChildProcess child(args, errors);
    if (!child.started()) {
        return run;
    }
    const bool ended = child.readAll(&run.output, limit);
    const std::optional<int> status = child.wait(ended ? limit : std::chrono::milliseconds(0));
    run.finished = ended && status.has_value();
    run.waitStatus = status.value_or(-1);
    if (status && WIFEXITED(*status)) {
        run.exitStatus = WEXITSTATUS(*status);
    }
    return run;
}

} // namespace testsupport
