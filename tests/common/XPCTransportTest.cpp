#include "common/VRNQueue.h"
#include "common/VRNXPCClient.h"
#include "common/VRNXPCServer.h"
#include "tests/common/XPCTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Gate.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace xpctest;
using testsupport::ChildProcess;
using testsupport::TempFolder;

const std::string kService = "com.vornhal.keelbrook.test";

std::string thisProgram() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

class XPCTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { root_ = logtest::installLogging("transport"); }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }

    void SetUp() override {
        socketPath_ = (folder_.path() / "run" / "test.socket").string();
        descriptorsBefore_ = openDescriptors();
        delegate_ = std::make_shared<RecordingDelegate>();
        server_ = makeServer(options());
        ASSERT_TRUE(server_->start());
    }

    void TearDown() override {
        stopAndSettle();
        server_.reset();
        EXPECT_EQ(openDescriptors(), descriptorsBefore_) << "descriptors leaked";
    }

    VRNXPCServerOptions options() const {
        VRNXPCServerOptions made;
        made.socketPath = socketPath_;
        made.activationName = "test";
        made.trustedPrograms.paths = {thisProgram(), XPC_PEER};
        made.trustedPrograms.owner = ::geteuid();
        return made;
    }

    std::shared_ptr<VRNXPCServer> makeServer(VRNXPCServerOptions made) {
        return std::make_shared<VRNXPCServer>(kService, VRNQueueMain(), delegate_, std::move(made));
    }

    std::shared_ptr<VRNXPCClient> makeClient() {
        return std::make_shared<VRNXPCClient>(kService, socketPath_);
    }

    // Stops the server and waits until every accepted peer has been reported gone.
    void stopAndSettle() {
        server_->stop();
        ASSERT_TRUE(delegate_->disconnected.waitFor(acceptedPeers()))
            << delegate_->disconnected.count() << " of " << acceptedPeers()
            << " peers reported gone";
        EXPECT_EQ(server_->peerCount(), 0u);
    }

    int acceptedPeers() { return delegate_->accept ? delegate_->accepted.count() : 0; }

    // Waits for the `count`-th disconnect and checks nobody is left.
    void expectDisconnects(int count) {
        ASSERT_TRUE(delegate_->disconnected.waitFor(count));
        EXPECT_EQ(server_->peerCount(), 0u);
    }

    static inline TempFolder* root_ = nullptr;
    TempFolder folder_;
    std::string socketPath_;
    std::size_t descriptorsBefore_ = 0;
    std::shared_ptr<RecordingDelegate> delegate_;
    std::shared_ptr<VRNXPCServer> server_;
};

plist::Dictionary text(const char* value) {
    return plist::Dictionary{{"text", value}};
}

const plist::Dictionary* replyOf(const VRNXPCReply& reply) {
    return std::get_if<plist::Dictionary>(&reply);
}

TEST_F(XPCTransportTest, RepliesComeBackByAllThreeSends) {
    auto client = makeClient();
    // Synchronous, from two threads at once.
    std::vector<std::thread> threads;
    std::atomic<int> answered{0};
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string value = std::to_string(t) + "/" + std::to_string(i);
                VRNXPCReply reply =
                    client->sendSynchronousXPCMessage(plist::Dictionary{{"text", value}});
                const auto* dictionary = replyOf(reply);
                if (dictionary && *dictionary->at("text").asString() == value) {
                    ++answered;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(answered, 100);

    // Asynchronous, on the queue the caller names.
    auto queue = VRNQueueCreate("test.replies", VRNQueueMain());
    testsupport::Waiter replied;
    bool onQueue = false;
    client->sendXPCMessage(text("async"), queue, [&](VRNXPCReply reply) {
        onQueue = queue->isCurrent() && replyOf(reply) &&
                  *replyOf(reply)->at("text").asString() == "async";
        replied.notify();
    });
    ASSERT_TRUE(replied.waitFor());
    EXPECT_TRUE(onQueue);

    // One-way: delivered without asking for a reply, and a reply to it is not sent.
    client->sendXPCMessage(text("one-way"));
    ASSERT_TRUE(delegate_->received.waitFor(102));
    const auto messages = delegate_->messages();
    EXPECT_FALSE(messages.back().wantsReply);
    EXPECT_EQ(*messages.back().dictionary.at("text").asString(), "one-way");
    EXPECT_TRUE(messages.front().wantsReply);
    EXPECT_EQ(delegate_->accepted.count(), 1) << "one connection serves every send";
    client->cancel();
    expectDisconnects(1);
}

TEST_F(XPCTransportTest, EachRequestGetsOneReply) {
    delegate_->answer = false;
    RawClient raw(socketPath_);
    ASSERT_TRUE(raw.send(requestFrame(7, true, text("first"))));
    ASSERT_TRUE(raw.send(requestFrame(8, false, text("one-way"))));
    ASSERT_TRUE(delegate_->received.waitFor(2));
    auto held = delegate_->takeHeld();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].peer->processIdentifier(), ::getpid());
    EXPECT_EQ(held[0].peer->userIdentifier(), ::geteuid());
    EXPECT_TRUE(held[0].peer->sendReply(held[0].message, text("answer")));
    EXPECT_FALSE(held[0].peer->sendReply(held[0].message, text("again")));
    EXPECT_FALSE(held[1].peer->sendReply(held[1].message, text("unasked")));
    auto reply = raw.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply->find("id")->asInteger(), 7);
    EXPECT_EQ(*reply->find("message")->find("text")->asString(), "answer");
    // Nothing else arrives: the next frame would be the reply to this request.
    delegate_->answer = true;
    ASSERT_TRUE(raw.send(requestFrame(9, true, text("last"))));
    reply = raw.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply->find("id")->asInteger(), 9);
    held.clear();
}

TEST_F(XPCTransportTest, StartAndStopAreIdempotent) {
    struct stat first;
    ASSERT_EQ(::stat(socketPath_.c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 0777, 0666u);
    struct stat folder;
    ASSERT_EQ(::stat((folder_.path() / "run").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0755u);
    EXPECT_TRUE(server_->start());
    struct stat second;
    ASSERT_EQ(::stat(socketPath_.c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino) << "a second start made a second listener";
    // A second server cannot take the socket of a running one.
    auto rival = makeServer(options());
    EXPECT_FALSE(rival->start());
    EXPECT_TRUE(logged("Could not listen for com.vornhal.keelbrook.test: another process"));
    server_->stop();
    EXPECT_FALSE(std::filesystem::exists(socketPath_));
    server_->stop();
    // A stale socket left behind is replaced.
    {
        std::string error;
        files::Descriptor stale = sockets::listenAt(socketPath_, &error);
        ASSERT_TRUE(stale.valid()) << error;
    }
    ASSERT_TRUE(server_->start());
    EXPECT_EQ(makeClient()->sendSynchronousXPCMessage(text("x")).index(), 0u);
}

TEST_F(XPCTransportTest, UnavailableServiceAndReconnection) {
    auto client = makeClient();
    ASSERT_TRUE(replyOf(client->sendSynchronousXPCMessage(text("up"))));
    const auto before = client->connection();
    server_->stop();
    // The service went away with no request outstanding; the next send finds it missing.
    VRNXPCReply reply = client->sendSynchronousXPCMessage(text("down"));
    ASSERT_TRUE(std::holds_alternative<VRNXPCError>(reply));
    EXPECT_EQ(std::get<VRNXPCError>(reply), VRNXPCError::ConnectionInvalid);
    EXPECT_TRUE(logged("Connection became invalid with server."));
    ASSERT_TRUE(server_->start());
    ASSERT_TRUE(replyOf(client->sendSynchronousXPCMessage(text("back"))));
    EXPECT_NE(client->connection(), before) << "an invalid connection is replaced";

    // Refused (a socket nobody listens on) is the same failure.
    auto nobody = std::make_shared<VRNXPCClient>(kService, (folder_.path() / "none").string());
    EXPECT_EQ(std::get<VRNXPCError>(nobody->sendSynchronousXPCMessage(text("?"))),
              VRNXPCError::ConnectionInvalid);
    testsupport::Waiter failed;
    nobody->sendXPCMessage(text("?"), nullptr, [&](VRNXPCReply failure) {
        EXPECT_EQ(std::get<VRNXPCError>(failure), VRNXPCError::ConnectionInvalid);
        failed.notify();
    });
    EXPECT_TRUE(failed.waitFor());
}

// A request the service holds unanswered, and what became of it.
struct HeldRequest {
    testsupport::Waiter replied;
    VRNXPCReply outcome = plist::Dictionary{};
};

std::unique_ptr<HeldRequest> sendHeldRequest(VRNXPCClient& client, RecordingDelegate& service) {
    service.answer = false;
    auto held = std::make_unique<HeldRequest>();
    client.sendXPCMessage(text("pending"), nullptr, [into = held.get()](VRNXPCReply reply) {
        into->outcome = std::move(reply);
        into->replied.notify();
    });
    EXPECT_TRUE(service.received.waitFor());
    return held;
}

TEST_F(XPCTransportTest, ServerGoingAwayMidRequestInterruptsIt) {
    auto client = makeClient();
    auto held = sendHeldRequest(*client, *delegate_);
    const auto connection = client->connection();
    server_->stop();
    ASSERT_TRUE(held->replied.waitFor());
    ASSERT_TRUE(std::holds_alternative<VRNXPCError>(held->outcome));
    EXPECT_EQ(std::get<VRNXPCError>(held->outcome), VRNXPCError::ConnectionInterrupted);
    delegate_->takeHeld();
    // The same connection object serves the next request once the service is back.
    delegate_->answer = true;
    ASSERT_TRUE(server_->start());
    ASSERT_TRUE(replyOf(client->sendSynchronousXPCMessage(text("again"))));
    EXPECT_EQ(client->connection(), connection);
}

TEST_F(XPCTransportTest, ReleasingTheClientClosesItsConnectionAtOnce) {
    auto client = makeClient();
    auto held = sendHeldRequest(*client, *delegate_);
    const std::size_t withClient = openDescriptors();
    client.reset();
    // The service may close its side as soon as it sees the client's go.
    EXPECT_LE(openDescriptors(), withClient - 1) << "the client's socket outlived it";
    ASSERT_TRUE(held->replied.waitFor()) << "a request still waiting was dropped without an answer";
    ASSERT_TRUE(std::holds_alternative<VRNXPCError>(held->outcome));
    EXPECT_EQ(std::get<VRNXPCError>(held->outcome), VRNXPCError::ConnectionInvalid);
    EXPECT_TRUE(delegate_->disconnected.waitFor(1));
    delegate_->takeHeld();
}

TEST_F(XPCTransportTest, DeclinedConnectionsAreNotKept) {
    delegate_->accept = false;
    auto client = makeClient();
    VRNXPCReply reply = client->sendSynchronousXPCMessage(text("no"));
    ASSERT_TRUE(std::holds_alternative<VRNXPCError>(reply));
    EXPECT_EQ(server_->peerCount(), 0u);
    EXPECT_TRUE(delegate_->messages().empty());
    EXPECT_EQ(delegate_->disconnected.count(), 0) << "a declined peer never connected";
    client->cancel();
}

TEST_F(XPCTransportTest, UntrustedProgramsAreRefused) {
    // This test program is not among the trusted ones of this server.
    auto strict = options();
    strict.socketPath = (folder_.path() / "strict.socket").string();
    strict.trustedPrograms.paths = {XPC_PEER};
    auto server = makeServer(strict);
    ASSERT_TRUE(server->start());
    auto client = std::make_shared<VRNXPCClient>(kService, strict.socketPath);
    VRNXPCReply reply = client->sendSynchronousXPCMessage(text("let me in"));
    EXPECT_TRUE(std::holds_alternative<VRNXPCError>(reply));
    EXPECT_TRUE(logged("Failed to validate peer " + std::to_string(::getpid()) + "."));
    EXPECT_TRUE(delegate_->messages().empty());
    EXPECT_EQ(delegate_->accepted.count(), 0) << "refused before the delegate is asked";

    // A trusted program that others could replace is not trusted: group-writable, or
    // owned by someone else. The original copy is accepted.
    const auto copy = folder_.path() / "peer";
    std::filesystem::copy_file(XPC_PEER, copy);
    strict.trustedPrograms.paths = {copy.string()};
    server->stop();
    server = makeServer(strict);
    ASSERT_TRUE(server->start());
    auto runCopy = [&] {
        return testsupport::runChild({copy.string(), strict.socketPath, "request"}).output;
    };
    ::chmod(copy.c_str(), 0775);
    EXPECT_TRUE(runCopy().ends_with("closed\n"));
    ::chmod(copy.c_str(), 0755);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(copy.c_str(), 4242, 4242), 0);
        EXPECT_TRUE(runCopy().ends_with("closed\n"));
        ASSERT_EQ(::chown(copy.c_str(), 0, 0), 0);
    }
    EXPECT_EQ(runCopy(), "sent\nfrom child\n");
    client->cancel();
    server->stop();
    EXPECT_TRUE(delegate_->disconnected.waitFor(1));
}

TEST_F(XPCTransportTest, PeersThatExitOrVanishAreReportedOnce) {
    auto run = testsupport::runChild({XPC_PEER, socketPath_, "request"});
    EXPECT_EQ(run.output, "sent\nfrom child\n");
    expectDisconnects(1);

    // A client that is killed while its request is being handled: the late reply goes
    // nowhere.
    delegate_->answer = false;
    {
        ChildProcess child({XPC_PEER, socketPath_, "request"});
        ASSERT_EQ(child.line(), "sent");
        ASSERT_TRUE(delegate_->received.waitFor(2));
        child.signal(SIGKILL);
        child.wait();
    }
    expectDisconnects(2);
    auto held = delegate_->takeHeld();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_FALSE(held[0].peer->sendReply(held[0].message, text("late")));
    const auto gone = delegate_->disconnectedPeers();
    EXPECT_EQ(gone.size(), 2u);
    EXPECT_NE(gone[0], gone[1]);
    // The server goes on serving.
    delegate_->answer = true;
    EXPECT_TRUE(replyOf(makeClient()->sendSynchronousXPCMessage(text("still here"))));
}

TEST_F(XPCTransportTest, BadFramesCloseOnlyTheirConnection) {
    auto client = makeClient();
    ASSERT_TRUE(replyOf(client->sendSynchronousXPCMessage(text("before"))));
    std::vector<std::vector<std::uint8_t>> abuses;
    abuses.push_back({0x00, 0x20, 0x00, 0x00}); // announces 2 MiB
    abuses.push_back({0x00, 0x00, 0x00, 0x00}); // empty frame
    abuses.push_back({0x00, 0x00, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'});
    {
        std::string error;
        // A property list that is no request: an array, and a dictionary without an id.
        abuses.push_back(*sockets::encodeFrame(plist::Value(plist::Array{1, 2}), &error));
        abuses.push_back(*sockets::encodeFrame(
            plist::Value(plist::Dictionary{{"message", plist::Dictionary{}}}), &error));
        // A request id used twice while the first is outstanding.
        delegate_->answer = false;
        auto twice = requestFrame(3, true, {});
        twice.insert(twice.end(), twice.begin(), twice.end());
        abuses.push_back(twice);
    }
    for (std::size_t i = 0; i < abuses.size(); ++i) {
        RawClient raw(socketPath_);
        ASSERT_TRUE(raw.connected());
        raw.send(abuses[i]);
        EXPECT_TRUE(raw.closedByServer()) << "abuse " << i;
    }
    EXPECT_TRUE(logged("Closed connection with peer"));
    delegate_->takeHeld();
    delegate_->answer = true;
    // A truncated frame followed by the client's end is just a peer that left.
    {
        RawClient raw(socketPath_);
        auto frame = requestFrame(1, true, text("cut"));
        frame.resize(frame.size() / 2);
        raw.send(frame);
    }
    ASSERT_TRUE(delegate_->disconnected.waitFor(static_cast<int>(abuses.size()) + 1));
    EXPECT_TRUE(replyOf(client->sendSynchronousXPCMessage(text("after"))));
    EXPECT_EQ(server_->peerCount(), 1u);
}

TEST_F(XPCTransportTest, ThousandConcurrentConnections) {
    constexpr int kClients = 1000;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<RawClient>(socketPath_));
        ASSERT_TRUE(clients.back()->connected()) << i;
    }
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(clients[i]->send(requestFrame(i, true, text("many"))));
    }
    for (int i = 0; i < kClients; ++i) {
        auto reply = clients[i]->receive();
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(*reply->find("id")->asInteger(), i);
    }
    EXPECT_EQ(server_->peerCount(), static_cast<std::size_t>(kClients));
    clients.clear();
    expectDisconnects(kClients);
}

TEST_F(XPCTransportTest, FloodingClientDoesNotStarveOthers) {
    // One client writes requests as fast as it can and never reads its replies.
    std::atomic<bool> flooding{true};
    std::atomic<int> floodFrames{0};
    RawClient flood(socketPath_);
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 200; ++i) {
        auto frame = requestFrame(i, false, text("flood"));
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    std::thread flooder([&] {
        while (flooding && flood.send(burst)) {
            floodFrames += 200;
        }
    });
    ASSERT_TRUE(delegate_->received.waitFor(2000));
    auto client = makeClient();
    int answered = 0;
    for (int i = 0; i < 100; ++i) {
        answered += replyOf(client->sendSynchronousXPCMessage(text("me too"))) ? 1 : 0;
    }
    EXPECT_EQ(answered, 100);
    EXPECT_GT(floodFrames.load(), 2000) << "the flood was still going";
    flooding = false;
    ::shutdown(flood.fd(), SHUT_RDWR);
    flooder.join();
}

TEST_F(XPCTransportTest, PerUserCapsCloseThePeerOverThem) {
    auto capped = options();
    capped.socketPath = (folder_.path() / "capped.socket").string();
    capped.maxConnectionsPerUser = 3;
    capped.maxBufferedBytesPerUser = 4096;
    auto server = makeServer(capped);
    ASSERT_TRUE(server->start());
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<RawClient>(capped.socketPath));
        ASSERT_TRUE(clients.back()->send(requestFrame(1, true, text("hello"))));
        ASSERT_TRUE(clients.back()->receive());
    }
    RawClient fourth(capped.socketPath);
    EXPECT_TRUE(fourth.closedByServer());
    EXPECT_TRUE(logged("Too many connections from uid"));

    // Unanswered requests count toward the user's bytes until they are answered.
    delegate_->answer = false;
    const plist::Dictionary big{{"text", std::string(1500, 'x')}};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(clients[0]->send(requestFrame(10 + i, true, big)));
    }
    ASSERT_TRUE(delegate_->received.waitFor(5));
    ASSERT_TRUE(clients[1]->send(requestFrame(20, true, big)));
    EXPECT_TRUE(clients[1]->closedByServer()) << "over 4096 buffered bytes";
    // Answering frees the bytes again for the user's other connections.
    for (auto& held : delegate_->takeHeld()) {
        held.peer->sendReply(held.message, text("done"));
    }
    delegate_->answer = true;
    ASSERT_TRUE(clients[2]->send(requestFrame(30, true, big)));
    auto reply = clients[2]->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply->find("id")->asInteger(), 30);
    clients.clear();
    server->stop();
    ASSERT_TRUE(delegate_->disconnected.waitFor(3));
}

TEST_F(XPCTransportTest, AcceptingPausesWithoutDescriptorsAndResumes) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers test memory through a pipe: out of descriptors they report bad objects.
    GTEST_SKIP() << "needs descriptors the sanitizer runtime would be refused";
#endif
    // Children connect and send while the server's queue is held, so that their connections
    // wait in the backlog; then the process is left only two spare descriptors.
    testsupport::Gate gate;
    VRNQueueMain()->async([&] { gate.pass(); });
    constexpr int kChildren = 6;
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < kChildren; ++i) {
        children.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{XPC_PEER, socketPath_, "request"}));
        ASSERT_EQ(children.back()->line(), "sent");
    }
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = openDescriptors() + 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    gate.open();
    // Each answered child exits, which frees its connection's descriptor for the next.
    for (auto& child : children) {
        EXPECT_EQ(child->line(), "from child");
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(logged("Accepting connections for com.vornhal.keelbrook.test paused: Too many "
                       "open files."));
    EXPECT_TRUE(logged("Accepting connections for com.vornhal.keelbrook.test resumed."));
    for (auto& child : children) {
        EXPECT_EQ(child->wait(), 0);
    }
    expectDisconnects(kChildren);
}

} // namespace
