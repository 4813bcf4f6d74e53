#pragma once

#include "platform/dispatch/Queue.h"

// The process's main serial queue "com.vornhal.main", on which the program's logic runs
// (not the main thread). It is created by a load-time initializer before the entry point.
void VRNQueueInit();

// A new serial queue with `label` and no target.
dispatch::QueuePtr VRNQueueContextCreate(const char* label);

// The main serial queue; the same queue on every call.
dispatch::QueuePtr VRNQueueMain();

// A new serial queue with `label` whose items run on `target` (serialised with it).
dispatch::QueuePtr VRNQueueCreate(const char* label, dispatch::QueuePtr target);
