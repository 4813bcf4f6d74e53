#pragma once

#include "common/VRNEnvironment.h"
#include "platform/dispatch/LockQueue.h"
#include "platform/dispatch/Source.h"
#include "platform/preferences/Domain.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A callback run when the process terminates.
class VRNTerminationObserver {
public:
    const std::function<void()>& block() const { return _block; }
    void setBlock(std::function<void()> block) { _block = std::move(block); }

private:
    std::function<void()> _block;
};

// Decides when the daemon exits. Components that need the process alive take a hold and give
// it back later; once no hold is left an exit timer of 30 seconds (3 s leeway) runs on the
// logic queue, and if no new hold arrives first the process terminates: the observers run in
// the order they were added, the daemon's defaults domain is synchronised and the process
// exits with status 0. The count starts at 1, an implicit hold the daemon's start-up gives
// back ("start"), so nothing exits before the daemon has started. Holds are only counted,
// not tied to their reasons, and releases are not checked against holds. `terminate` runs
// the exit path at once whatever the holds; a second call does nothing.
class VRNTerminationManager {
public:
    // How the process ends; `std::exit` in the daemon, a recorder in tests.
    using Exit = std::function<void(int status)>;

    static constexpr const char* kQueueLabel = "com.vornhal.termination-manager";
    static constexpr dispatch::Duration kExitDelay = std::chrono::seconds(30);
    static constexpr dispatch::Duration kExitLeeway = std::chrono::seconds(3);

    // The process's instance, on the installed environment and the daemon's defaults domain;
    // created on first use and never freed.
    static VRNTerminationManager& sharedManager();

    // The timer runs on the environment's logic queue; `defaults` is synchronised before
    // `exit` is called.
    VRNTerminationManager(const VRNEnvironment& environment,
                          std::shared_ptr<prefs::Domain> defaults, Exit exit);
    VRNTerminationManager(const VRNTerminationManager&) = delete;
    VRNTerminationManager& operator=(const VRNTerminationManager&) = delete;

    // Take a hold, and give one back. Any thread; never from inside an observer.
    void disableTerminationWithReason(const std::string& reason);
    void enableTerminationWithReason(const std::string& reason);

    void addObserverWithHandler(std::function<void()> handler);
    std::vector<std::shared_ptr<VRNTerminationObserver>> observers();

    // Ends the process now (observers on the calling queue, then synchronisation and exit).
    void terminate();

private:
    dispatch::LockQueue _internalLock{kQueueLabel};
    std::unique_ptr<dispatch::TimerSource> _exitTimer;
    std::vector<std::shared_ptr<VRNTerminationObserver>> _observers;
    std::uint64_t _counter = 1;
    bool _terminating = false;

    const std::shared_ptr<prefs::Domain> _defaults;
    const Exit _exit;
};
