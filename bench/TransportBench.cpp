#include "bench/NoSystemLog.h"
#include "bench/RoundTrips.h"
#include "common/VRNQueue.h"
#include "common/VRNXPCClient.h"
#include "common/VRNXPCServer.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

class Echo final : public VRNXPCServerDelegate {
public:
    bool XPCServerShouldAcceptConnection(VRNXPCServer&,
                                         const std::shared_ptr<VRNXPCPeerConnection>&) override {
        return true;
    }
    void XPCServerHandleMessage(VRNXPCServer&, const VRNXPCMessage& message,
                                const std::shared_ptr<VRNXPCPeerConnection>& peer) override {
        peer->sendReply(message, message.dictionary);
    }
    void XPCServerPeerDidDisconnect(VRNXPCServer&,
                                    const std::shared_ptr<VRNXPCPeerConnection>&) override {}
};

// One server for the program, on a socket in a temporary folder, answering on the main
// queue as the daemon does.
struct Service {
    std::string folder;
    std::string socketPath;
    std::shared_ptr<Echo> delegate = std::make_shared<Echo>();
    std::shared_ptr<VRNXPCServer> server;

    Service() {
        systemlog::setBackend(new bench::NoSystemLog);
        std::string pattern = (std::filesystem::temp_directory_path() / "kbench-XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        socketPath = folder + "/bench.socket";
        VRNXPCServerOptions options;
        options.socketPath = socketPath;
        options.activationName = "bench";
        options.trustedPrograms.paths = {std::filesystem::read_symlink("/proc/self/exe")};
        options.trustedPrograms.owner = ::geteuid();
        server = std::make_shared<VRNXPCServer>("com.vornhal.keelbrook.bench", VRNQueueMain(),
                                                delegate, options);
        if (!server->start()) {
            std::abort();
        }
    }
};

Service& service() {
    static Service* const shared = new Service;
    return *shared;
}

// A small request, like most of the daemon's messages.
plist::Dictionary smallRequest() {
    return plist::Dictionary{{"message", 1}, {"payload", plist::Data(48, 0x2a)}};
}

// Round trip of one synchronous request on a connected client: median and 99th percentile.
void BM_RoundTrip(benchmark::State& state) {
    auto client =
        std::make_shared<VRNXPCClient>("com.vornhal.keelbrook.bench", service().socketPath);
    const plist::Dictionary request = smallRequest();
    client->sendSynchronousXPCMessage(request);
    std::vector<std::chrono::nanoseconds> samples;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        VRNXPCReply reply = client->sendSynchronousXPCMessage(request);
        samples.push_back(std::chrono::steady_clock::now() - start);
        if (!std::holds_alternative<plist::Dictionary>(reply)) {
            state.SkipWithError("the request failed");
            break;
        }
    }
    bench::reportRoundTrips(state, std::move(samples));
    client->cancel();
}
BENCHMARK(BM_RoundTrip)->Iterations(20000)->UseRealTime();

// Requests per second with N clients, each its own connection sending synchronously.
void BM_Clients(benchmark::State& state) {
    auto client =
        std::make_shared<VRNXPCClient>("com.vornhal.keelbrook.bench", service().socketPath);
    const plist::Dictionary request = smallRequest();
    client->sendSynchronousXPCMessage(request);
    for (auto _ : state) {
        VRNXPCReply reply = client->sendSynchronousXPCMessage(request);
        if (!std::holds_alternative<plist::Dictionary>(reply)) {
            state.SkipWithError("the request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    client->cancel();
}
BENCHMARK(BM_Clients)->Threads(1)->Threads(8)->Threads(64)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
