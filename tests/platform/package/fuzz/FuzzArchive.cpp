// libFuzzer target: the package reader's archive input.

#include "FuzzEntries.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto problem = package::fuzz::archiveInput(data, size)) {
        std::fprintf(stderr, "package fuzz: %s\n", problem->c_str());
        std::abort();
    }
    return 0;
}
