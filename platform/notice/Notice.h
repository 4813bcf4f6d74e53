#pragma once

// A notice to the people at the machine: a desktop notification in each active graphical
// session, sent to the freedesktop notification service on that session's own bus. A
// session bus admits only its user, so each notice is sent from a short-lived child process
// that becomes that user first.

#include "platform/bus/Bus.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace notice {

struct Session {
    uid_t uid = 0;
    // The session bus, "unix:path=/run/user/<uid>/bus".
    std::string busAddress;
};

// The active graphical (x11, wayland) sessions the login manager on `system` knows, one per
// user; their buses below `runtimeFolder` (/run/user).
std::vector<Session> activeGraphicalSessions(bus::Connection& system, std::string* error,
                                             const std::string& runtimeFolder = "/run/user");

// Shows `header` and `message` in `session` without a timeout. Waits for the child, which
// gives up after a few seconds. False with `error` filled when it could not be shown.
bool show(const Session& session, const std::string& header, const std::string& message,
          std::string* error);

} // namespace notice
