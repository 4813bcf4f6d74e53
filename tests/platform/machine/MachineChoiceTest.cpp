// The choice a program's main makes between the real and the simulated machine.
#include "platform/machine-sim/MachineChoice.h"

#include <gtest/gtest.h>

namespace {

TEST(MachineChoiceTest, NamesPickTheMachineAndOthersAreRefused) {
    std::string error;
    EXPECT_EQ(machine::chooseMachine("simulated", &error)->name(), "simulated");
    EXPECT_EQ(machine::chooseMachine("linux", &error)->name(), "linux");
    EXPECT_EQ(machine::chooseMachine("", &error)->name(), "linux");
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(machine::chooseMachine("Simulated", &error), nullptr);
    EXPECT_EQ(error, "KEELBROOK_PLATFORM must be \"simulated\" or \"linux\", not \"Simulated\"");
}

TEST(MachineChoiceTest, AMachineKeepsOneSetOfPowerAssertions) {
    auto machine = machine::chooseMachine("simulated", nullptr);
    EXPECT_EQ(&machine->powerAssertions(), &machine->powerAssertions());
}

} // namespace
