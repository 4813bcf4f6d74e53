#pragma once

// Replays a committed fuzz corpus through a fuzz target's entry function: each input that
// breaks an invariant fails the test with the file's name and the entry's reason.

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace testsupport {

// `entry(data, size)` returns the broken invariant, or nothing. Returns the number of
// inputs replayed, so a test can tell an empty or missing corpus.
template <typename Entry>
std::size_t replayCorpus(const std::filesystem::path& folder, Entry entry) {
    std::size_t count = 0;
    for (const auto& file : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(file.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                              std::istreambuf_iterator<char>()};
        const auto problem = entry(bytes.data(), bytes.size());
        EXPECT_FALSE(problem) << file.path().filename() << ": " << *problem;
        ++count;
    }
    return count;
}

} // namespace testsupport
