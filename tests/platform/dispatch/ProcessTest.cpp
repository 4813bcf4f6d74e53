// Runs the runtime in a child process on the real clock and checks what only a whole
// process shows: exiting from a queue item, and the kernel timer back end.
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// Runs the child program in `mode`: its standard output and error together, bounded in time.
testsupport::ChildRun runChild(const char* mode) {
    return testsupport::runChild({DISPATCH_CHILD, mode},
                                 testsupport::ChildProcess::Errors::WithOutput);
}

TEST(RuntimeProcessTest, ExitFromAQueueItemWhileQueuesAndTimersAreBusy) {
    // Under the sanitizers a race with static destructors would be reported on stderr.
    for (int i = 0; i < 5; ++i) {
        const testsupport::ChildRun outcome = runChild("exit");
        ASSERT_TRUE(outcome.finished) << outcome.output;
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.output;
        EXPECT_EQ(outcome.output, "");
    }
}

TEST(RuntimeProcessTest, KernelTimersFireOnTimeAndNeverEarly) {
    const testsupport::ChildRun outcome = runChild("timers");
    ASSERT_TRUE(outcome.finished) << outcome.output;
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.output;
    EXPECT_EQ(outcome.output, "fired 2, repeats 5, early 0\n");
}

} // namespace
