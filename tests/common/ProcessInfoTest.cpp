#include "common/VRNProcessInfo.h"

#include <gtest/gtest.h>

namespace {

TEST(VRNProcessInfoTest, NameAndIdentifierFromTheProcessName) {
    using VRNProcessInfo::productIdentifier;
    using VRNProcessInfo::productName;
    EXPECT_EQ(productName("com.vornhal.keelbrook.scheduler"), "keelbrook");
    EXPECT_EQ(productIdentifier("com.vornhal.keelbrook.scheduler"), "com.vornhal.keelbrook");
    EXPECT_EQ(productName("kbectl"), "kbectl");
    EXPECT_EQ(productIdentifier("kbectl"), "kbectl");
    EXPECT_EQ(productName("com.vornhal.keelbrook"), "keelbrook");
    EXPECT_EQ(productIdentifier("com.vornhal.keelbrook"), "com.vornhal.keelbrook");
    EXPECT_EQ(productName("a.b"), "a.b");
    EXPECT_EQ(productName("a..b.c"), "b");
}

TEST(VRNProcessInfoTest, TheRunningProcessIsNamedAfterItsExecutable) {
    // Longer than the kernel's 15-character command name.
    EXPECT_EQ(VRNProcessInfo::productName(), "common_test");
}

} // namespace
