// Replays the committed fuzz corpus through the fuzz targets' entry functions.

#include "fuzz/FuzzEntries.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

template <typename Entry>
std::size_t replay(const fs::path& folder, Entry entry) {
    std::size_t count = 0;
    for (const auto& file : fs::directory_iterator(folder)) {
        std::ifstream in(file.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                              std::istreambuf_iterator<char>()};
        const auto problem = entry(bytes.data(), bytes.size());
        EXPECT_FALSE(problem) << file.path().filename() << ": " << *problem;
        ++count;
    }
    return count;
}

TEST(PackageCorpus, ArchivesKeepTheirInvariants) {
    EXPECT_GE(replay(fs::path(CORPUS_DIR) / "archive", package::fuzz::archiveInput), 10u);
}

TEST(PackageCorpus, TablesOfContentsKeepTheirInvariants) {
    EXPECT_GE(replay(fs::path(CORPUS_DIR) / "toc", package::fuzz::tocInput), 6u);
}

} // namespace
