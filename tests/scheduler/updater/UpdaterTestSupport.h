#pragma once

// The updater's world for tests: the activity world of the activity tests, a defaults
// domain and a termination manager of its own, a scripted stand-in for the update server
// (answers by URL), a reachability whose route events the test sends, an owner that records
// what it is asked, and packages signed by a test hierarchy.

#include "common/VRNProcessInfo.h"
#include "platform/files/Files.h"
#include "platform/plist/Plist.h"
#include "scheduler/daemon/VRNTerminationManager.h"
#include "scheduler/updater/VRNUpdater.h"
#include "tests/platform/package/TestPki.h"
#include "tests/scheduler/activity/ActivityTestSupport.h"

#include <atomic>
#include <deque>
#include <fstream>
#include <sys/eventfd.h>

namespace updatertest {

using namespace std::chrono_literals;
using activitytest::clock;

// Answers by URL; an unknown URL fails as a refused connection would.
class ScriptedServer final : public http::Client {
public:
    void get(http::Request request, std::function<void(http::Response)> completion) override {
        requested.push_back(request.url);
        http::Response response;
        if (auto found = answers.find(request.url); found != answers.end()) {
            response = found->second;
        } else {
            response.errorCode = 7;
            response.error = "Couldn't connect to server";
        }
        if (request.bodyFd >= 0 && !response.failed()) {
            files::writeAll(request.bodyFd, response.body, "download");
            response.body.clear();
        }
        if (holdAnswers) {
            held.push_back([completion, response] { completion(response); });
            return;
        }
        queue->async([completion, response] { completion(response); });
    }

    // Sends the oldest answer held back.
    void release() {
        queue->async(held.front());
        held.pop_front();
    }

    void answer(const std::string& url, long status, const std::string& body = {}) {
        http::Response response;
        response.status = status;
        response.body.assign(body.begin(), body.end());
        answers[url] = response;
    }
    void answer(const std::string& url, const package::Bytes& body) {
        http::Response response;
        response.status = 200;
        response.body = body;
        answers[url] = response;
    }
    void refuseTrust(const std::string& url) {
        http::Response response;
        response.errorCode = 60;
        response.error = "SSL peer certificate or SSH remote key was not OK";
        response.untrusted = true;
        answers[url] = response;
    }

    dispatch::QueuePtr queue;
    std::map<std::string, http::Response> answers;
    std::vector<std::string> requested;
    bool holdAnswers = false;
    std::deque<std::function<void()>> held;
};

// Route events the test sends through an eventfd.
class RouteEvents final : public machine::EventFeed {
public:
    RouteEvents() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~RouteEvents() override { ::close(fd_); }
    int fd() const override { return fd_; }
    bool drain() override {
        eventfd_t value;
        return ::eventfd_read(fd_, &value) == 0;
    }
    void send() { ::eventfd_write(fd_, 1); }

private:
    int fd_;
};

// Records what the updater asks of its owner.
class Owner final : public VRNUpdateManagerDelegate {
public:
    bool prepareForUpdateInBackground(bool background, VRNError* error) override {
        prepared.push_back(background);
        if (!allow) {
            *error =
                VRNError("test.owner", 1, {{VRNLocalizedDescriptionKey, "A client is connected."}});
        }
        return allow;
    }
    void unprepareForUpdate() override { ++unprepared; }
    void updateWithPackageAtURL(const std::string& path, dispatch::QueuePtr queue,
                                Handler handler) override {
        std::ifstream in(path, std::ios::binary);
        installed.emplace_back((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        installQueue = queue;
        if (holdInstallation) {
            pendingInstall = handler;
            return;
        }
        queue->async([handler, error = installError] { handler(error); });
    }
    void updateFailedWithError(const VRNError& error) override { failures.push_back(error); }

    bool allow = true;
    bool holdInstallation = false;
    std::optional<VRNError> installError;
    std::vector<bool> prepared;
    int unprepared = 0;
    std::vector<std::string> installed;
    std::vector<VRNError> failures;
    dispatch::QueuePtr installQueue;
    Handler pendingInstall;
};

inline constexpr const char* kFeed = "https://updates.test/keelbrook/updates2.plist";
inline constexpr const char* kPackageURL = "https://updates.test/keelbrook/Keelbrook-200.pkg";

class UpdaterTest : public activitytest::ActivityTest {
protected:
    void SetUp() override {
        ActivityTest::SetUp();
        support = folder.path() / "support";
        std::filesystem::create_directories(support);
        defaults = std::make_shared<prefs::Domain>("com.vornhal.keelbrook.scheduler",
                                                   (folder.path() / "defaults.plist").string());
        termination = std::make_unique<VRNTerminationManager>(
            environment, defaults, [this](int status) { exits.push_back(status); });
        termination->enableTerminationWithReason("start");
    }

    void TearDown() override {
        if (updater) {
            updater->stop();
            clock().drain();
        }
        updater.reset();
        ActivityTest::TearDown();
    }

    VRNUpdaterEnvironment updaterEnvironment() {
        VRNUpdaterEnvironment made;
        made.activity = {store.get(),
                         events.get(),
                         &assertions,
                         environment.notifications.get(),
                         [this] { return randomDraw; },
                         environment.logicQueue};
        made.defaults = defaults;
        made.versions = environment.versions;
        made.disableTermination = [this](const std::string& reason) {
            ++held;
            termination->disableTerminationWithReason(reason);
        };
        made.enableTermination = [this](const std::string& reason) {
            --held;
            termination->enableTerminationWithReason(reason);
        };
        made.installedVersion = 100;
        made.random = [this] {
            return phaseDraw;
        };
        made.makeClient = [this](dispatch::QueuePtr queue) {
            server->queue = std::move(queue);
            return server;
        };
        made.makeReachability = [this] {
            return std::make_unique<reachability::Reachability>(
                [this](std::string*) -> std::unique_ptr<machine::EventFeed> {
                    auto feed = std::make_unique<RouteEvents>();
                    routes = feed.get();
                    return feed;
                },
                [this] { return online.load(); });
        };
        made.trust = {pki.anchor(), &clock()};
        return made;
    }

    // An updater configured as the daemon configures it, on the test's server and folder.
    std::shared_ptr<VRNUpdater> makeUpdater(long mode = 0) {
        updater = VRNUpdater::initWithQueue(environment.logicQueue, owner, updaterEnvironment());
        updater->setFeedURL(kFeed);
        updater->setDownloadURL(downloadPath());
        updater->setSupportURL(support.string() + "/");
        updater->setTeamID(testpki::kTeam);
        updater->setDownloadHost(std::string("updates.test"));
        updater->setMode(mode);
        return updater;
    }

    std::string downloadPath() const { return (support / "Keelbrook.pkg").string(); }
    std::filesystem::path marker(const char* name) const { return support / name; }

    // A feed of the given items.
    static std::string feed(plist::Array items) {
        std::string error;
        return *plist::writeXml(
            plist::Value(plist::Dictionary{{"Items", plist::Value(std::move(items))}}), &error);
    }
    static plist::Value item(std::int64_t version, plist::Dictionary extra = {}) {
        plist::Dictionary made{
            {"Version", plist::Value(version)},
            {"HumanVersion", plist::Value("2.0 (" + std::to_string(version) + ")")},
            {"URL", plist::Value(kPackageURL)}};
        for (auto& [key, value] : extra) {
            made.insert_or_assign(key, value);
        }
        return plist::Value(made);
    }
    void serveFeed(plist::Array items) { server->answer(kFeed, 200, feed(std::move(items))); }
    package::Bytes goodPackage(const std::string& payload = "the new release") const {
        return testpki::signedPackage(pki.signer(), payload);
    }

    // The outcome of a client-requested check.
    std::pair<std::optional<plist::Dictionary>, std::optional<VRNError>> check() {
        std::pair<std::optional<plist::Dictionary>, std::optional<VRNError>> result;
        bool answered = false;
        updater->fetchUpdateInformationWithQueue(environment.logicQueue,
                                                 [&](auto item, auto error) {
                                                     result = {item, error};
                                                     answered = true;
                                                 });
        clock().drain();
        EXPECT_TRUE(answered);
        return result;
    }

    // Starts the updater and lets its first automatic attempt run.
    void startAndRunFirstAttempt() {
        updater->start();
        advance(1min);
    }

    // The updater's log lines since the last call (activity lines excluded).
    static std::vector<std::string> updaterLog() {
        std::vector<std::string> lines;
        for (auto& entry : logtest::recorder().take()) {
            if (entry.message.rfind("[", 0) != 0) {
                lines.push_back(entry.message);
            }
        }
        return lines;
    }

    static std::string read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void write(const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string text(const package::Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

    std::optional<long> statusCode(const VRNError& error) const {
        auto found = error.userInfo().find("status-code");
        if (found == error.userInfo().end()) {
            return std::nullopt;
        }
        return static_cast<long>(found->second.asInteger().value_or(-1));
    }

    std::filesystem::path support;
    std::shared_ptr<prefs::Domain> defaults;
    std::unique_ptr<VRNTerminationManager> termination;
    std::vector<int> exits;
    int held = 0;
    std::uint32_t phaseDraw = 0;
    std::atomic<bool> online{true};
    RouteEvents* routes = nullptr;
    testpki::Hierarchy pki{static_cast<std::time_t>(
        std::chrono::duration_cast<std::chrono::seconds>(clock().now(dispatch::ClockKind::Wall))
            .count())};
    std::shared_ptr<ScriptedServer> server = std::make_shared<ScriptedServer>();
    std::shared_ptr<Owner> owner = std::make_shared<Owner>();
    std::shared_ptr<VRNUpdater> updater;
};

} // namespace updatertest
