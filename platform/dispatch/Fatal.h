#pragma once

namespace dispatch {

// A programming error the runtime cannot recover from: prints "dispatch: <message>" on
// standard error and aborts.
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Blocks every asynchronous signal in the calling thread and returns the previous mask
// through `old` when given. Threads the runtime creates start with this mask, so that
// signals reach only the signal sources.
void blockAsynchronousSignals(void* old = nullptr);
void restoreSignalMask(const void* old);

} // namespace dispatch
