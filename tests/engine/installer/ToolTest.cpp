// The installer's tool runner: what the package tools get (no terminal input, a fixed
// environment) and how their output comes back.

#include "engine/installer/Tool.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using installer::Output;
using installer::runTool;

std::vector<std::string> shell(const std::string& script) {
    return {"/bin/sh", "-c", script};
}

TEST(InstallerTool, CapturesStandardOutputAndHandsOnErrorLinesWithAFixedEnvironment) {
    ::setenv("KEELBROOK_INSTALLER_TEST_VARIABLE", "leaked", 1);
    std::vector<std::string> lines;
    const auto result =
        runTool(shell("env | sort; echo to error >&2; printf 'last' >&2; "
                      "read line && echo read; exit 3"),
                Output::Capture, [&](std::string_view line) { lines.emplace_back(line); });
    ::unsetenv("KEELBROOK_INSTALLER_TEST_VARIABLE");
    EXPECT_FALSE(result.succeeded());
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.outcome(), "exit status 3");
    // Standard input is empty; of the caller's environment nothing arrives.
    EXPECT_EQ(result.output.find("read"), std::string::npos);
    EXPECT_EQ(result.output.find("KEELBROOK_INSTALLER_TEST_VARIABLE"), std::string::npos);
    EXPECT_NE(result.output.find("DEBIAN_FRONTEND=noninteractive\n"), std::string::npos);
    EXPECT_NE(result.output.find("LC_ALL=C\n"), std::string::npos);
    EXPECT_NE(
        result.output.find("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"),
        std::string::npos);
    EXPECT_EQ(lines, (std::vector<std::string>{"to error", "last"}));
}

TEST(InstallerTool, BoundsCapturedOutputAndLongLines) {
    auto result = runTool(shell("head -c 100000 /dev/zero | tr '\\0' x"), Output::Capture,
                          [](std::string_view) {});
    EXPECT_TRUE(result.succeeded());
    EXPECT_TRUE(result.truncated);
    EXPECT_EQ(result.output.size(), installer::kMaximumCapturedOutput);
    EXPECT_EQ(result.output.find_first_not_of('x'), std::string::npos);

    std::vector<std::size_t> lengths;
    result = runTool(shell("head -c 9000 /dev/zero | tr '\\0' y; echo; echo short"), Output::Lines,
                     [&](std::string_view line) { lengths.push_back(line.size()); });
    EXPECT_TRUE(result.succeeded());
    EXPECT_TRUE(result.output.empty());
    EXPECT_EQ(lengths, (std::vector<std::size_t>{4096, 4096, 808, 5}));
}

TEST(InstallerTool, EndsWhenTheToolExitsEvenIfABackgroundProcessKeepsItsOutputOpen) {
    std::vector<std::string> lines;
    // The background process holds standard output and error; it prints its pid first.
    const auto result = runTool(shell("sleep 60 & echo $!; echo done"), Output::Lines,
                                [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_TRUE(result.succeeded());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "done");
    ::kill(std::atoi(lines[0].c_str()), SIGKILL);
}

TEST(InstallerTool, ReportsAToolThatCannotStartOrIsKilled) {
    auto result = runTool({"/nonexistent/tool"}, Output::Capture, [](std::string_view) {});
    EXPECT_FALSE(result.succeeded());
    EXPECT_EQ(result.outcome(), "cannot start: No such file or directory");

    result = runTool(shell("kill -TERM $$"), Output::Capture, [](std::string_view) {});
    EXPECT_FALSE(result.succeeded());
    EXPECT_EQ(result.outcome(), "signal 15");
}

} // namespace
