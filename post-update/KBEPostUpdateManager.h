#pragma once

// The post-update agent's one job: once the installation of an update announces itself
// with "com.vornhal.keelbrook.did-update", open the application again and end the process.

#include "platform/dispatch/Queue.h"
#include "platform/notify/Notify.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

inline constexpr const char* kKBEDidUpdateNotification = "com.vornhal.keelbrook.did-update";

class KBEPostUpdateManager {
public:
    struct Collaborators {
        // The application's program ("/Applications/Keelbrook.app", mapped).
        std::string applicationPath;
        // The bus the notification comes over.
        std::string busAddress;
        // Where the notification is handled.
        dispatch::QueuePtr queue;
        // Ends the process with a status (std::exit in the agent).
        std::function<void(int status)> exit;
        // Told on the queue each time the observer has subscribed (tests wait for it).
        std::function<void()> subscribed = {};

        static Collaborators system();
    };

    // The agent's manager, built from the system's collaborators on first use.
    static KBEPostUpdateManager& sharedManager();

    explicit KBEPostUpdateManager(Collaborators collaborators);

    // Starts observing "com.vornhal.keelbrook.did-update".
    void start();

    // Opens the application (a failure is only logged) and ends the process with status 0.
    // Only the first call acts: the process exists for one update.
    void didUpdate();

private:
    Collaborators _collaborators;
    std::unique_ptr<notify::Observer> _observer;
    bool _handled = false;
};
