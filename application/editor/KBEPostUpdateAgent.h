#pragma once

#include "common/VRNError.h"

#include <optional>
#include <string>
#include <sys/types.h>

// The post-update agent as the application starts it: in a session of its own, so that it
// outlives the application, which the update replaces.
class KBEPostUpdateAgent {
public:
    // The agent at `path` (the installation's
    // "/Library/Keelbrook/com.vornhal.keelbrook.post-update").
    explicit KBEPostUpdateAgent(std::string path);

    // The agent's process, or none with the start failure.
    std::optional<pid_t> launch(VRNError* error);
    // Ends an agent this process launched and collects it; returns the signal that ended it
    // (0 when it had already exited by itself).
    int terminate(pid_t pid);

private:
    std::string _path;
};
