#pragma once

#include <filesystem>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

// A dbus-daemon of the test's own, listening in a private folder.
class PrivateBus {
public:
    PrivateBus() {
        char pattern[] = "/tmp/kbbus-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        address_ = "unix:path=" + folder_ + "/bus";
        const std::string listen = "--address=" + address_;
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const char* argv[] = {"dbus-daemon",       "--session",    "--nofork",
                              "--print-address=1", listen.c_str(), nullptr};
        if (::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv),
                           environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        // The daemon prints its address once it listens.
        char buffer[512];
        const ssize_t n = pid_ > 0 ? ::read(out[0], buffer, sizeof buffer) : -1;
        ::close(out[0]);
        ready_ = n > 0;
    }
    ~PrivateBus() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ready() const { return ready_; }
    const std::string& address() const { return address_; }

    // Ends the daemon, as a bus that goes away would.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    std::string folder_;
    std::string address_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

} // namespace testsupport
