#include "common/VRNAuthorizationErrors.h"
#include "common/VRNAuthorizationManager.h"
#include "common/VRNAuthorizationProtocol.h"
#include "common/authority/VRNAuthority.h"
#include "platform/dispatch/VirtualClock.h"
#include "tests/common/LogTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/Waiter.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <map>
#include <set>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

constexpr const char* kModify1 = "com.vornhal.keelbrook.settings.modify-1";
constexpr const char* kModify2 = "com.vornhal.keelbrook.settings.modify-2";
constexpr const char* kUninstall = "com.vornhal.keelbrook.uninstall";
const std::vector<std::string> kModify{kModify1, kModify2};
const std::vector<std::string> kUninstallRights{kUninstall};

// Unused uid numbers: no account exists for them; the directory below names them.
constexpr uid_t kAlice = 60001; // an administrator
constexpr uid_t kBob = 60002;   // not one (in "wheel", which "sudo" outranks)

plist::Dictionary userRight(const char* comment) {
    return {{"class", "user"},
            {"comment", comment},
            {"group", "admin"},
            {"timeout", 15},
            {"shared", false}};
}

// The product's three rights; "modify-1" admits administrators when `adminChanges`.
plist::Dictionary productRights(bool adminChanges) {
    plist::Array rule{plist::Value("is-root")};
    if (adminChanges) {
        rule.emplace_back("is-admin");
    }
    return {
        {kModify1, plist::Dictionary{{"class", "rule"},
                                     {"comment", "Used by Keelbrook to change settings."},
                                     {"k-of-n", 1},
                                     {"rule", rule},
                                     {"shared", false}}},
        {kModify2, userRight("Used by Keelbrook to change settings (when the 'modify-1' right is "
                             "not granted).")},
        {kUninstall, userRight("Used by Keelbrook to allow uninstalling.")},
    };
}

class FakeDirectory final : public VRNAuthorityDirectory {
public:
    std::map<uid_t, std::string> users{{0, "root"}, {kAlice, "alice"}, {kBob, "bob"}};
    std::map<std::string, std::set<std::string>> groups{{"sudo", {"alice", "carol"}},
                                                        {"wheel", {"bob"}}};

    std::optional<std::string> userNameForUser(uid_t uid) override {
        auto found = users.find(uid);
        return found == users.end() ? std::nullopt : std::optional(found->second);
    }
    bool groupExists(const std::string& group) override { return groups.count(group) != 0; }
    bool isMemberOfGroup(const std::string& user, const std::string& group) override {
        auto found = groups.find(group);
        return found != groups.end() && found->second.count(user) != 0;
    }
};

VRNRightOutcome::Kind evaluate(const std::string& right, const plist::Dictionary& rights, uid_t uid,
                               std::optional<VRNAuthorizationCredential> credential = {},
                               dispatch::Duration now = {}) {
    FakeDirectory directory;
    return VRNEvaluateRight(right, rights, {uid, std::move(credential), now}, directory).kind;
}

using Kind = VRNRightOutcome::Kind;

TEST(AuthorizationRulesTest, ProductRightsForRootAdministratorsAndOthers) {
    const auto allowed = productRights(true);
    EXPECT_EQ(evaluate(kModify1, allowed, 0), Kind::Granted);
    EXPECT_EQ(evaluate(kModify1, allowed, kAlice), Kind::Granted);
    EXPECT_EQ(evaluate(kModify1, allowed, kBob), Kind::Denied);
    EXPECT_EQ(evaluate(kModify1, allowed, 60099), Kind::Denied); // no user name at all
    const auto rootOnly = productRights(false);
    EXPECT_EQ(evaluate(kModify1, rootOnly, 0), Kind::Granted);
    EXPECT_EQ(evaluate(kModify1, rootOnly, kAlice), Kind::Denied);

    FakeDirectory directory;
    const auto wanting = VRNEvaluateRight(kModify2, allowed, {kBob, {}, {}}, directory);
    EXPECT_EQ(wanting.kind, Kind::NeedsCredential);
    EXPECT_EQ(wanting.group, "sudo");
    // A credential counts for members of the group, for "timeout" seconds.
    const VRNAuthorizationCredential carol{"carol", 100s};
    EXPECT_EQ(evaluate(kModify2, allowed, kBob, carol, 114s), Kind::Granted);
    EXPECT_EQ(evaluate(kModify2, allowed, kBob, carol, 115s), Kind::NeedsCredential);
    EXPECT_EQ(evaluate(kModify2, allowed, kBob, VRNAuthorizationCredential{"bob", 100s}, 101s),
              Kind::NeedsCredential);
}

TEST(AuthorizationRulesTest, KOfNNestedRulesAndMalformedDefinitions) {
    const plist::Dictionary rights{
        {"both",
         plist::Dictionary{{"class", "rule"},
                           {"rule", plist::Array{plist::Value("is-root"), plist::Value("open")}},
                           {"k-of-n", 2}}},
        {"all", plist::Dictionary{{"class", "rule"},
                                  {"rule", plist::Array{plist::Value("is-admin"),
                                                        plist::Value("closed")}}}},
        {"named", plist::Dictionary{{"class", "rule"}, {"rule", "is-admin"}}},
        {"open", plist::Dictionary{{"class", "allow"}}},
        {"closed", plist::Dictionary{{"class", "deny"}}},
        {"loop", plist::Dictionary{{"class", "rule"}, {"rule", "loop"}}},
        {"zero", plist::Dictionary{{"class", "rule"}, {"rule", "open"}, {"k-of-n", 0}}},
        {"odd", plist::Dictionary{{"class", "bogus"}}},
        {"nogroup", plist::Dictionary{{"class", "user"}, {"group", "staff"}}},
        {"badtimeout", plist::Dictionary{{"class", "user"}, {"group", "sudo"}, {"timeout", -1}}},
    };
    EXPECT_EQ(evaluate("both", rights, 0), Kind::Granted);
    EXPECT_EQ(evaluate("both", rights, kAlice), Kind::Denied);
    EXPECT_EQ(evaluate("all", rights, kAlice), Kind::Denied); // no k-of-n: every rule
    EXPECT_EQ(evaluate("named", rights, kAlice), Kind::Granted);
    for (const char* denied : {"loop", "zero", "odd", "nogroup", "badtimeout", "undefined"}) {
        EXPECT_EQ(evaluate(denied, rights, 0), Kind::Denied) << denied;
    }
}

TEST(AuthorizationRulesTest, AdministratorsGroupAndFailureDelays) {
    FakeDirectory directory;
    EXPECT_EQ(VRNAdministratorsGroup(directory), "sudo");
    directory.groups["admin"] = {};
    EXPECT_EQ(VRNAdministratorsGroup(directory), "admin");
    directory.groups.erase("admin");
    directory.groups.erase("sudo");
    EXPECT_EQ(VRNAdministratorsGroup(directory), "wheel");
    directory.groups.clear();
    EXPECT_EQ(VRNAdministratorsGroup(directory), std::nullopt);

    std::vector<long long> delays;
    for (unsigned failures : {0u, 2u, 3u, 4u, 16u, 17u, 100u}) {
        delays.push_back(
            std::chrono::duration_cast<std::chrono::seconds>(VRNAuthority::failureDelay(failures))
                .count());
    }
    EXPECT_THAT(delays, ElementsAre(0, 0, 2, 4, 28, 30, 30));
}

dispatch::VirtualClock& clock() {
    return dispatch::VirtualClock::install();
}

std::optional<plist::Data> dataOfHex(const std::string& hex) {
    if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return std::nullopt;
    }
    plist::Data data;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        data.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return data;
}

// Answers every prompt with `user` and `password` (none: cancels), counting the prompts.
struct Prompter {
    std::string user;
    std::optional<std::string> password;
    std::vector<VRNAuthorizationPromptRequest> asked;

    VRNAuthorizationPromptHandler handler() {
        return [this](const VRNAuthorizationPromptRequest& request)
                   -> std::optional<VRNAuthorizationPromptAnswer> {
            asked.push_back(request);
            if (!password) {
                return std::nullopt;
            }
            return VRNAuthorizationPromptAnswer{user, *password};
        };
    }
};

class AuthorityTest : public testing::Test {
protected:
    void SetUp() override {
        logtest::recorder();
        testsupport::installEnvironment();
        std::filesystem::permissions(_root.path(), std::filesystem::perms(0755));
        const auto pam = _root.path() / "pam";
        std::filesystem::create_directory(pam);
        const auto script = pam / "check";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "pw=$(tr -d '\\000')\n"
                                 "case \"$PAM_USER:$pw\" in\n"
                                 "alice:alice-secret|carol:carol-secret) exit 0 ;;\n"
                                 "esac\n"
                                 "exit 1\n";
        std::filesystem::permissions(script, std::filesystem::perms(0755));
        std::ofstream(pam / "keelbrook")
            << "auth required pam_exec.so quiet expose_authtok " << script.string() << "\n"
            << "account required pam_permit.so\n";
        setRights(productRights(true));
        startAuthority();
    }

    void TearDown() override {
        _authority->stop();
        clock().drain();
    }

    VRNAuthorizationDatabase database() const {
        return VRNAuthorizationDatabase((_root.path() / "authorization.plist").string());
    }
    void setRights(const plist::Dictionary& rights) {
        std::optional<VRNError> error;
        ASSERT_TRUE(VRNAuthorizationManager::setAuthorizationRights(database(), rights, &error));
    }
    std::string socketPath() const {
        return (_root.path() / "run" / "keelbrook" / "authority.socket").string();
    }

    void startAuthority() {
        VRNAuthorityOptions options;
        options.server.socketPath = socketPath();
        options.server.activationName = "authority";
        options.server.trustedPrograms.paths = {
            std::filesystem::read_symlink("/proc/self/exe").string(), AUTHORITY_CLIENT};
        options.databasePath = database().path();
        options.pamConfigurationFolder = (_root.path() / "pam").string();
        options.directory = _directory;
        options.holds.hold = [this](const std::string& reason) {
            EXPECT_EQ(reason, "authorization");
            ++_holds;
        };
        options.holds.release = [this](const std::string&) {
            --_holds;
        };
        options.delayObserver = [this](uid_t, dispatch::Duration delay) {
            _delays.push_back(delay);
            _delayed.notify();
        };
        _authority = VRNAuthority::create(testsupport::environment(), std::move(options));
        ASSERT_TRUE(_authority->start());
    }

    std::unique_ptr<VRNAuthorizationManager> manager(Prompter* prompter = nullptr) {
        auto made = std::make_unique<VRNAuthorizationManager>(socketPath());
        if (prompter) {
            made->setPromptHandler(prompter->handler());
        }
        return made;
    }

    // Null when `blob` proves one of `rights` for `uid`, else the error.
    std::optional<VRNError> refusal(const plist::Data& blob, const std::vector<std::string>& rights,
                                    uid_t uid) {
        std::optional<VRNError> error;
        if (_authority->validateAuthorizationExternalData(blob, rights, uid, &error)) {
            return std::nullopt;
        }
        EXPECT_TRUE(error.has_value());
        return error ? error : VRNError("none", -1);
    }

    // "blob <hex>" or "error <domain> <code>" of a client running as `uid`.
    std::string inChild(uid_t uid, const std::string& credentials,
                        const std::vector<std::string>& rights,
                        std::unique_ptr<testsupport::ChildProcess>* keep) {
        std::vector<std::string> args{AUTHORITY_CLIENT, std::to_string(uid), socketPath(),
                                      credentials};
        args.insert(args.end(), rights.begin(), rights.end());
        *keep = std::make_unique<testsupport::ChildProcess>(args);
        return (*keep)->line(20s).value_or("no answer");
    }

    plist::Data blobOf(const std::string& line) {
        EXPECT_THAT(line, testing::StartsWith("blob "));
        return dataOfHex(line.size() > 5 ? line.substr(5) : "").value_or(plist::Data{});
    }

    static std::vector<std::string> loggedLines() {
        std::vector<std::string> lines;
        for (const auto& entry : logtest::recorder().take()) {
            lines.push_back(entry.message);
        }
        return lines;
    }

    testsupport::TempFolder _root;
    std::shared_ptr<FakeDirectory> _directory = std::make_shared<FakeDirectory>();
    std::shared_ptr<VRNAuthority> _authority;
    std::atomic<int> _holds{0};
    std::vector<dispatch::Duration> _delays;
    testsupport::Waiter _delayed;
};

void expectError(const std::optional<VRNError>& error, long code) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain(), VRNAuthorizationErrorDomain);
    EXPECT_EQ(error->code(), code);
}

TEST_F(AuthorityTest, RootHoldsModifyWithoutAPromptAndOnlyItsOwnBlobValidates) {
    Prompter prompter{"carol", "carol-secret", {}};
    auto client = manager(&prompter);
    std::optional<VRNError> error;
    auto blob = client->authorizationExternalDataWithRights(kModify, &error);
    ASSERT_TRUE(blob.has_value()) << (error ? error->description() : "");
    EXPECT_EQ(blob->size(), kVRNAuthorizationExternalFormLength);
    EXPECT_TRUE(prompter.asked.empty());
    EXPECT_EQ(refusal(*blob, kModify, 0), std::nullopt);
    EXPECT_EQ(_authority->sessionCount(), 1u);
    EXPECT_EQ(_holds, 1);
    // The same rights again reuse the session, and so its external form.
    EXPECT_EQ(client->authorizationExternalDataWithRights(kModify, &error), blob);
    EXPECT_EQ(_authority->sessionCount(), 1u);

    // Too short, forged, or from another uid: not an external form the authority knows.
    for (auto [bad, uid] : {std::pair{plist::Data(blob->begin(), blob->end() - 1), uid_t{0}},
                            std::pair{[&] {
                                          plist::Data forged = *blob;
                                          forged[31] ^= 1;
                                          return forged;
                                      }(),
                                      uid_t{0}},
                            std::pair{*blob, kAlice}}) {
        auto refused = refusal(bad, kModify, uid);
        expectError(refused, VRNAuthorizationErrorCreateFromExternalFormFailed);
        EXPECT_EQ(refused->userInfo().at("status"), plist::Value(VRNAuthorizationStatusInvalidRef));
    }

    // Ending the reference ends the session and everything it held.
    client->invalidate();
    clock().drain();
    EXPECT_EQ(_authority->sessionCount(), 0u);
    EXPECT_EQ(_holds, 0);
    expectError(refusal(*blob, kModify, 0), VRNAuthorizationErrorCreateFromExternalFormFailed);
}

TEST_F(AuthorityTest, CredentialIsReusedForFifteenSecondsThenAskedForAgain) {
    Prompter prompter{"carol", "carol-secret", {}};
    auto client = manager(&prompter);
    std::optional<VRNError> error;
    auto blob = client->authorizationExternalDataWithRights(kUninstallRights, &error);
    ASSERT_TRUE(blob.has_value()) << (error ? error->description() : "");
    ASSERT_EQ(prompter.asked.size(), 1u);
    EXPECT_EQ(prompter.asked[0].prompt, "You must authenticate to change the product settings.");
    EXPECT_EQ(prompter.asked[0].right, kUninstall);
    EXPECT_EQ(prompter.asked[0].group, "sudo");
    EXPECT_EQ(prompter.asked[0].defaultUser, "root");
    EXPECT_EQ(refusal(*blob, kUninstallRights, 0), std::nullopt);

    clock().advance(14s);
    EXPECT_EQ(client->authorizationExternalDataWithRights(kUninstallRights, &error), blob);
    EXPECT_EQ(prompter.asked.size(), 1u);
    EXPECT_EQ(refusal(*blob, kUninstallRights, 0), std::nullopt);

    // Replayed after the credential expired.
    clock().advance(1s);
    auto expired = refusal(*blob, kUninstallRights, 0);
    expectError(expired, VRNAuthorizationErrorValidateRightsFailed);
    EXPECT_EQ(expired->userInfo().at("rights"),
              plist::Value(plist::Array{plist::Value(std::string(kUninstall) + " (-60007)")}));
    EXPECT_TRUE(client->authorizationExternalDataWithRights(kUninstallRights, &error));
    EXPECT_EQ(prompter.asked.size(), 2u);

    for (const std::string& line : loggedLines()) {
        EXPECT_THAT(line, Not(HasSubstr("carol-secret")));
    }
}

TEST_F(AuthorityTest, UninstallRightDiscardsTheSettingsReference) {
    Prompter prompter{"carol", "carol-secret", {}};
    auto client = manager(&prompter);
    std::optional<VRNError> error;
    auto settings = client->authorizationExternalDataWithRights(kModify, &error);
    ASSERT_TRUE(settings.has_value());
    auto uninstall = client->authorizationExternalDataWithRights(kUninstallRights, &error);
    ASSERT_TRUE(uninstall.has_value());
    EXPECT_NE(settings, uninstall);
    clock().drain();
    EXPECT_EQ(_authority->sessionCount(), 1u);
    expectError(refusal(*settings, kModify, 0), VRNAuthorizationErrorCreateFromExternalFormFailed);
    EXPECT_EQ(refusal(*uninstall, kUninstallRights, 0), std::nullopt);
    // The uninstall session holds no settings right beyond root's own.
    EXPECT_EQ(refusal(*uninstall, kModify, 0), std::nullopt);
}

TEST_F(AuthorityTest, InteractionOffCancelAndRefusalAreDistinct) {
    Prompter prompter{"carol", "carol-secret", {}};
    auto client = manager(&prompter);
    std::optional<VRNError> error;

    client->setAllowsUserInteraction(false);
    EXPECT_FALSE(client->authorizeRights(kUninstallRights, &error));
    expectError(error, VRNAuthorizationErrorAuthorizeRightsFailed);
    EXPECT_FALSE(error->userCanceledAuthentication());
    EXPECT_TRUE(prompter.asked.empty());
    // A later right granted without interaction still succeeds (root's "modify-1").
    EXPECT_TRUE(client->authorizeRights({kUninstall, kModify1}, &error));

    client->setAllowsUserInteraction(true);
    prompter.password.reset();
    error.reset();
    EXPECT_FALSE(client->authorizeRights({kUninstall, kModify1}, &error));
    expectError(error, VRNAuthorizationErrorCanceled);
    EXPECT_TRUE(error->userCanceledAuthentication());
    EXPECT_EQ(error->userInfo().at("rights"),
              plist::Value(plist::Array{plist::Value(kUninstall), plist::Value(kModify1)}));
    EXPECT_EQ(prompter.asked.size(), 1u); // the cancel ends the attempt at once

    prompter.asked.clear();
    prompter.password = "wrong";
    EXPECT_FALSE(client->authorizeRights(kUninstallRights, &error));
    expectError(error, VRNAuthorizationErrorAuthorizeRightsFailed);
    EXPECT_FALSE(error->userCanceledAuthentication());
    ASSERT_EQ(prompter.asked.size(), 3u);
    EXPECT_EQ(prompter.asked[2].failedAttempts, 2);
    EXPECT_TRUE(_delays.empty()); // three failures in a row cost nothing yet
    const auto lines = loggedLines();
    EXPECT_THAT(lines,
                testing::Contains(HasSubstr("Authentication of user carol for uid 0 failed")));
    for (const std::string& line : lines) {
        EXPECT_THAT(line, Not(HasSubstr("wrong")));
    }
}

TEST_F(AuthorityTest, FailedAttemptsBeyondThreeWaitOnATimer) {
    Prompter prompter{"carol", "wrong", {}};
    auto client = manager(&prompter);
    std::optional<VRNError> error;
    EXPECT_FALSE(client->authorizeRights(kUninstallRights, &error));
    ASSERT_EQ(prompter.asked.size(), 3u);

    // The fourth attempt waits 2 s; then the right password gets through.
    testsupport::Waiter prompted;
    std::vector<dispatch::Duration> promptedAt;
    client->setPromptHandler([&](const VRNAuthorizationPromptRequest&) {
        promptedAt.push_back(clock().now(dispatch::ClockKind::Monotonic));
        prompted.notify();
        return std::optional<VRNAuthorizationPromptAnswer>({"carol", "carol-secret"});
    });
    auto outcome = std::async(std::launch::async, [&] {
        std::optional<VRNError> asyncError;
        return client->authorizeRights(kUninstallRights, &asyncError);
    });
    ASSERT_TRUE(_delayed.waitFor(1));
    EXPECT_THAT(_delays, ElementsAre(dispatch::Duration(2s)));
    clock().advance(1900ms);
    EXPECT_EQ(outcome.wait_for(0s), std::future_status::timeout);
    clock().advance(100ms);
    ASSERT_EQ(outcome.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(outcome.get());
    EXPECT_EQ(promptedAt.size(), 1u);
    EXPECT_THAT(loggedLines(),
                testing::Contains(HasSubstr("Password check for uid 0 waits 2 s after failures.")));
}

TEST_F(AuthorityTest, SessionsEndWithTheAuthorityAndBlobsDoNotSurviveARestart) {
    Prompter prompter{"carol", "carol-secret", {}};
    auto client = manager(&prompter);
    std::optional<VRNError> error;
    auto before = client->authorizationExternalDataWithRights(kUninstallRights, &error);
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(_holds, 1);

    _authority->stop();
    clock().drain();
    EXPECT_EQ(_holds, 0);
    EXPECT_EQ(_authority->sessionCount(), 0u);
    startAuthority();
    expectError(refusal(*before, kUninstallRights, 0),
                VRNAuthorizationErrorCreateFromExternalFormFailed);

    // The client notices its session ended and authorizes afresh, within the 15 seconds.
    auto after = client->authorizationExternalDataWithRights(kUninstallRights, &error);
    ASSERT_TRUE(after.has_value()) << (error ? error->description() : "");
    EXPECT_NE(before, after);
    EXPECT_EQ(prompter.asked.size(), 2u);
    EXPECT_EQ(refusal(*after, kUninstallRights, 0), std::nullopt);
    EXPECT_EQ(_holds, 1);
}

TEST_F(AuthorityTest, RightsDatabaseKeepsOtherRightsAndRefusesBadOnes) {
    struct stat st {};
    ASSERT_EQ(::stat(database().path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    std::optional<VRNError> error;
    plist::Dictionary change{{"odd", plist::Dictionary{{"class", "bogus"}}},
                             {kModify1, plist::Dictionary{{"class", "deny"}}}};
    EXPECT_FALSE(VRNAuthorizationManager::setAuthorizationRights(database(), change, &error));
    expectError(error, VRNAuthorizationErrorSetRightsFailed);
    EXPECT_EQ(error->userInfo().count("status"), 0u);
    EXPECT_EQ(error->userInfo().at("rights"),
              plist::Value(plist::Array{plist::Value("odd (-60001)")}));
    EXPECT_EQ(database().right(kModify1)->at("class"), plist::Value("deny"));
    EXPECT_TRUE(database().right(kUninstall).has_value());
    EXPECT_FALSE(database().right("odd").has_value());

    // A database others may write defines nothing.
    setRights(productRights(true));
    auto client = manager();
    auto blob = client->authorizationExternalDataWithRights(kModify, &error);
    ASSERT_TRUE(blob.has_value());
    ASSERT_EQ(::chmod(database().path().c_str(), 0666), 0);
    auto refused = refusal(*blob, {kModify1}, 0);
    expectError(refused, VRNAuthorizationErrorValidateRightsFailed);
    EXPECT_EQ(refused->userInfo().at("rights"),
              plist::Value(plist::Array{plist::Value(std::string(kModify1) + " (-60008)")}));
}

TEST_F(AuthorityTest, OtherUsersInTheirOwnProcesses) {
    std::unique_ptr<testsupport::ChildProcess> alice, bob, bobAsCarol, bobAsBob;
    // An administrator, while administrators may change settings: no password.
    const plist::Data aliceBlob = blobOf(inChild(kAlice, "none", kModify, &alice));
    EXPECT_EQ(refusal(aliceBlob, kModify, kAlice), std::nullopt);
    expectError(refusal(aliceBlob, kModify, kBob),
                VRNAuthorizationErrorCreateFromExternalFormFailed);

    // Not an administrator: refused without interaction, granted as an administrator.
    EXPECT_EQ(inChild(kBob, "none", kModify, &bob), "error com.vornhal.authorization 6");
    const plist::Data bobBlob = blobOf(inChild(kBob, "carol:carol-secret", kModify, &bobAsCarol));
    EXPECT_EQ(refusal(bobBlob, kModify, kBob), std::nullopt);
    EXPECT_EQ(inChild(kBob, "bob:anything", kModify, &bobAsBob),
              "error com.vornhal.authorization 6");
    // Refused clients dropped their sessions; the two holding rights keep theirs.
    clock().drain();
    EXPECT_EQ(_holds, 2);

    // Administrators no longer allowed: alice's held blob fails at once.
    setRights(productRights(false));
    auto refused = refusal(aliceBlob, kModify, kAlice);
    expectError(refused, VRNAuthorizationErrorValidateRightsFailed);
    EXPECT_EQ(refused->userInfo().at("rights"),
              plist::Value(plist::Array{plist::Value(std::string(kModify1) + " (-60005)"),
                                        plist::Value(std::string(kModify2) + " (-60007)")}));
    std::unique_ptr<testsupport::ChildProcess> aliceAgain, aliceWithPassword;
    EXPECT_EQ(inChild(kAlice, "none", kModify, &aliceAgain), "error com.vornhal.authorization 6");
    const plist::Data withPassword =
        blobOf(inChild(kAlice, "alice:alice-secret", kModify, &aliceWithPassword));
    EXPECT_EQ(refusal(withPassword, kModify, kAlice), std::nullopt);

    // A client that goes away takes its session with it.
    alice.reset();
    bobAsCarol.reset();
    clock().drain();
    expectError(refusal(bobBlob, kModify, kBob), VRNAuthorizationErrorCreateFromExternalFormFailed);
}

} // namespace
