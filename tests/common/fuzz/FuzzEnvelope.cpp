// libFuzzer target: the frame reader and the messager's decoding of replies.

#include "fuzz/EnvelopeEntries.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto problem = messagerfuzz::envelopeInput(data, size)) {
        std::fprintf(stderr, "envelope fuzz: %s\n", problem->c_str());
        std::abort();
    }
    return 0;
}
