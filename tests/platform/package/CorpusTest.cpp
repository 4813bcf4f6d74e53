// Replays the committed fuzz corpus through the fuzz targets' entry functions.

#include "fuzz/FuzzEntries.h"
#include "tests/support/CorpusReplay.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

using testsupport::replayCorpus;

TEST(PackageCorpus, ArchivesKeepTheirInvariants) {
    EXPECT_GE(replayCorpus(fs::path(CORPUS_DIR) / "archive", package::fuzz::archiveInput), 10u);
}

TEST(PackageCorpus, TablesOfContentsKeepTheirInvariants) {
    EXPECT_GE(replayCorpus(fs::path(CORPUS_DIR) / "toc", package::fuzz::tocInput), 6u);
}

} // namespace
