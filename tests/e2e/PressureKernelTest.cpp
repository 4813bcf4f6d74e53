// Real kernel: the system load source on the machine's own pressure-stall information,
// driven by busy threads. Waits on the real clock, with bounds.

#include "platform/dispatch/Queue.h"
#include "platform/machine-linux/LinuxFeeds.h"
#include "platform/machine-linux/LinuxReadings.h"
#include "platform/machine-linux/LinuxSources.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using machine::SystemLoad;
using namespace std::chrono_literals;

constexpr const char* kPressureFile = "/proc/pressure/cpu";

// Keeps every core busy several times over while it lives.
class BusyThreads {
public:
    explicit BusyThreads(unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                volatile unsigned long spin = 0;
                while (!stop_.load(std::memory_order_relaxed)) {
                    spin = spin + 1;
                }
            });
        }
    }
    ~BusyThreads() { stop(); }
    void stop() {
        stop_ = true;
        for (auto& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// The readings the source delivered, waited for with a bound.
class Deliveries {
public:
    void add(SystemLoad load) {
        {
            std::lock_guard guard(mutex_);
            loads_.push_back(load);
        }
        changed_.notify_all();
    }
    // Whether a delivery after the first `skip` ones satisfies `wanted` by `limit`.
    template <class Wanted>
    bool waitUntil(std::size_t skip, std::chrono::steady_clock::time_point limit, Wanted wanted) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, limit, [&] {
            for (std::size_t i = skip; i < loads_.size(); ++i) {
                if (wanted(loads_[i])) {
                    return true;
                }
            }
            return false;
        });
    }
    std::size_t count() {
        std::lock_guard guard(mutex_);
        return loads_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SystemLoad> loads_;
};

SystemLoad readNow() {
    return machine::linuxfs::readSystemLoad(kPressureFile);
}

TEST(PressureKernelTest, RealLoadIsReportedAndItsEndSeen) {
    if (!std::filesystem::exists(kPressureFile)) {
        GTEST_SKIP() << "this kernel has no " << kPressureFile
                     << " (pressure-stall information off): the real-kernel test does not run";
    }
    std::string error;
    if (!machine::linuxfeeds::pressureTrigger(kPressureFile, machine::kPressureTrigger)(&error)) {
        GTEST_SKIP() << "the kernel refuses pressure triggers here (" << error
                     << "): the real-kernel test does not run";
    }
    // Start from a quiet machine where possible, so that the rise is the test's own.
    const auto quietBy = std::chrono::steady_clock::now() + 20s;
    while (readNow() != SystemLoad::Great && std::chrono::steady_clock::now() < quietBy) {
        std::this_thread::sleep_for(500ms);
    }
    const bool quiet = readNow() == SystemLoad::Great;

    machine::LinuxSeams seams;
    seams.pressureEvents =
        machine::linuxfeeds::pressureTrigger(kPressureFile, machine::kPressureTrigger);
    auto sources = machine::createLinuxSources({}, std::move(seams));
    Deliveries deliveries;
    auto queue = dispatch::SerialQueue::create("com.vornhal.test.pressure");
    ASSERT_TRUE(sources.systemLoad->start(
        queue, [&](SystemLoad load) { deliveries.add(load); }, &error))
        << error;

    const auto loaded = std::chrono::steady_clock::now();
    BusyThreads load(4 * std::max(1u, std::thread::hardware_concurrency()));
    // Before the ten-second recovery read, only the trigger can deliver.
    EXPECT_TRUE(deliveries.waitUntil(0, loaded + 9s, [](SystemLoad) { return true; }))
        << "the pressure trigger delivered nothing";
    EXPECT_TRUE(
        deliveries.waitUntil(0, loaded + 10s, [](SystemLoad l) { return l != SystemLoad::Great; }))
        << "no rise delivered within 10 s; " << deliveries.count() << " deliveries, "
        << kPressureFile << " now reads " << machine::stateName(readNow());
    load.stop();

    // avg10 decays over tens of seconds and the recovery is read every ten.
    const std::size_t seen = deliveries.count();
    const bool recovered =
        deliveries.waitUntil(seen, std::chrono::steady_clock::now() + 60s,
                             [](SystemLoad l) { return l == SystemLoad::Great; });
    sources.systemLoad->stop();
    if (!recovered && !quiet) {
        GTEST_SKIP() << "the machine was under load from elsewhere before the test and still "
                        "is: its recovery cannot be seen";
    }
    EXPECT_TRUE(recovered) << "the end of the load was not delivered within 60 s";
}

} // namespace
