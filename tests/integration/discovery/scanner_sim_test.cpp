// The scanner on the simulated radio: real advertisements from virtual amplifiers, a
// controlled clock for ageing, and the radio and adapter faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/api_exception.h"
#include "discovery/ble_scanner.h"
#include "platform/backend.h"
#include "platform/sim/sim_control.h"
#include "runtime/bluetooth_executor.h"
#include "support/api_error.h"
#include "support/log_file.h"

namespace Mivo::BLE {
namespace {

using Testing::ExpectApiError;

using namespace std::chrono_literals;
constexpr int64_t kMs = 1'000'000;  // ns
constexpr auto kWaitLimit = 10s;    // a passing test never waits this long

// What the host callbacks reported, waitable.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint32_t> counts;
    std::vector<std::vector<std::string>> lists;

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        counts.clear();
        lists.clear();
    }
    // Waits for a list-changed report of `count` (and the discovered report that follows it).
    bool WaitForCount(uint32_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kWaitLimit, [&] {
            return !counts.empty() && counts.back() == count && lists.size() == counts.size();
        });
    }
    std::vector<std::string> LastList() {
        std::lock_guard<std::mutex> lock(mutex);
        return lists.empty() ? std::vector<std::string>{} : lists.back();
    }
    size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return counts.size();
    }
};
Reports g_reports;

void OnListChanged(uint32_t count) {
    std::lock_guard<std::mutex> lock(g_reports.mutex);
    g_reports.counts.push_back(count);
}
void OnDiscovered(const char* names, uint32_t count) {
    std::vector<std::string> list;
    for (uint32_t i = 0; i < count; ++i) list.emplace_back(names + i * MIVOBLE_DEVICENAME_LENGTH_MAX);
    {
        std::lock_guard<std::mutex> lock(g_reports.mutex);
        g_reports.lists.push_back(std::move(list));
    }
    g_reports.changed.notify_all();
}

// A second watcher on the same air. The simulator hands each advertisement to the watchers
// in creation order, so once the probe (created after the scanner's watcher) has seen an
// advertisement, the scanner has handled it too.
class Probe {
public:
    explicit Probe(Sim::SimStack& stack) : watcher_(stack.CreateAdvertisementWatcher()) {
        watcher_->SetScanningMode(Platform::ScanningMode::Active);
        token_ = watcher_->AddReceived([this](const Platform::AdvertisementEvent& e) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back(e);
            }
            arrived_.notify_all();
        });
        watcher_->Start();
    }
    ~Probe() {
        watcher_->RemoveReceived(token_);
        watcher_->Stop();
    }
    // Waits for an advertisement, seen from now on, that satisfies `match`.
    template <typename Pred>
    bool WaitFor(Pred match) {
        std::unique_lock<std::mutex> lock(mutex_);
        const size_t from = seen_.size();
        return arrived_.wait_for(lock, kWaitLimit, [&] {
            for (size_t i = from; i < seen_.size(); ++i)
                if (match(seen_[i])) return true;
            return false;
        });
    }
    bool WaitForName(const std::string& name) {
        return WaitFor([&](const Platform::AdvertisementEvent& e) { return e.localName == name; });
    }

private:
    std::shared_ptr<Platform::IAdvertisementWatcher> watcher_;
    Platform::EventToken token_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Platform::AdvertisementEvent> seen_;
};

class ScannerOnSim : public ::testing::Test {
protected:
    ScannerOnSim()
        : sim_(Sim::MakeSimStack("MV-2401.00.01,adv=10;MV-2401.00.02,gen=nus,adv=10;Headset-123,adv=10")),
          scanner_(ScannerTiming{}, &executor_, [this] { return now_.load(); }) {
        Platform::SetStackForTesting(sim_);
        g_reports.Clear();
        scanner_.SetDeviceListChangedCallback(OnListChanged);
        scanner_.SetDeviceDiscoveredCallback(OnDiscovered);
    }
    ~ScannerOnSim() override {
        scanner_.SetDeviceListChangedCallback(nullptr);
        scanner_.SetDeviceDiscoveredCallback(nullptr);
        Platform::SetStackForTesting(nullptr);
    }
    std::shared_ptr<Sim::Amplifier> Amp(const std::string& name) { return sim_->Find(name); }

    std::shared_ptr<Sim::SimStack> sim_;
    BluetoothExecutor executor_;
    std::atomic<int64_t> now_{1'000'000 * kMs};
    BleScanner scanner_;
};

TEST_F(ScannerOnSim, ListsTheAmplifiersWithTheirAddressesAndIgnoresOtherNames) {
    scanner_.StartScanning();
    ASSERT_TRUE(g_reports.WaitForCount(2));
    auto list = g_reports.LastList();
    std::sort(list.begin(), list.end());
    EXPECT_EQ(list, (std::vector<std::string>{"MV-2401.00.01", "MV-2401.00.02"}));
    for (const char* name : {"MV-2401.00.01", "MV-2401.00.02"}) {
        const auto found = scanner_.FindAddress(name);
        EXPECT_TRUE(found.found) << name;
        EXPECT_EQ(found.address, Amp(name)->Address()) << name;
        EXPECT_TRUE(found.connectable) << name;
    }
    EXPECT_FALSE(scanner_.FindAddress("Headset-123").found);
    EXPECT_TRUE(scanner_.IsScanning());
}

TEST_F(ScannerOnSim, ASilentAmplifierAgesOutWhenAnotherAdvertises) {
    scanner_.StartScanning();
    ASSERT_TRUE(g_reports.WaitForCount(2));
    Probe probe(*sim_);
    Amp("MV-2401.00.02")->SetAdvertising(false);
    // An advertisement of the first amplifier after that: none of the silent one is in flight.
    ASSERT_TRUE(probe.WaitForName("MV-2401.00.01"));
    now_ += 10001 * kMs;
    ASSERT_TRUE(g_reports.WaitForCount(1));
    EXPECT_EQ(g_reports.LastList(), (std::vector<std::string>{"MV-2401.00.01"}));
    EXPECT_FALSE(scanner_.FindAddress("MV-2401.00.02").found);

    // It comes back as the newest entry.
    Amp("MV-2401.00.02")->SetAdvertising(true);
    ASSERT_TRUE(g_reports.WaitForCount(2));
    EXPECT_EQ(g_reports.LastList(), (std::vector<std::string>{"MV-2401.00.01", "MV-2401.00.02"}));
}

TEST_F(ScannerOnSim, ANewAddressReplacesTheOldOneWithoutACallback) {
    scanner_.StartScanning();
    ASSERT_TRUE(g_reports.WaitForCount(2));
    const size_t reportsBefore = g_reports.Size();
    Probe probe(*sim_);
    constexpr uint64_t kNewAddress = 0xC0FFEE123456ull;
    Amp("MV-2401.00.01")->SetAddress(kNewAddress);
    ASSERT_TRUE(probe.WaitFor([](const Platform::AdvertisementEvent& e) { return e.address == kNewAddress; }));
    const auto found = scanner_.FindAddress("MV-2401.00.01");
    EXPECT_TRUE(found.found);
    EXPECT_EQ(found.address, kNewAddress);
    EXPECT_EQ(g_reports.Size(), reportsBefore);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 2);
}

TEST_F(ScannerOnSim, StopKeepsTheListAndStaleEntriesAreRefused) {
    Testing::LogFile log;
    scanner_.StartScanning();
    ASSERT_TRUE(g_reports.WaitForCount(2));
    scanner_.StopScanning();  // from here on no advertisement reaches the list
    EXPECT_FALSE(scanner_.IsScanning());
    now_ += 10500 * kMs;
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 2);
    EXPECT_FALSE(scanner_.FindAddress("MV-2401.00.01").found);
    EXPECT_EQ(log.Count("WARN ", "scanner: ignoring stale address for 'MV-2401.00.01' (last advertised 10500 ms ago)"),
              1);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 2);  // refused, not removed
}

TEST_F(ScannerOnSim, StartEmptiesTheListUntilAdvertisementsArrive) {
    scanner_.StartScanning();
    ASSERT_TRUE(g_reports.WaitForCount(2));
    scanner_.StopScanning();
    for (auto& amp : sim_->Amplifiers()) amp->SetAdvertising(false);
    scanner_.StartScanning();
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 0);
    Amp("MV-2401.00.02")->SetAdvertising(true);
    ASSERT_TRUE(g_reports.WaitForCount(1));
    EXPECT_EQ(g_reports.LastList(), (std::vector<std::string>{"MV-2401.00.02"}));
}

TEST_F(ScannerOnSim, RadioOffAndNoAdapterAreAdapterErrors) {
    sim_->SetRadioOn(false);
    ExpectApiError([&] { scanner_.StartScanning(); }, "Bluetooth adapter not enabled.", 2);
    EXPECT_FALSE(scanner_.IsScanning());
    ExpectApiError([&] { scanner_.EnsureScanning(); }, "Bluetooth adapter not enabled.", 2);
    sim_->SetAdapterPresent(false);
    ExpectApiError([&] { scanner_.StartScanning(); }, "No Bluetooth adapter found.", 2);
    EXPECT_FALSE(scanner_.IsScanning());

    sim_->SetAdapterPresent(true);
    sim_->SetRadioOn(true);
    scanner_.StartScanning();
    EXPECT_TRUE(g_reports.WaitForCount(2));
}

TEST_F(ScannerOnSim, AWatcherStoppedByTheRadioIsRestartedByEnsure) {
    scanner_.StartScanning();
    ASSERT_TRUE(g_reports.WaitForCount(2));
    sim_->SetRadioOn(false);
    EXPECT_FALSE(scanner_.IsScanning());
    ExpectApiError([&] { scanner_.EnsureScanning(); }, "Bluetooth adapter not enabled.", 2);
    sim_->SetRadioOn(true);
    EXPECT_TRUE(scanner_.EnsureScanning());
    EXPECT_TRUE(scanner_.IsScanning());
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 2);  // ensure keeps the list
}

TEST_F(ScannerOnSim, ShutdownStopsListeningAndLaterWorkFails) {
    scanner_.StartScanning();
    ASSERT_TRUE(g_reports.WaitForCount(2));
    scanner_.Shutdown();
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 0);
    ExpectApiError([&] { scanner_.IsScanning(); }, "Bluetooth runtime has been shut down.", -1);
    // The amplifiers keep advertising; nothing reaches the list any more.
    Probe probe(*sim_);
    ASSERT_TRUE(probe.WaitForName("MV-2401.00.01"));
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 0);
}

}  // namespace
}  // namespace Mivo::BLE
