// kbectl: the terminal front end of the scheduler daemon.

#include "common/KBEHelperMessager.h"
#include "common/VRNAuthorizationManager.h"
#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "ctl/KBECtl.h"
#include "ctl/KBECtlDetach.h"
#include "platform/files/Files.h"
#include "platform/machine-sim/MachineChoice.h"
#include "platform/notify/Notify.h"
#include "platform/paths/Paths.h"
#include "platform/units/TransientUnit.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// The daemon through the product's messager. Every reply of the catalogue is a dictionary;
// anything else reads as an empty one.
class Daemon final : public KBECtlMessageSending {
public:
    explicit Daemon(KBEHelperMessager& messager) : messager_(messager) {}
    bool requiresAuthorizationForMessage(long message) const override {
        return messager_.requiresAuthorizationForMessage(message);
    }
    std::optional<plist::Dictionary>
    sendSynchronousMessage(long message, const std::optional<plist::Value>& payload,
                           std::optional<VRNError>* error) override {
        auto reply = messager_.sendSynchronousMessage(message, payload, error);
        if (!reply) {
            return std::nullopt;
        }
        const plist::Dictionary* dictionary = reply->asDictionary();
        return dictionary ? *dictionary : plist::Dictionary{};
    }

private:
    KBEHelperMessager& messager_;
};

// What the product's programs read from their environment, handed to a unit explicitly:
// systemd starts units with an environment of its own.
std::vector<std::string> environmentForUnit() {
    std::vector<std::string> environment;
    for (const char* name : {"PATH", "LANG", "LC_ALL", "LC_TIME", "TZ", "HOME", "XDG_STATE_HOME",
                             "XDG_CONFIG_HOME", "DBUS_SYSTEM_BUS_ADDRESS", "KEELBROOK_ROOT",
                             "KEELBROOK_PLATFORM", "KEELBROOK_SYSTEM_VERSION"}) {
        if (const char* value = std::getenv(name)) {
            environment.push_back(std::string(name) + "=" + value);
        }
    }
    return environment;
}

std::string runningProgram(const char* argv0) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : argv0;
}

// `_update` and `_uninstall` started by the daemon under systemd run in a unit of their
// own; elsewhere a new session suffices. Chosen only when one of them asks, so the other
// commands read nothing for it. Both files are read as product paths, so a development
// build's installation root can stand in for them.
void detach(KBECtl& ctl, int argc, char** argv, const char* argv0) {
    const auto cgroup = files::readFile(paths::path("/proc/self/cgroup"), 64 * 1024);
    const std::string cgroupText = cgroup ? std::string(cgroup->begin(), cgroup->end()) : "";
    switch (KBECtlChooseDetachment(std::getenv(KBECtlDetachedUnitVariable) != nullptr,
                                   units::systemdRunning(), cgroupText)) {
    case KBECtlDetachment::None:
        return;
    case KBECtlDetachment::Unit: {
        bus::Connection systemBus(bus::systemBus());
        KBECtlDetachToUnit(systemBus, runningProgram(argv0), environmentForUnit())(ctl, argc, argv);
        return;
    }
    case KBECtlDetachment::Session:
        KBECtlDetachFromSession()(ctl, argc, argv);
        return;
    }
}

} // namespace

int main(int argc, char** argv) {
    VRNEnvironment::install(VRNEnvironment::fromProcess(machine::machineFromEnvironment()));
    VRNLogInit("com.vornhal.keelbrook", "ctl");
    Daemon daemon(KBEHelperMessager::sharedMessager());
    const char* slash = std::strrchr(argv[0], '/');
    KBECtl ctl{VRNEnvironment::shared(),
               daemon,
               slash ? slash + 1 : argv[0],
               ::getuid(),
               stdout,
               stderr,
               stdin,
               [] { VRNAuthorizationManager::sharedManager().setAllowsUserInteraction(false); },
               [] {
                   notify::Poster poster;
                   if (auto failure = poster.post("com.vornhal.keelbrook.did-update")) {
                       VRNLog(VRNLogLevelError, "%@", *failure);
                   }
               },
               [argv0 = argv[0]](KBECtl& c, int n, char** v) {
                   detach(c, n, v, argv0);
               }};
    return KBECtlRun(ctl, argc, argv);
}
