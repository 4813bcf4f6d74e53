#include "LogTestSupport.h"
#include "common/KBEErrors.h"
#include "common/VRNAuthorizationErrors.h"
#include "common/VRNError.h"
#include "common/VRNErrorTable.h"
#include "scheduler/updater/VRNInstallerPackageErrors.h"
#include "common/VRNLog.h"
#include "common/VRNMessagerErrors.h"
#include "common/VRNSpawn.h"
#include "common/VRNUpdaterErrors.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <syslog.h>

namespace {

using logtest::recorder;

class ErrorTest : public testing::Test {
protected:
    static void SetUpTestSuite() { folder_ = logtest::installLogging("scheduler"); }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    void SetUp() override { recorder().take(); }

    static std::string textOf(const char* domain, long code, VRNUserInfo info = {}) {
        return VRNError::localizedDescriptionForError(VRNError(domain, code, std::move(info)));
    }
    static int levelOf(const char* domain, long code) {
        return VRNError::logLevelForError(VRNError(domain, code));
    }

    static inline logtest::TempFolder* folder_ = nullptr;
};

TEST_F(ErrorTest, UpdaterTextsAndLevels) {
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorAlreadyLatest),
              "You are already running the latest version.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorFetchFailed),
              "Could not fetch update information.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorFetchFailed, {{"status-code", 404}}),
              "Could not fetch update information. not found (404).");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorDownloadFailed, {{"status-code", 503}}),
              "Could not download update. service unavailable (503).");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorReadFailed),
              "Could not read update data.");
    EXPECT_EQ(
        textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorInvalidInformation, {{"info", "no items"}}),
        "Invalid update information: no items.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorMoveFailed),
              "Could not move update package.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorValidationFailed),
              "Could not validate update.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorInstallFailed),
              "Could not install update.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorNotNow),
              "Update cannot be performed now.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorPhasedDeferral),
              "Update has been deferred due to phased update.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorUntrustedServer),
              "The update server could not be trusted, you may be victim of SSL/TLS decryption.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, VRNUpdaterErrorTooManyRequests),
              "You have made too many requests to the update server. Please try again later.");
    for (long code = VRNUpdaterErrorAlreadyLatest; code <= VRNUpdaterErrorTooManyRequests; ++code) {
        const bool quiet = code == VRNUpdaterErrorAlreadyLatest || code == VRNUpdaterErrorNotNow ||
                           code == VRNUpdaterErrorPhasedDeferral;
        EXPECT_EQ(levelOf(VRNUpdaterErrorDomain, code),
                  quiet ? VRNLogLevelDefault : VRNLogLevelError)
            << code;
    }
}

TEST_F(ErrorTest, InstallerPackageAndSpawnerTexts) {
    EXPECT_EQ(textOf(VRNInstallerPackageErrorDomain, VRNInstallerPackageErrorCannotRead,
                     {{"path", "/tmp/K.pkg"}}),
              "Could not read installer package at path '/tmp/K.pkg'.");
    EXPECT_EQ(textOf(VRNInstallerPackageErrorDomain, VRNInstallerPackageErrorNotSigned),
              "Installer package is not signed.");
    EXPECT_EQ(textOf(VRNInstallerPackageErrorDomain, VRNInstallerPackageErrorInvalidSignature),
              "Installer package signature is invalid.");
    EXPECT_EQ(textOf(VRNSpawnerErrorDomain, VRNSpawnerErrorSpawnFailed,
                     {{"tool", "/usr/bin/tmutil"}, {"errno", ENOENT}}),
              "Could not spawn '/usr/bin/tmutil'. No such file or directory (2).");
    EXPECT_EQ(textOf(VRNSpawnerErrorDomain, VRNSpawnerErrorExitStatus,
                     {{"tool", "/bin/false"}, {"exit-status", 1}}),
              "/bin/false exited with status 1.");
    EXPECT_EQ(
        textOf(VRNSpawnerErrorDomain, VRNSpawnerErrorSignal, {{"tool", "/bin/sh"}, {"signal", 9}}),
        "/bin/sh received signal 9 (Killed).");
    for (long code = VRNInstallerPackageErrorCannotRead;
         code <= VRNInstallerPackageErrorInvalidSignature; ++code) {
        EXPECT_EQ(levelOf(VRNInstallerPackageErrorDomain, code), VRNLogLevelError);
    }
    for (long code = VRNSpawnerErrorSpawnFailed; code <= VRNSpawnerErrorSignal; ++code) {
        EXPECT_EQ(levelOf(VRNSpawnerErrorDomain, code), VRNLogLevelError);
    }
}

TEST_F(ErrorTest, MessagerTextsWithAndWithoutMessage) {
    const auto info = [](plist::Dictionary extra) {
        extra.emplace("message", 4);
        return VRNUserInfo(std::move(extra));
    };
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, VRNMessagerErrorAuthorizeFailed, info({})),
              "Could not authorize message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, VRNMessagerErrorAuthorizationDataMissing, info({})),
              "Authorization data is missing for message (4).");
    EXPECT_EQ(
        textOf(VRNMessagerErrorDomain, VRNMessagerErrorSerializeFailed, info({{"payload", "{x}"}})),
        "Could not serialize message (4), payload: {x}.");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, VRNMessagerErrorDeserializeFailed, info({})),
              "Could not deserialize message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, VRNMessagerErrorSerializeReplyFailed,
                     info({{"reply", "r"}})),
              "Could not serialize reply for message (4), reply: r.");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, VRNMessagerErrorDeserializeReplyFailed, info({})),
              "Could not deserialize reply for message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, VRNMessagerErrorUnarchiveReplyErrorFailed, info({})),
              "Could not unarchive reply error for message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, VRNMessagerErrorServiceUnavailable,
                     info({{"service", "svc"}})),
              "Could not send message (4), the service is not available (svc).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, VRNMessagerErrorServiceDisappeared,
                     info({{"service", "svc"}})),
              "Could not send message (4), the service disappeared (crash?) (svc).");
    EXPECT_EQ(
        textOf(VRNMessagerErrorDomain, VRNMessagerErrorServiceUnavailable, {{"service", "svc"}}),
        "The service is not available (svc).");
    EXPECT_EQ(
        textOf(VRNMessagerErrorDomain, VRNMessagerErrorServiceDisappeared, {{"service", "svc"}}),
        "The service disappeared (svc).");
    for (long code = VRNMessagerErrorAuthorizeFailed; code <= VRNMessagerErrorServiceDisappeared;
         ++code) {
        const bool quiet = code == VRNMessagerErrorServiceUnavailable ||
                           code == VRNMessagerErrorServiceDisappeared;
        EXPECT_EQ(levelOf(VRNMessagerErrorDomain, code),
                  quiet ? VRNLogLevelDefault : VRNLogLevelError)
            << code;
    }
}

TEST_F(ErrorTest, AuthorizationTexts) {
    const plist::Value rights(plist::Array{"a.right", "b.right"});
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCanceled),
              "User canceled authentication.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCreateFailed,
                     {{"status", -60005}}),
              "Could not create authorization: -60005.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorMakeExternalFormFailed,
                     {{"status", 1}}),
              "Could not make external form: 1.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCreateFromExternalFormFailed,
                     {{"status", 2}}),
              "Could not create from external form: 2.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorSetRightsFailed,
                     {{"status", 3}, {"rights", rights}}),
              "Could not set rights (3): a.right, b.right.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorSetRightsFailed,
                     {{"rights", rights}}),
              "Could not set rights: a.right, b.right.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorValidateRightsFailed,
                     {{"rights", rights}}),
              "Could not validate rights: (\n    \"a.right\",\n    \"b.right\"\n).");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorAuthorizeRightsFailed,
                     {{"rights", rights}}),
              "Could not authorize rights: (\n    \"a.right\",\n    \"b.right\"\n).");
    EXPECT_EQ(levelOf(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCanceled), VRNLogLevelInfo);
    for (long code = VRNAuthorizationErrorCreateFailed;
         code <= VRNAuthorizationErrorAuthorizeRightsFailed; ++code) {
        EXPECT_EQ(levelOf(VRNAuthorizationErrorDomain, code), VRNLogLevelError);
    }
}

TEST_F(ErrorTest, KeelbrookTexts) {
    EXPECT_EQ(textOf(KBEErrorDomain, KBEErrorBackupRunning),
              "A backup operation is currently running.");
    EXPECT_EQ(textOf(KBEErrorDomain, KBEErrorUpdateRunning),
              "An update operation is currently running.");
    EXPECT_EQ(textOf(KBEErrorDomain, KBEErrorPeersConnected), "Peers are connected.");
    EXPECT_EQ(textOf(KBEErrorDomain, KBEErrorMissingValue, {{"key", "root"}}),
              "Missing value for key: 'root'.");
    EXPECT_EQ(textOf(KBEErrorDomain, KBEErrorWrongType,
                     {{"key", "Interval"}, {"expected", "dictionary"}}),
              "Wrong type for key: 'Interval', expected: 'dictionary'.");
    EXPECT_EQ(textOf(KBEErrorDomain, KBEErrorUnknownKey, {{"key", "Bogus"}}),
              "Unknown key: 'Bogus'.");
    for (long code = KBEErrorBackupRunning; code <= KBEErrorUnknownKey; ++code) {
        EXPECT_EQ(levelOf(KBEErrorDomain, code),
                  code <= KBEErrorPeersConnected ? VRNLogLevelDefault : VRNLogLevelError)
            << code;
    }
}

TEST_F(ErrorTest, UnknownDomainsAndCodesUseTheirOwnText) {
    EXPECT_EQ(textOf("org.example", 7),
              "The operation could not be completed. (org.example error 7.)");
    EXPECT_EQ(textOf(KBEErrorDomain, 99),
              "The operation could not be completed. (com.vornhal.keelbrook error 99.)");
    EXPECT_EQ(textOf("org.example", 7, {{VRNLocalizedDescriptionKey, "Disk full."}}), "Disk full.");
    EXPECT_EQ(levelOf("org.example", 0), VRNLogLevelError);
    EXPECT_EQ(levelOf(VRNAuthorizationErrorDomain, 9), VRNLogLevelError);
}

TEST_F(ErrorTest, ChainsJoinTheirTextsWithBlanks) {
    const VRNError spawner(VRNSpawnerErrorDomain, VRNSpawnerErrorExitStatus,
                           {{"tool", "/usr/sbin/installer"}, {"exit-status", 1}});
    const VRNError update(VRNUpdaterErrorDomain, VRNUpdaterErrorInstallFailed, {{}, spawner});
    EXPECT_EQ(VRNError::localizedDescriptionForError(update),
              "Could not install update. /usr/sbin/installer exited with status 1.");
    EXPECT_EQ(VRNError::_localizedDescriptionForError(update), "Could not install update.");

    const VRNError wrapped(KBEErrorDomain, KBEErrorPeersConnected,
                           {{}, VRNError("org.example", 3)});
    EXPECT_EQ(VRNError::localizedDescriptionForError(wrapped),
              "Peers are connected. The operation could not be completed. (org.example error 3.)");
}

TEST_F(ErrorTest, UserCanceledAuthenticationLooksDownTheChain) {
    const VRNError cancel(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCanceled);
    EXPECT_TRUE(cancel.userCanceledAuthentication());
    EXPECT_TRUE(VRNError(VRNAuthorizationErrorDomain, VRNAuthorizationErrorAuthorizeRightsFailed,
                         {{}, cancel})
                    .userCanceledAuthentication());
    EXPECT_TRUE(VRNError(VRNMessagerErrorDomain, VRNMessagerErrorAuthorizeFailed,
                         {{},
                          VRNError(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCreateFailed,
                                   {{}, cancel})})
                    .userCanceledAuthentication());
    EXPECT_FALSE(VRNError(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCreateFailed)
                     .userCanceledAuthentication());
    EXPECT_FALSE(VRNError(KBEErrorDomain, KBEErrorBackupRunning).userCanceledAuthentication());
}

TEST_F(ErrorTest, CreationLogsOnceAtTheErrorsLevel) {
    VRNError::errorWithDomain(VRNAuthorizationErrorDomain, VRNAuthorizationErrorCanceled);
    VRNError::errorWithDomain(KBEErrorDomain, KBEErrorMissingValue, {{"key", "root"}});
    VRNError::errorWithDomain(VRNUpdaterErrorDomain, VRNUpdaterErrorPhasedDeferral);
    const auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].message, "User canceled authentication.");
    EXPECT_EQ(entries[0].priority, LOG_INFO);
    EXPECT_EQ(entries[1].message, "Missing value for key: 'root'.");
    EXPECT_EQ(entries[1].priority, LOG_ERR);
    EXPECT_EQ(entries[2].priority, LOG_NOTICE);

    // Errors made directly (read back, passed on) are not logged again.
    VRNError("org.example", 1);
    EXPECT_TRUE(recorder().take().empty());
}

TEST_F(ErrorTest, DescriptionShowsDomainCodeTextAndUserInfo) {
    const VRNError error(VRNUpdaterErrorDomain, VRNUpdaterErrorInstallFailed,
                         {{{"b", 2}, {"a", "x y"}}, VRNError("org.example", 3)});
    EXPECT_EQ(error.description(),
              "Error Domain=com.vornhal.updater Code=7 \"Could not install update.\" "
              "UserInfo={VRNUnderlyingError={Error Domain=org.example Code=3 \"The operation could "
              "not be completed. (org.example error 3.)\" UserInfo={}}, a=x y, b=2}");
    EXPECT_EQ(VRNFormat("%@", error).value_or(""), error.description());
}

TEST_F(ErrorTest, ArchiveRoundTrip) {
    const plist::Value nested(plist::Dictionary{
        {"list", plist::Array{1, 2.5, true}},
        {"when", plist::Date{86400}},
        {"bytes", plist::Data{0, 1, 255}},
    });
    const VRNError inner(VRNSpawnerErrorDomain, VRNSpawnerErrorSignal,
                         {{"tool", "/bin/sh"}, {"signal", 9}});
    const VRNError middle(VRNUpdaterErrorDomain, VRNUpdaterErrorInstallFailed,
                          {{{"extra", nested}}, inner});
    const VRNError outer(VRNMessagerErrorDomain, VRNMessagerErrorAuthorizeFailed,
                         {{{"message", 2}}, middle});

    std::string reason;
    const auto back = VRNError::errorWithDictionary(VRNError::dictionaryForError(outer), &reason);
    ASSERT_TRUE(back) << reason;
    EXPECT_EQ(back->description(), outer.description());
    EXPECT_EQ(back->domain(), VRNMessagerErrorDomain);
    ASSERT_NE(back->underlyingError(), nullptr);
    EXPECT_TRUE(back->underlyingError()->userInfo().at("extra").isIdenticalTo(nested));
    ASSERT_NE(back->underlyingError()->underlyingError(), nullptr);
    EXPECT_EQ(back->underlyingError()->underlyingError()->code(), VRNSpawnerErrorSignal);
    EXPECT_EQ(back->underlyingError()->underlyingError()->underlyingError(), nullptr);
    EXPECT_TRUE(recorder().take().empty()); // reading back does not log
}

plist::Value archiveOf(plist::Dictionary fields) {
    plist::Dictionary archive{{"domain", "d"}, {"code", 1}, {"userInfo", plist::Dictionary{}}};
    for (auto& [key, value] : fields) {
        archive.insert_or_assign(key, value);
    }
    return archive;
}

TEST_F(ErrorTest, HostileArchivesAreRefused) {
    std::string reason;
    EXPECT_TRUE(VRNError::errorWithDictionary(archiveOf({}), &reason)) << reason;

    auto without = [](const char* key) {
        plist::Value archive = archiveOf({});
        archive.mutableDictionary().erase(key);
        return archive;
    };
    const plist::Value hostile[] = {
        plist::Value("not a dictionary"),
        plist::Value(plist::Array{archiveOf({})}),
        without("domain"),
        without("code"),
        without("userInfo"),
        archiveOf({{"domain", 5}}),
        archiveOf({{"code", "1"}}),
        archiveOf({{"code", 1.0}}),
        archiveOf({{"code", true}}),
        archiveOf({{"userInfo", plist::Array{}}}),
        archiveOf({{"underlyingError", "x"}}),
        archiveOf({{"underlyingError", archiveOf({{"code", "bad"}})}}),
        archiveOf({{"extra", 1}}),
    };
    for (const plist::Value& archive : hostile) {
        reason.clear();
        EXPECT_FALSE(VRNError::errorWithDictionary(archive, &reason))
            << plist::description(archive);
        EXPECT_FALSE(reason.empty());
    }
}

TEST_F(ErrorTest, ArchivesNestedBeyondTheBoundAreRefused) {
    auto chain = [](int depth) {
        plist::Value archive = archiveOf({});
        for (int i = 0; i < depth; ++i) {
            archive = archiveOf({{"underlyingError", archive}});
        }
        return archive;
    };
    std::string reason;
    EXPECT_TRUE(VRNError::errorWithDictionary(chain(VRNError::kMaximumArchiveDepth), &reason));
    EXPECT_FALSE(VRNError::errorWithDictionary(chain(VRNError::kMaximumArchiveDepth + 1), &reason));

    plist::Value deep(1);
    for (int i = 0; i < 1000; ++i) {
        deep = plist::Array{deep};
    }
    EXPECT_FALSE(VRNError::errorWithDictionary(
        archiveOf({{"userInfo", plist::Dictionary{{"k", deep}}}}), &reason));
    EXPECT_EQ(reason, "error user info nested too deeply");
}

// A domain of this test program's own, registered the way a component registers its domain.
const char* const TestErrorDomain = "com.vornhal.test.errors";
constexpr long TestErrorQuiet = 3;
constexpr long TestErrorNamed = 40;

const VRNErrorCode testCodes[] = {
    {TestErrorQuiet, VRNLogLevelInfo, "Nothing to see."},
    {TestErrorNamed, VRNLogLevelError, nullptr,
     [](const char*, const VRNErrorInfo& info) {
         return VRNErrorText("Named %@ (%d).", info.object("name"),
                             static_cast<int>(info.integer("count")));
     }},
};
const VRNErrorTableRegistration testRegistration{{TestErrorDomain, testCodes}};

TEST_F(ErrorTest, ADomainRegisteredOutsideCommonHasItsTextsAndLevels) {
    EXPECT_EQ(textOf(TestErrorDomain, TestErrorQuiet), "Nothing to see.");
    EXPECT_EQ(textOf(TestErrorDomain, TestErrorNamed, {{"name", "x"}, {"count", 7}}),
              "Named x (7).");
    EXPECT_EQ(textOf(TestErrorDomain, TestErrorNamed), "Named (null) (0).");
    EXPECT_EQ(levelOf(TestErrorDomain, TestErrorQuiet), VRNLogLevelInfo);
    EXPECT_EQ(levelOf(TestErrorDomain, TestErrorNamed), VRNLogLevelError);
    // Codes the table does not list fall back like unknown domains.
    EXPECT_EQ(textOf(TestErrorDomain, 4),
              "The operation could not be completed. (com.vornhal.test.errors error 4.)");
    EXPECT_EQ(levelOf(TestErrorDomain, 4), VRNLogLevelError);

    // The lookup is by name, not by the constant's address: an error read back finds it.
    const std::string name(TestErrorDomain);
    EXPECT_EQ(VRNError::_localizedDescriptionForError(VRNError(name, TestErrorQuiet)),
              "Nothing to see.");

    VRNError::errorWithDomain(TestErrorDomain, TestErrorQuiet);
    const auto entries = recorder().take();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "Nothing to see.");
    EXPECT_EQ(entries[0].priority, LOG_INFO);
}

TEST(ErrorTableDeathTest, RegisteringADomainTwiceAborts) {
    EXPECT_DEATH(VRNErrorTables::add({TestErrorDomain, testCodes}),
                 "com.vornhal.test.errors is registered twice");
    EXPECT_DEATH(VRNErrorTables::add({VRNSpawnerErrorDomain, testCodes}),
                 "com.vornhal.spawner is registered twice");
}

TEST(ErrorTableTest, EveryDomainOfCommonIsRegistered) {
    for (const char* domain :
         {VRNUpdaterErrorDomain, VRNInstallerPackageErrorDomain, VRNSpawnerErrorDomain,
          VRNMessagerErrorDomain, VRNAuthorizationErrorDomain, KBEErrorDomain}) {
        const VRNErrorTable* table = VRNErrorTables::find(domain);
        ASSERT_NE(table, nullptr) << domain;
        EXPECT_STREQ(table->domain, domain);
        // Codes are listed once each, from 0 without gaps.
        for (std::size_t index = 0; index < table->codes.size(); ++index) {
            EXPECT_EQ(table->codes[index].code, static_cast<long>(index)) << domain;
        }
    }
    EXPECT_EQ(VRNErrorTables::find("org.example"), nullptr);
}

} // namespace
