#include "LogTestSupport.h"
#include "common/VRNError.h"
#include "common/VRNLog.h"

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
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 0), "You are already running the latest version.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 1), "Could not fetch update information.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 1, {{"status-code", 404}}),
              "Could not fetch update information. not found (404).");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 4, {{"status-code", 503}}),
              "Could not download update. service unavailable (503).");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 2), "Could not read update data.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 3, {{"info", "no items"}}),
              "Invalid update information: no items.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 5), "Could not move update package.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 6), "Could not validate update.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 7), "Could not install update.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 8), "Update cannot be performed now.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 9), "Update has been deferred due to phased update.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 10),
              "The update server could not be trusted, you may be victim of SSL/TLS decryption.");
    EXPECT_EQ(textOf(VRNUpdaterErrorDomain, 11),
              "You have made too many requests to the update server. Please try again later.");
    for (long code = 0; code <= 11; ++code) {
        const bool quiet = code == 0 || code == 8 || code == 9;
        EXPECT_EQ(levelOf(VRNUpdaterErrorDomain, code), quiet ? 0 : 16) << code;
    }
}

TEST_F(ErrorTest, InstallerPackageAndSpawnerTexts) {
    EXPECT_EQ(textOf(VRNInstallerPackageErrorDomain, 0, {{"path", "/tmp/K.pkg"}}),
              "Could not read installer package at path '/tmp/K.pkg'.");
    EXPECT_EQ(textOf(VRNInstallerPackageErrorDomain, 1), "Installer package is not signed.");
    EXPECT_EQ(textOf(VRNInstallerPackageErrorDomain, 2), "Installer package signature is invalid.");
    EXPECT_EQ(textOf(VRNSpawnerErrorDomain, 0, {{"tool", "/usr/bin/tmutil"}, {"errno", ENOENT}}),
              "Could not spawn '/usr/bin/tmutil'. No such file or directory (2).");
    EXPECT_EQ(textOf(VRNSpawnerErrorDomain, 1, {{"tool", "/bin/false"}, {"exit-status", 1}}),
              "/bin/false exited with status 1.");
    EXPECT_EQ(textOf(VRNSpawnerErrorDomain, 2, {{"tool", "/bin/sh"}, {"signal", 9}}),
              "/bin/sh received signal 9 (Killed).");
    for (const char* domain : {VRNInstallerPackageErrorDomain, VRNSpawnerErrorDomain}) {
        for (long code = 0; code <= 2; ++code) {
            EXPECT_EQ(levelOf(domain, code), 16);
        }
    }
}

TEST_F(ErrorTest, MessagerTextsWithAndWithoutMessage) {
    const auto info = [](plist::Dictionary extra) {
        extra.emplace("message", 4);
        return VRNUserInfo(std::move(extra));
    };
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 0, info({})), "Could not authorize message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 1, info({})),
              "Authorization data is missing for message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 2, info({{"payload", "{x}"}})),
              "Could not serialize message (4), payload: {x}.");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 3, info({})), "Could not deserialize message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 4, info({{"reply", "r"}})),
              "Could not serialize reply for message (4), reply: r.");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 5, info({})),
              "Could not deserialize reply for message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 6, info({})),
              "Could not unarchive reply error for message (4).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 7, info({{"service", "svc"}})),
              "Could not send message (4), the service is not available (svc).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 8, info({{"service", "svc"}})),
              "Could not send message (4), the service disappeared (crash?) (svc).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 7, {{"service", "svc"}}),
              "The service is not available (svc).");
    EXPECT_EQ(textOf(VRNMessagerErrorDomain, 8, {{"service", "svc"}}),
              "The service disappeared (svc).");
    for (long code = 0; code <= 8; ++code) {
        EXPECT_EQ(levelOf(VRNMessagerErrorDomain, code), code >= 7 ? 0 : 16) << code;
    }
}

TEST_F(ErrorTest, AuthorizationTexts) {
    const plist::Value rights(plist::Array{"a.right", "b.right"});
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, 0), "User canceled authentication.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, 1, {{"status", -60005}}),
              "Could not create authorization: -60005.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, 2, {{"status", 1}}),
              "Could not make external form: 1.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, 3, {{"status", 2}}),
              "Could not create from external form: 2.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, 4, {{"status", 3}, {"rights", rights}}),
              "Could not set rights (3): a.right, b.right.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, 4, {{"rights", rights}}),
              "Could not set rights: a.right, b.right.");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, 5, {{"rights", rights}}),
              "Could not validate rights: (\n    \"a.right\",\n    \"b.right\"\n).");
    EXPECT_EQ(textOf(VRNAuthorizationErrorDomain, 6, {{"rights", rights}}),
              "Could not authorize rights: (\n    \"a.right\",\n    \"b.right\"\n).");
    EXPECT_EQ(levelOf(VRNAuthorizationErrorDomain, 0), 1);
    for (long code = 1; code <= 6; ++code) {
        EXPECT_EQ(levelOf(VRNAuthorizationErrorDomain, code), 16);
    }
}

TEST_F(ErrorTest, KeelbrookTexts) {
    EXPECT_EQ(textOf(KBEErrorDomain, 0), "A backup operation is currently running.");
    EXPECT_EQ(textOf(KBEErrorDomain, 1), "An update operation is currently running.");
    EXPECT_EQ(textOf(KBEErrorDomain, 2), "Peers are connected.");
    EXPECT_EQ(textOf(KBEErrorDomain, 3, {{"key", "root"}}), "Missing value for key: 'root'.");
    EXPECT_EQ(textOf(KBEErrorDomain, 4, {{"key", "Interval"}, {"expected", "dictionary"}}),
              "Wrong type for key: 'Interval', expected: 'dictionary'.");
    EXPECT_EQ(textOf(KBEErrorDomain, 5, {{"key", "Bogus"}}), "Unknown key: 'Bogus'.");
    for (long code = 0; code <= 5; ++code) {
        EXPECT_EQ(levelOf(KBEErrorDomain, code), code <= 2 ? 0 : 16);
    }
}

TEST_F(ErrorTest, UnknownDomainsAndCodesUseTheirOwnText) {
    EXPECT_EQ(textOf("org.example", 7),
              "The operation could not be completed. (org.example error 7.)");
    EXPECT_EQ(textOf(KBEErrorDomain, 99),
              "The operation could not be completed. (com.vornhal.keelbrook error 99.)");
    EXPECT_EQ(textOf("org.example", 7, {{VRNLocalizedDescriptionKey, "Disk full."}}), "Disk full.");
    EXPECT_EQ(levelOf("org.example", 0), 16);
    EXPECT_EQ(levelOf(VRNAuthorizationErrorDomain, 9), 16);
}

TEST_F(ErrorTest, ChainsJoinTheirTextsWithBlanks) {
    const VRNError spawner(VRNSpawnerErrorDomain, 1,
                           {{"tool", "/usr/sbin/installer"}, {"exit-status", 1}});
    const VRNError update(VRNUpdaterErrorDomain, 7, {{}, spawner});
    EXPECT_EQ(VRNError::localizedDescriptionForError(update),
              "Could not install update. /usr/sbin/installer exited with status 1.");
    EXPECT_EQ(VRNError::_localizedDescriptionForError(update), "Could not install update.");

    const VRNError wrapped(KBEErrorDomain, 2, {{}, VRNError("org.example", 3)});
    EXPECT_EQ(VRNError::localizedDescriptionForError(wrapped),
              "Peers are connected. The operation could not be completed. (org.example error 3.)");
}

TEST_F(ErrorTest, UserCanceledAuthenticationLooksDownTheChain) {
    const VRNError cancel(VRNAuthorizationErrorDomain, 0);
    EXPECT_TRUE(cancel.userCanceledAuthentication());
    EXPECT_TRUE(
        VRNError(VRNAuthorizationErrorDomain, 6, {{}, cancel}).userCanceledAuthentication());
    EXPECT_TRUE(VRNError(VRNMessagerErrorDomain, 0,
                         {{}, VRNError(VRNAuthorizationErrorDomain, 1, {{}, cancel})})
                    .userCanceledAuthentication());
    EXPECT_FALSE(VRNError(VRNAuthorizationErrorDomain, 1).userCanceledAuthentication());
    EXPECT_FALSE(VRNError(KBEErrorDomain, 0).userCanceledAuthentication());
}

TEST_F(ErrorTest, CreationLogsOnceAtTheErrorsLevel) {
    VRNError::errorWithDomain(VRNAuthorizationErrorDomain, 0);
    VRNError::errorWithDomain(KBEErrorDomain, 3, {{"key", "root"}});
    VRNError::errorWithDomain(VRNUpdaterErrorDomain, 9);
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
    const VRNError error(VRNUpdaterErrorDomain, 7,
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
    const VRNError inner(VRNSpawnerErrorDomain, 2, {{"tool", "/bin/sh"}, {"signal", 9}});
    const VRNError middle(VRNUpdaterErrorDomain, 7, {{{"extra", nested}}, inner});
    const VRNError outer(VRNMessagerErrorDomain, 0, {{{"message", 2}}, middle});

    std::string reason;
    const auto back = VRNError::errorWithDictionary(VRNError::dictionaryForError(outer), &reason);
    ASSERT_TRUE(back) << reason;
    EXPECT_EQ(back->description(), outer.description());
    EXPECT_EQ(back->domain(), VRNMessagerErrorDomain);
    ASSERT_NE(back->underlyingError(), nullptr);
    EXPECT_TRUE(back->underlyingError()->userInfo().at("extra").isIdenticalTo(nested));
    ASSERT_NE(back->underlyingError()->underlyingError(), nullptr);
    EXPECT_EQ(back->underlyingError()->underlyingError()->code(), 2);
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

} // namespace
