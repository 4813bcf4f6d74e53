#include "common/VRNQueue.h"

#include "platform/dispatch/Fatal.h"

namespace {

dispatch::QueuePtr* mainQueue = nullptr;

__attribute__((constructor(101))) void createMainQueueBeforeMain() {
    VRNQueueInit();
}

} // namespace

void VRNQueueInit() {
    if (mainQueue == nullptr) {
        mainQueue = new dispatch::QueuePtr(VRNQueueContextCreate("com.vornhal.main"));
    }
}

dispatch::QueuePtr VRNQueueContextCreate(const char* label) {
    return dispatch::SerialQueue::create(label);
}

dispatch::QueuePtr VRNQueueMain() {
    if (mainQueue == nullptr) {
        dispatch::fatal("the main serial queue was used before VRNQueueInit");
    }
    return *mainQueue;
}

dispatch::QueuePtr VRNQueueCreate(const char* label, dispatch::QueuePtr target) {
    // Created with its target in one step: no item can run before it is set.
    return dispatch::SerialQueue::create(label, std::move(target));
}
