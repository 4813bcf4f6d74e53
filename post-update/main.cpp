// com.vornhal.keelbrook.post-update: started by the application in the user's session right
// before it asks for an update; opens the application again once the update is installed.

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "platform/dispatch/Queue.h"
#include "post-update/KBEPostUpdateManager.h"

int main() {
    VRNEnvironment::install(VRNEnvironment::fromProcess(nullptr));
    VRNLogInit("com.vornhal.keelbrook", "post_update");
    KBEPostUpdateManager::sharedManager().start();
    dispatch::parkMainThread();
}
