#pragma once

// Checking a user's password with PAM.

#include <string>

namespace pam {

enum class Outcome {
    Authenticated, // the password is the user's and the account may be used
    Refused,       // wrong password, unknown user, or an account that may not be used
    Failed,        // PAM itself could not run (no configuration, a module failed to load)
};

// Authenticates `user` with `password` through the PAM service `service`, then checks the
// account's validity. With a non-empty `configurationFolder` the service's configuration
// is read from that folder instead of the system's (tests). Runs the modules on the calling
// thread and may block; `why` gets PAM's text on anything but success. The password is
// handed to PAM only through the conversation and never copied elsewhere.
Outcome authenticate(const std::string& service, const std::string& user,
                     const std::string& password, const std::string& configurationFolder,
                     std::string* why);

} // namespace pam
