// The updater with the real HTTPS client against a local server with a test CA: a check and
// an installation over https, a server outside the trust folder (code 10 under code 1), and
// a package answered with 404.

#include "UpdaterTestSupport.h"
#include "common/VRNUpdaterErrors.h"
#include "tests/platform/http/TestServer.h"
#include "tests/support/Waiter.h"

#include <gmock/gmock.h>

namespace updatertest {
namespace {

using testing::HasSubstr;

class UpdaterHttpsTest : public UpdaterTest {
protected:
    static void SetUpTestSuite() {
        UpdaterTest::SetUpTestSuite();
        servers = new testserver::Servers;
    }
    static void TearDownTestSuite() {
        delete servers;
        servers = nullptr;
    }

    void SetUp() override {
        UpdaterTest::SetUp();
        ASSERT_TRUE(servers->ok()) << "the test server did not start";
        auto made = updaterEnvironment();
        made.makeClient = [](dispatch::QueuePtr queue) {
            http::Options options;
            options.trustFolder = servers->trustFolder().string();
            return http::createClient(std::move(queue), options);
        };
        updater = VRNUpdater::initWithQueue(environment.logicQueue, owner, made);
        updater->setFeedURL(servers->url("/files/updates2.plist"));
        updater->setDownloadURL(downloadPath());
        updater->setSupportURL(support.string());
        updater->setTeamID(testpki::kTeam);
        updater->setDownloadHost(std::string("127.0.0.1"));
    }

    void serveFeedFor(const std::string& packageURL) {
        servers->serve("updates2.plist", feed({item(200, {{"URL", plist::Value(packageURL)}})}));
    }

    std::pair<std::optional<plist::Dictionary>, std::optional<VRNError>> checkOverHttps() {
        testsupport::Waiter done;
        std::pair<std::optional<plist::Dictionary>, std::optional<VRNError>> result;
        updater->fetchUpdateInformationWithQueue(environment.logicQueue,
                                                 [&](auto item, auto error) {
                                                     result = {item, error};
                                                     done.notify();
                                                 });
        EXPECT_TRUE(done.waitFor());
        return result;
    }

    std::optional<VRNError> installOverHttps() {
        testsupport::Waiter done;
        std::optional<VRNError> result;
        updater->performUpdateWithQueue(environment.logicQueue, [&](std::optional<VRNError> e) {
            result = e;
            done.notify();
        });
        EXPECT_TRUE(done.waitFor());
        return result;
    }

    static inline testserver::Servers* servers = nullptr;
};

TEST_F(UpdaterHttpsTest, CheckAndInstallOverHttps) {
    const auto package = goodPackage("a release served over https");
    servers->serve("Keelbrook.pkg", text(package));
    serveFeedFor(servers->url("/files/Keelbrook.pkg"));
    auto [item, error] = checkOverHttps();
    ASSERT_TRUE(item) << VRNError::localizedDescriptionForError(*error);
    EXPECT_FALSE(installOverHttps());
    ASSERT_EQ(owner->installed.size(), 1u);
    EXPECT_EQ(owner->installed[0], text(package));
}

TEST_F(UpdaterHttpsTest, AServerOutsideTheTrustedRootsIsRefused) {
    updater->setFeedURL(servers->untrustedURL("/files/updates2.plist"));
    serveFeedFor(servers->url("/files/Keelbrook.pkg"));
    auto [item, error] = checkOverHttps();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VRNUpdaterErrorFetchFailed);
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->code(), VRNUpdaterErrorUntrustedServer);
    EXPECT_THAT(VRNError::localizedDescriptionForError(*error),
                HasSubstr("The update server could not be trusted"));
}

TEST_F(UpdaterHttpsTest, APackageAnsweredWith404) {
    serveFeedFor(servers->url("/files/missing.pkg"));
    ASSERT_TRUE(checkOverHttps().first);
    auto error = installOverHttps();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VRNUpdaterErrorDownloadFailed);
    EXPECT_EQ(statusCode(*error), 404);
    EXPECT_FALSE(std::filesystem::exists(downloadPath()));
}

} // namespace
} // namespace updatertest
