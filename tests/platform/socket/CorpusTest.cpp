// Replays the committed frame corpus through the fuzz target's entry function.

#include "fuzz/FuzzEntries.h"
#include "tests/support/CorpusReplay.h"

#include <gtest/gtest.h>

namespace {

TEST(SocketCorpus, FrameInputsKeepTheirInvariants) {
    EXPECT_GE(testsupport::replayCorpus(CORPUS_DIR, sockets::fuzz::frameInput), 10u);
}

} // namespace
