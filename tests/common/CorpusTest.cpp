// Replays the committed envelope corpus through the fuzz target's entry function.

#include "fuzz/EnvelopeEntries.h"
#include "tests/support/CorpusReplay.h"

#include <gtest/gtest.h>

namespace {

TEST(MessagerCorpus, ReplyInputsKeepTheirInvariants) {
    EXPECT_GE(testsupport::replayCorpus(CORPUS_DIR, messagerfuzz::envelopeInput), 10u);
}

} // namespace
