// libFuzzer target: the frame reader of the local service sockets.

#include "FuzzEntries.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto problem = sockets::fuzz::frameInput(data, size)) {
        std::fprintf(stderr, "frame fuzz: %s\n", problem->c_str());
        std::abort();
    }
    return 0;
}
