#pragma once

#include "tests/support/ChildProcess.h"

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testsupport {

// A dbus-daemon of the test's own, listening in a private folder: a session bus, or one
// with the configuration file `configFile`. Every wait on it is bounded (ChildProcess).
class PrivateBus {
public:
    explicit PrivateBus(std::string configFile = {}) : configFile_(std::move(configFile)) {
        char pattern[] = "/tmp/kbbus-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        address_ = "unix:path=" + folder_ + "/bus";
        start();
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
    const std::string& folder() const { return folder_; }

    // Starts the daemon again after stop(), at the same address, as a bus that comes back.
    void start() {
        stop();
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{
                "dbus-daemon", configFile_.empty() ? "--session" : "--config-file=" + configFile_,
                "--nofork", "--print-address=1", "--address=" + address_},
            ChildProcess::Errors::Inherit, true);
        // The daemon prints its address once it listens.
        ready_ = daemon_->started() && daemon_->line().has_value();
    }

    // Ends the daemon, as a bus that goes away would.
    void stop() {
        if (daemon_) {
            daemon_->signal(SIGTERM);
            daemon_->wait();
            daemon_.reset();
        }
        ready_ = false;
    }

private:
    std::string configFile_;
    std::string folder_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
    bool ready_ = false;
};

} // namespace testsupport
