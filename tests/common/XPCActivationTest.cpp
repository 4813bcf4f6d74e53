#include "tests/support/ChildProcess.h"
#include "tests/support/TempFolder.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

std::string run(const std::string& expected, const std::string& bound, const char* name,
                const char* kind, const char* owner) {
    std::filesystem::remove(bound);
    auto result = testsupport::runChild({XPC_ACTIVATION_CHILD, expected, bound, name, kind, owner});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    return result.output;
}

bool has(const std::string& output, const std::string& text) {
    return output.find(text) != std::string::npos;
}

TEST(XPCActivationTest, PassedSocketIsTakenOnlyWhenItIsTheExpectedOne) {
    testsupport::TempFolder folder;
    const std::string expected = (folder.path() / "run" / "scheduler.socket").string();
    const std::string elsewhere = (folder.path() / "other" / "scheduler.socket").string();

    // The right socket: taken (closed with the listener), and its file left in place at
    // stop (systemd owns it).
    std::string output = run(expected, expected, "scheduler", "stream", "own");
    EXPECT_TRUE(has(output, "environment cleared\nsocket file kept\ndescriptor 3 closed\n"))
        << output;
    EXPECT_FALSE(has(output, "log:")) << output;
    std::filesystem::remove(expected);

    // Bound elsewhere, or not a stream socket: refused and closed, and the server binds its
    // own.
    for (const auto& [path, kind] : {std::pair{elsewhere, "stream"}, {expected, "datagram"}}) {
        output = run(expected, path, "scheduler", kind, "own");
        EXPECT_TRUE(has(output, "log: Could not listen for com.vornhal.keelbrook.scheduler: "
                                "socket \"scheduler\" passed by systemd is not a listening "
                                "stream socket at " +
                                    expected + "; binding it instead."))
            << output;
        EXPECT_TRUE(has(output, "socket file removed\ndescriptor 3 closed\n")) << output;
        std::filesystem::remove(expected);
    }

    // Descriptors meant for another process, or under another name, are not touched.
    for (const auto& [name, owner] : {std::pair{"scheduler", "other"}, {"authority", "own"}}) {
        output = run(expected, elsewhere, name, "stream", owner);
        EXPECT_TRUE(has(output, "socket file removed\ndescriptor 3 open\n")) << output;
        EXPECT_FALSE(has(output, "log:")) << output;
    }
}

} // namespace
