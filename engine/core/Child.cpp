#include "engine/core/Child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace engine {

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

namespace {

// The inherited environment with `extra` laid over it.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged = extra;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view inherited = *entry;
        const std::string_view name = inherited.substr(0, inherited.find('=') + 1);
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
            return std::string_view(e).starts_with(name);
        });
        if (!replaced) {
            merged.emplace_back(inherited);
        }
    }
    return merged;
}

} // namespace

bool Child::start(const Command& command, const Options& options, std::string* error) {
    const std::vector<std::string>& args = command.args;
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if ((options.captureOutput && ::pipe2(out, O_CLOEXEC) != 0) ||
        (options.captureErrors && ::pipe2(err, O_CLOEXEC) != 0)) {
        *error = std::string("cannot create a pipe: ") + std::strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.captureOutput) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else if (options.detach) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (options.captureErrors) {
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    } else if (options.detach) {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t stopping;
    sigemptyset(&stopping);
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) {
        sigaddset(&stopping, number);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &stopping);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.detach) {
        flags |= POSIX_SPAWN_SETSID;
    }
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    std::vector<char*> envp;
    if (!command.environment.empty()) {
        environment = mergedEnvironment(command.environment);
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
    }
    const int result = ::posix_spawn(&pid_, args.at(0).c_str(), &actions, &attributes, argv.data(),
                                     envp.empty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd : {out[1], err[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    output_.reset(out[0]);
    errors_.reset(err[0]);
    if (result != 0) {
        pid_ = -1;
        output_.reset();
        errors_.reset();
        *error = "cannot run " + args[0] + ": " + std::strerror(result);
        return false;
    }
    reaped_ = false;
    return true;
}

int Child::wait() {
    if (pid_ <= 0) {
        return -1;
    }
    int status = 0;
    pid_t result;
    while ((result = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    if (result != pid_) {
        return -1;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

void Child::signal(int number) const {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, number);
    }
}

RunResult runToEnd(const Command& command, std::size_t limit) {
    RunResult run;
    Child child;
    if (!child.start(command, {}, &run.failure)) {
        return run;
    }
    run.started = true;
    pollfd streams[2] = {{child.output().get(), POLLIN, 0}, {child.errors().get(), POLLIN, 0}};
    std::string* texts[2] = {&run.output, &run.errors};
    int open = 2;
    while (open > 0) {
        if (::poll(streams, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) {
                continue;
            }
            char chunk[8192];
            const ssize_t n = ::read(streams[i].fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                streams[i].fd = -1;
                --open;
                continue;
            }
            const std::size_t room = limit - std::min(limit, texts[i]->size());
            texts[i]->append(chunk, std::min(room, static_cast<std::size_t>(n)));
        }
    }
    child.output().reset();
    child.errors().reset();
    run.status = child.wait();
    return run;
}

std::string lastLine(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0) {
        while (end > 0 &&
               (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' ')) {
            --end;
        }
        const std::size_t begin = text.rfind('\n', end == 0 ? 0 : end - 1);
        const std::size_t from = begin == std::string::npos ? 0 : begin + 1;
        if (end > from) {
            return text.substr(from, end - from);
        }
        end = from;
    }
    return "";
}

} // namespace engine
