// Replays the committed fuzz corpus through the fuzz targets' entry functions.

#include "fuzz/FuzzEntries.h"
#include "tests/support/CorpusReplay.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

using testsupport::replayCorpus;

TEST(PlistCorpus, BinaryInputsKeepTheirInvariants) {
    EXPECT_GE(replayCorpus(fs::path(CORPUS_DIR) / "binary", plist::fuzz::binaryInput), 10u);
}

TEST(PlistCorpus, XmlInputsKeepTheirInvariants) {
    EXPECT_GE(replayCorpus(fs::path(CORPUS_DIR) / "xml", plist::fuzz::xmlInput), 10u);
}

} // namespace
