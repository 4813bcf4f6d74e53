#include "platform/dispatch/Fatal.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <pthread.h>

namespace dispatch {

void fatal(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "dispatch: %s\n", text);
    std::fflush(stderr);
    std::abort();
}

void blockAsynchronousSignals(void* old) {
    sigset_t set;
    sigfillset(&set);
    // Faults stay deliverable to the thread that caused them.
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
        sigdelset(&set, sig);
    }
    pthread_sigmask(SIG_BLOCK, &set, static_cast<sigset_t*>(old));
}

void restoreSignalMask(const void* old) {
    pthread_sigmask(SIG_SETMASK, static_cast<const sigset_t*>(old), nullptr);
}

} // namespace dispatch
