#include "common/KBEErrors.h"
#include "common/VRNMessagerClient.h"
#include "common/VRNMessagerCoding.h"
#include "common/VRNMessagerErrors.h"
#include "common/VRNMessagerServer.h"
#include "common/VRNQueue.h"
#include "platform/plist/Plist.h"
#include "tests/common/LogTestSupport.h"
#include "tests/common/MessagerTestSupport.h"
#include "tests/support/Gate.h"
#include "tests/support/Waiter.h"

#include <atomic>
#include <filesystem>
#include <gmock/gmock.h>
#include <mutex>
#include <unistd.h>

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

constexpr long kGuarded = 2;  // needs the right "test.right"
constexpr long kHeld = 7;     // the handler keeps the reply until released
constexpr long kFails = 8;    // the handler answers with an error
constexpr long kArray = 9;    // the handler answers with an array
constexpr long kUnknown = 40; // not handled at all
const plist::Data kGrant{'o', 'k'};

// The client's authorization: hands out kGrant unless told to fail.
class ClientAuthorization final : public VRNMessagerClientAuthorization {
public:
    std::optional<plist::Data>
    authorizationExternalDataWithRights(const std::vector<std::string>&,
                                        std::optional<VRNError>* error) override {
        ++asked;
        if (refuse) {
            *error = VRNError("com.vornhal.authorization", 0, {});
            return std::nullopt;
        }
        return kGrant;
    }
    std::atomic<int> asked{0};
    std::atomic<bool> refuse{false};
};

// The daemon's: kGrant from this process's user proves every right.
class ServerAuthorization final : public VRNMessagerServerAuthorization {
public:
    bool validateAuthorizationExternalData(const plist::Data& blob,
                                           const std::vector<std::string>& rights, uid_t peerUser,
                                           std::optional<VRNError>* error) override {
        lastRights = rights;
        if (blob == kGrant && peerUser == ::getuid()) {
            return true;
        }
        *error = VRNError("com.vornhal.authorization", 5, {});
        return false;
    }
    std::vector<std::string> lastRights;
};

class Owner final : public messagertest::StandInOwner, public VRNMessagerClientDelegate {
public:
    Owner() : StandInOwner(29, rightsFor) {}

    std::vector<std::string> messagerAuthorizationRightsForMessage(VRNMessagerClient&,
                                                                   long message) override {
        return clientKnowsRights ? rightsFor(message) : std::vector<std::string>{};
    }
    void messagerHandleMessage(VRNMessagerServer&, long message, const plist::Value& payload,
                               const std::shared_ptr<VRNXPCPeerConnection>&,
                               VRNMessagerServerReplyHandler reply) override {
        {
            std::lock_guard guard(mutex);
            handled.emplace_back(message, payload);
        }
        if (message == kHeld) {
            std::lock_guard guard(mutex);
            held = std::move(reply);
        } else if (message == kFails) {
            reply(plist::Value("not sent with an error"),
                  VRNError(KBEErrorDomain, 0, {{"detail", plist::Value(3)}}));
        } else if (message == kArray) {
            reply(plist::Value(plist::Array{plist::Value(1), plist::Value("two")}), std::nullopt);
        } else if (payload.asDictionary() && payload.asDictionary()->empty()) {
            reply(std::nullopt, std::nullopt);
        } else {
            reply(payload, std::nullopt);
        }
        handledOne.notify();
    }

    static std::vector<std::string> rightsFor(long message) {
        return message == kGuarded ? std::vector<std::string>{"test.right"}
                                   : std::vector<std::string>{};
    }

    std::mutex mutex;
    std::vector<std::pair<long, plist::Value>> handled;
    VRNMessagerServerReplyHandler held;
    testsupport::Waiter handledOne;
    bool clientKnowsRights = true;
};

class MessagerTest : public testing::Test {
protected:
    static void SetUpTestSuite() { root = logtest::installLogging("test.messager"); }

    void SetUp() override {
        socketPath = (root->path() / ("messager-" + std::to_string(++serial) + ".socket")).string();
        server = VRNMessagerServer::create(
            "com.vornhal.test.messager", VRNQueueMain(), owner, serverAuthorization,
            messagertest::privateServerOptions(socketPath, "messager"));
        ASSERT_TRUE(server->start());
        client = std::make_unique<VRNMessagerClient>("com.vornhal.test.messager", socketPath, owner,
                                                     clientAuthorization);
    }
    void TearDown() override {
        client->cancel();
        server->stop();
    }

    std::optional<plist::Value> send(long message, std::optional<plist::Value> payload,
                                     std::optional<VRNError>* error) {
        return client->sendSynchronousMessage(message, payload, error);
    }
    std::vector<long> handledMessages() {
        std::lock_guard guard(owner->mutex);
        std::vector<long> numbers;
        for (const auto& [number, payload] : owner->handled) {
            numbers.push_back(number);
        }
        return numbers;
    }

    static inline logtest::TempFolder* root = nullptr;
    static inline int serial = 0;
    std::string socketPath;
    std::shared_ptr<Owner> owner = std::make_shared<Owner>();
    ClientAuthorization clientAuthorization;
    ServerAuthorization serverAuthorization;
    std::shared_ptr<VRNMessagerServer> server;
    std::unique_ptr<VRNMessagerClient> client;
};

TEST_F(MessagerTest, PayloadsAndRepliesRoundTripAndAMissingOneIsAnEmptyDictionary) {
    std::optional<VRNError> error;
    auto empty = send(1, std::nullopt, &error);
    ASSERT_TRUE(empty) << error->description();
    EXPECT_EQ(*empty, plist::Value(plist::Dictionary{}));
    EXPECT_EQ(owner->handled.at(0).second, plist::Value(plist::Dictionary{}));

    const plist::Value payload(plist::Dictionary{{"Interval", plist::Value(3600)},
                                                 {"When", plist::Value(plist::Date{1000.5})}});
    EXPECT_EQ(send(3, payload, &error), payload);
    auto array = send(kArray, std::nullopt, &error);
    ASSERT_TRUE(array);
    EXPECT_EQ(*array, plist::Value(plist::Array{plist::Value(1), plist::Value("two")}));
    EXPECT_EQ(clientAuthorization.asked, 0) << "no rights, no authorization";
}

TEST_F(MessagerTest, ErrorsTravelWholeAndAReplyObjectBesideThemIsDropped) {
    std::optional<VRNError> error;
    EXPECT_FALSE(send(kFails, std::nullopt, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), KBEErrorDomain);
    EXPECT_EQ(error->code(), 0);
    EXPECT_EQ(error->userInfo().at("detail"), plist::Value(3));
}

TEST_F(MessagerTest, RightsAreCheckedBeforeTheHandler) {
    std::optional<VRNError> error;
    ASSERT_TRUE(send(kGuarded, plist::Value(plist::Dictionary{{"a", plist::Value(1)}}), &error));
    EXPECT_EQ(clientAuthorization.asked, 1);
    EXPECT_THAT(serverAuthorization.lastRights, ElementsAre("test.right"));

    // A client that sends no authorization is refused with code 1.
    owner->clientKnowsRights = false;
    error.reset();
    EXPECT_FALSE(send(kGuarded, std::nullopt, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), VRNMessagerErrorDomain);
    EXPECT_EQ(error->code(), VRNMessagerErrorAuthorizationDataMissing);
    EXPECT_EQ(error->userInfo().at("message"), plist::Value(kGuarded));

    // A client whose authorization fails sends nothing: code 0 with the reason under it.
    owner->clientKnowsRights = true;
    clientAuthorization.refuse = true;
    error.reset();
    EXPECT_FALSE(send(kGuarded, std::nullopt, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VRNMessagerErrorAuthorizeFailed);
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->domain(), "com.vornhal.authorization");
    EXPECT_THAT(handledMessages(), ElementsAre(kGuarded)) << "only the authorized one arrived";
}

TEST_F(MessagerTest, ABlobThatDoesNotProveTheRightIsRefusedWithCodeZero) {
    auto xpc = std::make_shared<VRNXPCClient>("com.vornhal.test.messager", socketPath);
    const auto reply = xpc->sendSynchronousXPCMessage(
        {{"message", plist::Value(kGuarded)}, {"auth", plist::Value(plist::Data{'n', 'o'})}});
    std::optional<VRNError> error;
    EXPECT_FALSE(client->replyForMessage(kGuarded, reply, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VRNMessagerErrorAuthorizeFailed);
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->code(), 5);
    EXPECT_THAT(handledMessages(), IsEmpty());
    xpc->cancel();
}

TEST_F(MessagerTest, MalformedRequestsAndUnknownNumbersAreAnsweredNotDropped) {
    auto xpc = std::make_shared<VRNXPCClient>("com.vornhal.test.messager", socketPath);
    std::optional<VRNError> error;
    auto garbage = xpc->sendSynchronousXPCMessage(
        {{"message", plist::Value(3)}, {"payload", plist::Value(plist::Data{'x', 'x'})}});
    EXPECT_FALSE(client->replyForMessage(3, garbage, &error));
    EXPECT_EQ(error->code(), VRNMessagerErrorDeserializeFailed);

    auto notData = xpc->sendSynchronousXPCMessage(
        {{"message", plist::Value(3)}, {"payload", plist::Value("text")}});
    error.reset();
    EXPECT_FALSE(client->replyForMessage(3, notData, &error));
    EXPECT_EQ(error->code(), VRNMessagerErrorDeserializeFailed);

    error.reset();
    EXPECT_FALSE(send(kUnknown, std::nullopt, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VRNMessagerErrorUnknownMessage);
    EXPECT_EQ(VRNError::localizedDescriptionForError(*error), "Unknown message (40).");
    EXPECT_THAT(handledMessages(), IsEmpty());
    xpc->cancel();
}

TEST_F(MessagerTest, DecodingRepliesThatCannotBeRead) {
    std::optional<VRNError> error;
    EXPECT_FALSE(
        client->payloadForMessage(4, {{"payload", plist::Value(plist::Data{1, 2})}}, &error));
    EXPECT_EQ(error->code(), VRNMessagerErrorDeserializeReplyFailed);
    auto unreadable = client->errorForMessage(4, {{"error", plist::Value(plist::Data{1, 2})}});
    ASSERT_TRUE(unreadable);
    EXPECT_EQ(unreadable->code(), VRNMessagerErrorUnarchiveReplyErrorFailed);
    EXPECT_EQ(unreadable->userInfo().at("message"), plist::Value(4));
    EXPECT_FALSE(client->errorForMessage(4, {}));
}

TEST_F(MessagerTest, TheServiceAbsentOrGoneGivesCodesSevenAndEight) {
    VRNMessagerClient nowhere("com.vornhal.keelbrook.scheduler",
                              (root->path() / "absent.socket").string(), owner,
                              clientAuthorization);
    std::optional<VRNError> error;
    EXPECT_FALSE(nowhere.sendSynchronousMessage(1, std::nullopt, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VRNMessagerErrorServiceUnavailable);
    EXPECT_EQ(error->userInfo().at("service"), plist::Value("com.vornhal.keelbrook.scheduler"));
    EXPECT_EQ(VRNError::logLevelForError(*error), VRNLogLevelDefault);

    testsupport::Waiter answered;
    std::optional<VRNError> gone;
    client->sendMessage(kHeld, std::nullopt, dispatch::globalQueue(),
                        [&](std::optional<plist::Value>, std::optional<VRNError> failure) {
                            gone = std::move(failure);
                            answered.notify();
                        });
    ASSERT_TRUE(owner->handledOne.waitFor());
    server->stop(); // the daemon goes away with the request outstanding
    ASSERT_TRUE(answered.waitFor());
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->code(), VRNMessagerErrorServiceDisappeared);
}

TEST_F(MessagerTest, AOneWayMessagesReplyIsLoggedAndNotSent) {
    std::optional<VRNError> error;
    ASSERT_TRUE(
        client->sendMessage(3, plist::Value(plist::Dictionary{{"k", plist::Value(1)}}), &error));
    ASSERT_TRUE(owner->handledOne.waitFor());
    bool ignored = false;
    for (int attempt = 0; attempt < 2 && !ignored; ++attempt) {
        for (const auto& entry : logtest::recorder().take()) {
            ignored = ignored || entry.message.rfind("Message reply ignored: {", 0) == 0;
        }
    }
    EXPECT_TRUE(ignored);
    // The connection stays usable: the next request is answered normally.
    EXPECT_TRUE(send(1, std::nullopt, &error));
}

} // namespace
