// kbectl: the terminal front end of the scheduler daemon.

#include "common/KBEHelperMessager.h"
#include "common/VRNAuthorizationManager.h"
#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "ctl/KBECtl.h"
#include "platform/machine-sim/MachineChoice.h"
#include "platform/notify/Notify.h"

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
               }};
    return KBECtlRun(ctl, argc, argv);
}
