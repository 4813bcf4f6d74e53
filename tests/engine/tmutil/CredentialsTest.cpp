// A remote repository's credentials: stored root-only, handed to every restic run, refused
// when they would take over the engine's own settings, never written anywhere else.

#include "tests/engine/tmutil/EngineFixture.h"

#include <sys/stat.h>

namespace enginetest {
namespace {

constexpr const char* kSecret = "s3cr3t-Value-7f1c";

class CredentialsTest : public EngineTest {
protected:
    // A credentials file in the test's root holding `text`.
    std::string credentials(const std::string& text) {
        const fs::path file = root_.path() / "given-credentials";
        std::ofstream(file) << text;
        return file.string();
    }

    void expectNoSecretIn(const std::string& text, const char* where) {
        EXPECT_EQ(text.find(kSecret), std::string::npos) << where;
    }
};

TEST_F(CredentialsTest, ReachEveryResticRunAndGoWithANewDestination) {
    // restic puts its temporary pack files under TMPDIR: pointing it at a missing folder
    // makes a backup fail naming that folder, which shows the variable reached restic.
    const std::string missing = (root_.path() / "no-temporary-folder").string();
    const std::string given = credentials("# keys for the store\n\nTMPDIR=" + missing +
                                          "\r\nAWS_SECRET_ACCESS_KEY=" + kSecret + "\n");
    const auto set = tmutil({"setdestination", "-c", given, repository_.string()});
    ASSERT_EQ(set.exitStatus, 0) << set.output;
    struct stat st {};
    ASSERT_EQ(::stat(engine::credentialsFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(readText(engine::credentialsFile()),
              "TMPDIR=" + missing + "\nAWS_SECRET_ACCESS_KEY=" + kSecret + "\n");
    EXPECT_FALSE(fs::exists(engine::credentialsFile() + ".new"));

    for (const char* folder : {"/home", "/etc"}) {
        ASSERT_EQ(tmutil({"removesource", folder}).exitStatus, 0);
    }
    ASSERT_EQ(tmutil({"addsource", data_.string()}).exitStatus, 0);
    writeRandomFile(data_ / "file", 4096);
    // The same destination again without -c keeps them.
    const auto again =
        testsupport::runChild({"/bin/sh", "-c",
                               "cat '" + engine::passwordFile() + "' | " + TMUTIL_PATH +
                                   " setdestination -p " + repository_.string()},
                              testsupport::ChildProcess::Errors::WithOutput);
    ASSERT_EQ(again.exitStatus, 0) << again.output;
    ASSERT_TRUE(fs::exists(engine::credentialsFile()));

    const auto failed = tmutil({"startbackup", "--block"});
    EXPECT_NE(failed.exitStatus, 0) << failed.output;
    EXPECT_NE(workerLog().find(missing), std::string::npos) << workerLog();
    EXPECT_NE(recordedResult().value_or(0), 0);
    const auto listed = tmutil({"listbackups"});
    EXPECT_EQ(listed.exitStatus, 0) << listed.output;
    expectNoSecretIn(workerLog(), "the worker's log");
    expectNoSecretIn(readText(engine::preferencesFile()), "the preferences");
    expectNoSecretIn(failed.output + listed.output, "tmutil's output");

    // A new destination without -c drops the old credentials: the backup now works.
    const fs::path other = root_.path() / "other-repository";
    ASSERT_EQ(tmutil({"setdestination", other.string()}).exitStatus, 0);
    EXPECT_FALSE(fs::exists(engine::credentialsFile()));
    const auto done = tmutil({"startbackup", "--block"});
    EXPECT_EQ(done.exitStatus, 0) << done.output << workerLog();
    EXPECT_EQ(recordedResult(), 0);
}

TEST_F(CredentialsTest, RefusedFilesAndURLsChangeNothing) {
    const auto first =
        testsupport::runChild({"/bin/sh", "-c",
                               std::string("printf 'B2_ACCOUNT_KEY=") + kSecret + "\\n' | " +
                                   TMUTIL_PATH + " setdestination -c - " + repository_.string()},
                              testsupport::ChildProcess::Errors::WithOutput);
    ASSERT_EQ(first.exitStatus, 0) << first.output;
    const std::string stored = readText(engine::credentialsFile());
    ASSERT_EQ(stored, std::string("B2_ACCOUNT_KEY=") + kSecret + "\n");
    const std::string preferences = readText(engine::preferencesFile());
    const std::string password = readText(engine::passwordFile());

    const fs::path other = root_.path() / "other-repository";
    for (const std::string& bad :
         {std::string("PATH=/tmp/") + kSecret, std::string("LD_PRELOAD=/tmp/") + kSecret,
          std::string("RESTIC_PASSWORD=") + kSecret, std::string("RESTIC_PASSWORD_COMMAND=/x"),
          std::string("RESTIC_REPOSITORY_FILE=/x"), std::string("aws_key=") + kSecret,
          std::string(kSecret), std::string("=") + kSecret,
          std::string("AZURE_ACCOUNT_KEY=1\nAZURE_ACCOUNT_KEY=") + kSecret}) {
        const auto refused =
            tmutil({"setdestination", "-c", credentials(bad + "\n"), other.string()});
        EXPECT_EQ(refused.exitStatus, 1) << bad;
        EXPECT_EQ(std::count(refused.output.begin(), refused.output.end(), '\n'), 1)
            << refused.output;
        EXPECT_NE(refused.output.find("line "), std::string::npos) << refused.output;
        expectNoSecretIn(refused.output, "the refusal");
    }
    const auto unreadable = tmutil({"setdestination", "-c", "/nonexistent", other.string()});
    EXPECT_EQ(unreadable.exitStatus, 1);

    const auto embedded =
        tmutil({"setdestination", std::string("rest:https://user:") + kSecret + "@127.0.0.1:9/r"});
    EXPECT_EQ(embedded.exitStatus, 1);
    EXPECT_NE(embedded.output.find("-c"), std::string::npos) << embedded.output;
    expectNoSecretIn(embedded.output, "the refusal");

    EXPECT_FALSE(fs::exists(other));
    EXPECT_EQ(readText(engine::credentialsFile()), stored);
    EXPECT_EQ(readText(engine::preferencesFile()), preferences);
    EXPECT_EQ(readText(engine::passwordFile()), password);
    EXPECT_FALSE(fs::exists(engine::credentialsFile() + ".new"));
}

} // namespace
} // namespace enginetest
