// com.vornhal.keelbrook.upgrader: run once as root by the installation. It takes no
// arguments, prints nothing and always exits with status 0.

#include "platform/paths/Paths.h"
#include "upgrader/Upgrader.h"

int main() {
    upgrader::upgrade({
        .legacyJob = paths::path("/Library/LaunchDaemons/com.pellmoor.keelbrook.backup-auto.plist"),
        .settings = paths::path("/Library/Keelbrook/Settings.plist"),
    });
    return 0;
}
