// The HTTPS client against a local server: statuses, redirects (https only), the trust
// folder as the only roots, size caps, the stall timeout, bodies written to a descriptor,
// and a queue that keeps running while a transfer waits.

#include "platform/http/Client.h"

#include "TestServer.h"
#include "platform/http/Curl.h"
#include "tests/support/Waiter.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

bool curlIsLoaded() {
    void* library = ::dlopen(http::kCurlLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (library) {
        ::dlclose(library);
    }
    return library != nullptr;
}

// First in this program: no other test has used curl yet.
TEST(HttpLoading, CurlIsLoadedWhenFirstNeededNotWhenTheProgramStarts) {
    ASSERT_FALSE(curlIsLoaded()) << "a program that holds the client loads curl at its start";
    EXPECT_EQ(http::hostOfURL("https://updates.example/feed"), "updates.example");
    EXPECT_TRUE(curlIsLoaded());
    EXPECT_NE(http::loadCurl(), nullptr);
}

class HttpClientTest : public testing::Test {
protected:
    static void SetUpTestSuite() { servers = new testserver::Servers; }
    static void TearDownTestSuite() {
        delete servers;
        servers = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(servers->ok()) << "the test server did not start"; }

    http::Options options() const {
        http::Options made;
        made.trustFolder = servers->trustFolder().string();
        return made;
    }

    http::Response fetch(const std::string& url, std::size_t maxSize = 1 << 20, int fd = -1,
                         http::Options opts = {}) {
        if (opts.trustFolder == http::distributionTrustFolder()) {
            opts.trustFolder = servers->trustFolder().string();
        }
        auto client = http::createClient(queue, opts);
        testsupport::Waiter done;
        http::Response result;
        client->get({url, maxSize, fd}, [&](http::Response response) {
            EXPECT_TRUE(queue->isCurrent()) << "completions arrive on the client's queue";
            result = std::move(response);
            done.notify();
        });
        EXPECT_TRUE(done.waitFor()) << "no answer for " << url;
        return result;
    }

    static inline testserver::Servers* servers = nullptr;
    dispatch::QueuePtr queue = dispatch::SerialQueue::create("test.http");
};

TEST_F(HttpClientTest, BodiesAndStatusesOfTheTrustedServer) {
    servers->serve("feed.plist", "<plist><dict/></plist>");
    auto ok = fetch(servers->url("/files/feed.plist"));
    ASSERT_FALSE(ok.failed()) << ok.error;
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(std::string(ok.body.begin(), ok.body.end()), "<plist><dict/></plist>");

    for (long status : {403L, 404L, 500L}) {
        auto answer = fetch(servers->url("/status/" + std::to_string(status)));
        EXPECT_FALSE(answer.failed()) << "a status is an answer, not a transport failure";
        EXPECT_EQ(answer.status, status);
    }
}

TEST_F(HttpClientTest, RedirectsAreFollowedOnlyToHttps) {
    servers->serve("target", "redirected");
    auto followed = fetch(servers->url("/redirect?to=" + servers->url("/files/target")));
    ASSERT_FALSE(followed.failed()) << followed.error;
    EXPECT_EQ(std::string(followed.body.begin(), followed.body.end()), "redirected");

    auto downgraded = fetch(servers->url("/redirect?to=" + servers->plainURL("/files/target")));
    EXPECT_TRUE(downgraded.failed());
    EXPECT_FALSE(downgraded.untrusted);
    EXPECT_EQ(downgraded.status, 0);

    EXPECT_TRUE(fetch(servers->plainURL("/files/target")).failed()) << "http itself is refused";
}

TEST_F(HttpClientTest, OnlyTheTrustFolderIsTrusted) {
    auto refused = fetch(servers->untrustedURL("/files/feed.plist"));
    EXPECT_TRUE(refused.failed());
    EXPECT_TRUE(refused.untrusted);
    EXPECT_THAT(refused.error, HasSubstr("verification result"));

    // The machine's own roots (the distribution's folder) do not include the test CA either.
    http::Options system;
    system.trustFolder = "/usr/share/ca-certificates/mozilla";
    auto client = http::createClient(queue, system);
    testsupport::Waiter done;
    http::Response answer;
    client->get({servers->url("/files/feed.plist"), 1 << 20, -1}, [&](http::Response r) {
        answer = std::move(r);
        done.notify();
    });
    ASSERT_TRUE(done.waitFor());
    EXPECT_TRUE(answer.untrusted);
}

TEST_F(HttpClientTest, BodiesAreCappedEvenWithoutALength) {
    auto endless = fetch(servers->url("/endless"), 1 << 20);
    EXPECT_TRUE(endless.failed());
    EXPECT_THAT(endless.error, HasSubstr("larger than 1048576 bytes"));

    servers->serve("big", std::string(2000, 'b'));
    auto announced = fetch(servers->url("/files/big"), 1000);
    EXPECT_TRUE(announced.failed());
    EXPECT_THAT(announced.error, HasSubstr("larger than 1000 bytes"));
    EXPECT_FALSE(fetch(servers->url("/files/big"), 2000).failed()) << "the cap itself is allowed";
}

TEST_F(HttpClientTest, BodiesGoToTheDescriptorGiven) {
    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7);
    }
    servers->serve("package", bytes);
    testsupport::TempFolder folder;
    const auto path = (folder.path() / "download").string();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    auto answer = fetch(servers->url("/files/package"), 1 << 20, fd);
    ::close(fd);
    ASSERT_FALSE(answer.failed()) << answer.error;
    EXPECT_TRUE(answer.body.empty());
    std::ifstream in(path, std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(written, bytes);
}

TEST_F(HttpClientTest, AStalledTransferTimesOutWithoutBlockingItsQueue) {
    http::Options quick = options();
    quick.stallTimeout = 1s;
    auto client = http::createClient(queue, quick);
    testsupport::Waiter done;
    testsupport::Waiter other;
    http::Response answer;
    const auto start = std::chrono::steady_clock::now();
    client->get({servers->url("/stall"), 1 << 20, -1}, [&](http::Response r) {
        answer = std::move(r);
        done.notify();
    });
    queue->async([&] { other.notify(); });
    ASSERT_TRUE(other.waitFor());
    EXPECT_EQ(done.count(), 0) << "the queue ran other work while the transfer waited";
    ASSERT_TRUE(done.waitFor());
    EXPECT_TRUE(answer.failed());
    EXPECT_EQ(answer.errorCode, 28) << answer.error; // timed out
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST(HttpHost, HostsOfURLs) {
    EXPECT_EQ(http::hostOfURL("https://updates.example:8443/a/b.pkg"), "updates.example");
    EXPECT_EQ(http::hostOfURL("https://127.0.0.1/x"), "127.0.0.1");
    EXPECT_EQ(http::hostOfURL("not a url"), std::nullopt);
    EXPECT_EQ(http::hostOfURL(""), std::nullopt);
}

} // namespace
