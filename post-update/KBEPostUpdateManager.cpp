#include "post-update/KBEPostUpdateManager.h"

#include "common/VRNLog.h"
#include "common/VRNQueue.h"
#include "common/VRNSpawn.h"
#include "platform/paths/Paths.h"

#include <cstdlib>

KBEPostUpdateManager::Collaborators KBEPostUpdateManager::Collaborators::system() {
    return Collaborators{
        paths::path("/Applications/Keelbrook.app"),
        notify::systemBusAddress(),
        VRNQueueMain(),
        [](int status) { std::exit(status); },
    };
}

KBEPostUpdateManager& KBEPostUpdateManager::sharedManager() {
    // Never freed: the process ends from one of its handlers.
    static KBEPostUpdateManager* const shared = new KBEPostUpdateManager(Collaborators::system());
    return *shared;
}

KBEPostUpdateManager::KBEPostUpdateManager(Collaborators collaborators)
    : _collaborators(std::move(collaborators)) {}

void KBEPostUpdateManager::start() {
    _observer = std::make_unique<notify::Observer>(
        kKBEDidUpdateNotification, _collaborators.queue, [this] { didUpdate(); },
        _collaborators.busAddress, _collaborators.subscribed);
}

void KBEPostUpdateManager::didUpdate() {
    if (_handled) {
        return;
    }
    _handled = true;
    const char* const argv[] = {_collaborators.applicationPath.c_str(), nullptr};
    VRNError error(VRNSpawnerErrorDomain, VRNSpawnerErrorSpawnFailed);
    if (!spawn_detached(argv, nullptr, &error)) {
        VRNLog(VRNLogLevelError, "Failed to relaunch app. %@", error);
    }
    if (!VRNLOG_UNIFIED) {
        _VRNLogSync();
    }
    _collaborators.exit(0);
}
