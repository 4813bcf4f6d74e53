// The commands that run programs: the uninstall script, the log tool and the installer.

#include "common/VRNLog.h"
#include "common/VRNSpawn.h"
#include "ctl/KBECtlCommands.h"
#include "ctl/KBECtlOutput.h"
#include "platform/machine/MachineState.h"
#include "platform/paths/Paths.h"

#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_view_literals;

// Runs `args` (element 0 the tool) with the standard streams inherited and waits for it.
bool run(KBECtl& ctl, const std::vector<std::string>& args, VRNError* error) {
    std::fflush(ctl.out);
    std::fflush(ctl.err);
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    return spawn_tool(argv.data(), error);
}

int uninstall(KBECtl& ctl) {
    VRNError error("", 0);
    if (run(ctl, {"/bin/sh", paths::path("/Library/Keelbrook/uninstall.sh")}, &error)) {
        VRNLog(VRNLogLevelDefault, "Keelbrook has been uninstalled.");
        _VRNLogSync();
        ctl.print("Keelbrook has been uninstalled.\n");
        return 0;
    }
    const std::string text = VRNError::localizedDescriptionForError(error);
    VRNLog(VRNLogLevelError, "Could not uninstall. %@", text);
    _VRNLogSync();
    std::fprintf(ctl.out, "Could not uninstall. %s\n", text.c_str());
    return 1;
}

} // namespace

int KBECtlUninstallCommand(KBECtl& ctl, int, char**) {
    return uninstall(ctl);
}

int KBECtlDetachedUninstallCommand(KBECtl& ctl, int argc, char** argv) {
    ctl.detach(ctl, argc, argv);
    return uninstall(ctl);
}

int KBECtlLogCommand(KBECtl& ctl, int argc, char** argv) {
    const bool last = argc >= 3 && argv[1] == "--last"sv;
    const auto& versions = *ctl.environment.versions;
    std::vector<std::string> args;
    if (versions.runningAtLeast(VRNSystemVersion10_12)) {
        args = {paths::path("/usr/bin/log"), "show", "--debug", "--info"};
        if (last) {
            args.insert(args.end(), {"--last", argv[2]});
        }
        args.insert(args.end(),
                    {"--predicate", "subsystem = 'com.vornhal.keelbrook'", "--style",
                     versions.runningAtLeast(VRNSystemVersion10_13) ? "compact" : "syslog"});
    } else {
        args = {paths::path("/usr/bin/syslog"), "-k", "Facility", "com.vornhal.keelbrook"};
        if (last) {
            args.insert(args.end(), {"-k", "Time", "ge", std::string("-") + argv[2]});
        }
    }
    VRNError ignored("", 0);
    run(ctl, args, &ignored);
    return 0;
}

int KBECtlDebugLogsCommand(KBECtl& ctl, int argc, char** argv) {
    if (argc < 2) {
        ctl.print("Missing yes/no argument.\n");
        return 1;
    }
    if (!ctl.environment.versions->runningAtLeast(VRNSystemVersion10_12)) {
        ctl.print("Requires macOS 10.12 or later.");
        return 1;
    }
    const char* mode =
        KBECtlBoolValue(argv[1]) ? "level:debug,persist:info" : "level:info,persist:default";
    VRNError error("", 0);
    return run(ctl,
               {paths::path("/usr/bin/log"), "config", "--subsystem", "com.vornhal.keelbrook",
                "--mode", mode},
               &error)
               ? 0
               : 1;
}

int KBECtlUpdateCommand(KBECtl& ctl, int argc, char** argv) {
    if (argc < 2) {
        ctl.print("Package path must be specified.\n");
        return 1;
    }
    const std::string package = argv[1];
    ctl.detach(ctl, argc, argv);

    machine::PowerAssertions& assertions = ctl.environment.requireMachine().powerAssertions();
    std::vector<std::uint32_t> held;
    for (const char* type : {machine::kPreventUserIdleSystemSleep, machine::kBackgroundTask}) {
        std::string error;
        if (const auto id = assertions.create(type, "com.vornhal.keelbrook.update", "", &error)) {
            held.push_back(id);
        }
    }

    VRNError error("", 0);
    const bool installed =
        run(ctl, {paths::path("/usr/sbin/installer"), "-pkg", package, "-target", "/"}, &error);
    ::unlink(package.c_str());
    if (installed) {
        VRNLog(VRNLogLevelDefault, "Keelbrook has been updated.");
    } else {
        VRNLog(VRNLogLevelError, "Update failed. %@",
               VRNError::localizedDescriptionForError(error));
    }
    _VRNLogSync();
    if (ctl.postDidUpdate) {
        ctl.postDidUpdate();
    }
    for (const std::uint32_t id : held) {
        assertions.release(id);
    }
    return installed ? 0 : 1;
}
