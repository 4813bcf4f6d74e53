#include "platform/dispatch/LockQueue.h"

#include "platform/dispatch/Fatal.h"

namespace dispatch {

void LockQueue::lock() {
    if (isHeldByCurrentThread()) {
        fatal("sync on \"%s\" from the thread that holds it would wait for itself", label_.c_str());
    }
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
}

void LockQueue::unlock() {
    owner_.store(std::thread::id());
    mutex_.unlock();
}

} // namespace dispatch
