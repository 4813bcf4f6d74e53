#include "platform/dispatch/Runtime.h"

namespace dispatch {

Runtime::Runtime() : pool_(tracker_), timers_(reactor_), clock_(&realClock_) {}

Runtime& Runtime::shared() {
    static Runtime* const runtime = new Runtime();
    return *runtime;
}

} // namespace dispatch
