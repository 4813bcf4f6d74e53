// libFuzzer target: the XML property-list reader.

#include "FuzzEntries.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto problem = plist::fuzz::xmlInput(data, size)) {
        std::fprintf(stderr, "plist fuzz: %s\n", problem->c_str());
        std::abort();
    }
    return 0;
}
