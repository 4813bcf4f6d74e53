#include "ctl/KBECtlDetach.h"

#include "common/VRNLog.h"
#include "platform/units/TransientUnit.h"

#include <cerrno>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void failToDetach(KBECtl& ctl, const std::string& reason) {
    VRNLog(VRNLogLevelError, "Failed to detach: %@", reason);
    _VRNLogSync();
    std::fprintf(ctl.err, "Failed to detach: %s\n", reason.c_str());
    ctl.exit(1);
}

} // namespace

KBECtlDetachment KBECtlChooseDetachment(bool marked, bool systemd, std::string_view cgroupText) {
    if (marked) {
        return KBECtlDetachment::None;
    }
    return systemd && units::unitOfControlGroup(cgroupText) == KBECtlDaemonUnit
               ? KBECtlDetachment::Unit
               : KBECtlDetachment::Session;
}

KBECtlDetacher KBECtlDetachFromSession() {
    // setsid() fails for a process-group leader: then the work goes on in a child, and this
    // process waits for it and exits with its status.
    return [](KBECtl& ctl, int, char**) {
        if (::setsid() >= 0) {
            return;
        }
        std::fflush(ctl.out);
        std::fflush(ctl.err);
        const pid_t child = ::fork();
        if (child < 0) {
            failToDetach(ctl, std::strerror(errno));
        }
        if (child == 0) {
            ::setsid();
            return;
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        ctl.exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    };
}

KBECtlDetacher KBECtlDetachToUnit(bus::Connection& systemBus, std::string program,
                                  std::vector<std::string> environment) {
    return [&systemBus, program = std::move(program),
            environment = std::move(environment)](KBECtl& ctl, int argc, char** argv) {
        std::string verb = argv[0];
        verb.erase(0, verb.find_first_not_of('_'));
        units::TransientService service;
        service.name = "keelbrook-" + verb + "-" + std::to_string(::getpid()) + ".service";
        service.description = "Keelbrook " + verb;
        service.command = {program};
        service.command.insert(service.command.end(), argv, argv + argc);
        service.environment = environment;
        service.environment.push_back(std::string(KBECtlDetachedUnitVariable) + "=" + service.name);
        VRNLog(VRNLogLevelInfo, "Running %@ in the unit %@.", std::string(argv[0]), service.name);
        std::string error;
        const auto status = units::runTransientService(systemBus, service, &error);
        if (!status) {
            failToDetach(ctl, error);
        }
        ctl.exit(*status);
    };
}
