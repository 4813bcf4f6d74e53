#pragma once

#include "common/VRNEnvironment.h"
#include "ctl/KBECtlMessageSending.h"

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

// Thrown by KBECtl::exit; KBECtlRun catches it and returns the status.
struct KBECtlExit {
    int status;
};

struct KBECtl;
// Takes `_update` or `_uninstall` (`argc`/`argv` from the command word on) out of the
// daemon's reach before it acts (KBECtlDetach.h).
using KBECtlDetacher = std::function<void(KBECtl& ctl, int argc, char** argv)>;

// One run of kbectl: where it writes and reads, who runs it, and the daemon it talks to.
// The command handlers receive it with the arguments from the command word on.
struct KBECtl {
    const VRNEnvironment& environment;
    KBECtlMessageSending& messager;
    // The name the tool was invoked under, for the usage text.
    std::string programName;
    uid_t realUser;
    std::FILE* out;
    std::FILE* err;
    std::FILE* in;
    // Switches user interaction off on the authorization manager, before any command runs.
    std::function<void()> disallowInteraction;
    // Tells every logged-in user's post-update agent that an update was installed.
    std::function<void()> postDidUpdate;
    KBECtlDetacher detach;

    // Ends the run at once with `status` (throws KBECtlExit).
    [[noreturn]] void exit(int status);

    // The printing sender: a guarded message from a non-root caller ends the run with
    // "This command requires root privileges." on standard error; a failure's text goes to
    // standard error (error level), standard output (other levels) or nowhere (debug).
    std::optional<plist::Dictionary> send(long message,
                                          const std::optional<plist::Value>& payload = std::nullopt,
                                          std::optional<VRNError>* error = nullptr);
    // The same without printing the failure.
    std::optional<plist::Dictionary> sendQuietly(long message,
                                                 const std::optional<plist::Value>& payload,
                                                 std::optional<VRNError>* error);

    // Writes `text` to standard output (printf of "%s").
    void print(const std::string& text) { std::fputs(text.c_str(), out); }
};

// Runs kbectl with the process's arguments (argv[0] the program) and returns its exit
// status. Logging must already be set up.
int KBECtlRun(KBECtl& ctl, int argc, char** argv);
