// The scanner's platform side against a scripted stack: radio check, watcher start, stop,
// ensure and shutdown, and the failures each of them reports.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>

#include "core/api_exception.h"
#include "discovery/ble_scanner.h"
#include "runtime/bluetooth_executor.h"
#include "support/api_error.h"
#include "support/fake_stack.h"
#include "support/log_file.h"

namespace Mivo::BLE {
namespace {

using Testing::ExpectApiError;

using Platform::RadioState;
using Platform::ScanningMode;
using Platform::WatcherStatus;

// List-changed reports, waitable.
struct ListReports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint32_t> counts;
    bool WaitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, Testing::kFakeWaitLimit, [&] { return counts.size() >= n; });
    }
};
ListReports g_reports;
void OnListChanged(uint32_t count) {
    {
        std::lock_guard<std::mutex> lock(g_reports.mutex);
        g_reports.counts.push_back(count);
    }
    g_reports.changed.notify_all();
}

class ScannerTasks : public ::testing::Test {
protected:
    ScannerTasks() : installed_(stack_), scanner_(Timing(), &executor_) {
        std::lock_guard<std::mutex> lock(g_reports.mutex);
        g_reports.counts.clear();
    }
    static ScannerTiming Timing() {
        ScannerTiming t;
        t.adapterBoundMs = 40;
        t.radioBoundMs = 40;
        return t;
    }
    // Advertises on the event thread and waits until the scanner has handled it.
    void Advertise(const std::string& name, uint64_t address) {
        stack_->watcher->Advertise(name, address);
        ASSERT_TRUE(stack_->FlushEvents());
    }

    std::shared_ptr<Testing::FakeStack> stack_ = std::make_shared<Testing::FakeStack>();
    Testing::ScopedStack installed_;
    BluetoothExecutor executor_;
    BleScanner scanner_;
};

TEST_F(ScannerTasks, StartScanningChecksTheRadioAndListensActively) {
    Testing::LogFile log;
    EXPECT_FALSE(scanner_.IsScanning());
    scanner_.StartScanning();
    EXPECT_TRUE(scanner_.IsScanning());
    EXPECT_EQ(stack_->watcher->Mode(), ScanningMode::Active);
    EXPECT_EQ(stack_->watcher->HandlerCount(), 1u);
    EXPECT_EQ(stack_->getDefaultAdapter.Calls(), 1);
    EXPECT_EQ(stack_->adapter->getRadio.Calls(), 1);
    EXPECT_EQ(log.Count("DEBUG", "scanner: advertisement watcher started"), 1);

    Advertise("MV-2401.00.01", 0xA1);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 1);
    EXPECT_EQ(scanner_.FindAddress("MV-2401.00.01").address, 0xA1u);
}

TEST_F(ScannerTasks, RadioCheckFailuresAreAdapterErrorsAndStartNoWatcher) {
    stack_->adapter->radio->state = RadioState::Off;
    ExpectApiError([&] { scanner_.StartScanning(); }, "Bluetooth adapter not enabled.", 2);
    stack_->adapter->radio->state = RadioState::Disabled;
    ExpectApiError([&] { scanner_.EnsureScanning(); }, "Bluetooth adapter not enabled.", 2);
    stack_->adapter->radio = nullptr;
    ExpectApiError([&] { scanner_.StartScanning(); }, "Bluetooth adapter not enabled.", 2);
    stack_->adapter = nullptr;
    ExpectApiError([&] { scanner_.StartScanning(); }, "No Bluetooth adapter found.", 2);
    ExpectApiError([&] { scanner_.CheckRadio(); }, "No Bluetooth adapter found.", 2);
    EXPECT_EQ(stack_->watchersCreated.load(), 0);
    EXPECT_FALSE(scanner_.IsScanning());
}

TEST_F(ScannerTasks, SlowOrFailingAdapterQueriesAreBounded) {
    stack_->getDefaultAdapter.Hang();
    ExpectApiError([&] { scanner_.StartScanning(); }, "Bluetooth operation 'GetDefaultAdapter' timed out.", 3);
    stack_->adapter->getRadio.Hang();
    ExpectApiError([&] { scanner_.StartScanning(); }, "Bluetooth operation 'GetRadio' timed out.", 3);
    stack_->getDefaultAdapter.Fail(-5, "Adapter query failed.");
    ExpectApiError([&] { scanner_.StartScanning(); }, "Adapter query failed.", 3);
    EXPECT_EQ(stack_->watchersCreated.load(), 0);
}

TEST_F(ScannerTasks, AWatcherThatFailsToStartIsNotKept) {
    stack_->watcher->start.FailNext(-3, "The radio refused to scan.");
    ExpectApiError([&] { scanner_.StartScanning(); }, "The radio refused to scan.", 3);
    EXPECT_EQ(stack_->watcher->HandlerCount(), 0u);
    EXPECT_FALSE(scanner_.IsScanning());
    // The next start works.
    scanner_.StartScanning();
    EXPECT_TRUE(scanner_.IsScanning());
    EXPECT_EQ(stack_->watcher->HandlerCount(), 1u);
}

TEST_F(ScannerTasks, StopKeepsTheListAndStartEmptiesIt) {
    scanner_.StartScanning();
    Advertise("MV-2401.00.01", 0xA1);
    Testing::LogFile log;
    scanner_.StopScanning();
    EXPECT_FALSE(scanner_.IsScanning());
    EXPECT_EQ(stack_->watcher->HandlerCount(), 0u);
    EXPECT_EQ(stack_->watcher->stop.Calls(), 1);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 1);
    EXPECT_EQ(log.Count("DEBUG", "scanner: advertisement watcher stopped"), 1);

    scanner_.SetDeviceListChangedCallback(OnListChanged);
    scanner_.StartScanning();
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 0);
    {
        std::lock_guard<std::mutex> lock(g_reports.mutex);
        EXPECT_TRUE(g_reports.counts.empty());  // emptying on start is not reported
    }
    Advertise("MV-2401.00.01", 0xA1);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 1);
}

TEST_F(ScannerTasks, AFailingStopIsReportedButTheWatcherIsReleased) {
    scanner_.StartScanning();
    stack_->watcher->stop.FailNext(-4, "Stop failed.");
    ExpectApiError([&] { scanner_.StopScanning(); }, "Stop failed.", 3);
    EXPECT_FALSE(scanner_.IsScanning());
    EXPECT_EQ(stack_->watcher->HandlerCount(), 0u);
}

TEST_F(ScannerTasks, EnsureScanningStartsOnlyWhenNeededAndKeepsTheList) {
    scanner_.StartScanning();
    Advertise("MV-2401.00.01", 0xA1);
    scanner_.StopScanning();

    Testing::LogFile log;
    EXPECT_TRUE(scanner_.EnsureScanning());
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 1);
    EXPECT_FALSE(scanner_.EnsureScanning());
    EXPECT_TRUE(scanner_.IsScanning());
    EXPECT_EQ(log.Count("DEBUG", "scanner: advertisement watcher started (reconnect)"), 1);
    EXPECT_EQ(stack_->getDefaultAdapter.Calls(), 2);  // the second ensure checked nothing

    // A watcher the platform stopped on its own is replaced.
    stack_->watcher->SetStatus(WatcherStatus::Aborted);
    EXPECT_TRUE(scanner_.EnsureScanning());
    EXPECT_EQ(stack_->watcher->HandlerCount(), 1u);
}

TEST_F(ScannerTasks, ShutdownClearsEverythingAndStopsTheExecutor) {
    scanner_.SetDeviceListChangedCallback(OnListChanged);
    scanner_.StartScanning();
    Advertise("MV-2401.00.01", 0xA1);
    ASSERT_TRUE(g_reports.WaitFor(1));
    stack_->watcher->stop.FailNext(-1, "ignored");  // errors of the watcher do not stop the shutdown

    scanner_.Shutdown();
    EXPECT_EQ(stack_->watcher->HandlerCount(), 0u);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 0);
    // The callbacks are gone: a late advertisement handled directly reports nothing.
    scanner_.HandleAdvertisement({"MV-2401.00.02", 0xB2, true});
    {
        std::lock_guard<std::mutex> lock(g_reports.mutex);
        EXPECT_EQ(g_reports.counts, (std::vector<uint32_t>{1}));
    }
    ExpectApiError([&] { scanner_.StartScanning(); }, "Bluetooth runtime has been shut down.", -1);
    ExpectApiError([&] { scanner_.EnsureScanning(); }, "Bluetooth runtime has been shut down.", -1);
    EXPECT_NO_THROW(scanner_.Shutdown());  // a second shutdown is harmless
}

// A stack that passes a device's reports on only once per discovery cycle keeps it listed and
// resolvable for the stale threshold plus that cycle.
TEST(ScannerReportCycle, AnEntryAgesOutAfterTheThresholdPlusTheWatchersReportInterval) {
    struct Case {
        int64_t intervalMs;
        int64_t ageUs;  // since the advertisement
        bool fresh;
    };
    const Case cases[] = {
        {0, 10'000'000, true},     {0, 10'000'100, false},  // every advertisement reported: the threshold alone
        {10240, 20'000'000, true}, {10240, 20'240'000, true}, {10240, 20'240'100, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("interval " + std::to_string(c.intervalMs) + " ms, age " + std::to_string(c.ageUs) + " us");
        auto stack = std::make_shared<Testing::FakeStack>();
        Testing::ScopedStack installed(stack);
        BluetoothExecutor executor;
        std::atomic<int64_t> now{1'000'000'000};
        BleScanner scanner(ScannerTiming{}, &executor, [&] { return now.load(); });
        stack->watcher->reportIntervalMs = c.intervalMs;
        scanner.StartScanning();
        stack->watcher->Advertise("MV-2401.00.01", 0xA1);
        ASSERT_TRUE(stack->FlushEvents());
        now += c.ageUs * 1000;
        EXPECT_EQ(scanner.FindAddress("MV-2401.00.01").found, c.fresh);
        stack->watcher->Advertise("MV-2401.00.02", 0xA2);  // pruning comes with another report
        ASSERT_TRUE(stack->FlushEvents());
        EXPECT_EQ(scanner.GetDiscoveredDeviceCount(), c.fresh ? 2 : 1);
        scanner.StopScanning();
    }
}

TEST(ScannerInstance, AFailedRadioCheckIsRetriedAtTheNextUse) {
    // The process-wide scanner is created once per process; a repeated run finds it made.
    static bool ranBefore = false;
    if (std::exchange(ranBefore, true)) GTEST_SKIP() << "the process-wide scanner already exists";
    auto stack = std::make_shared<Testing::FakeStack>();
    Testing::ScopedStack installed(stack);
    Testing::LogFile log;
    auto adapter = stack->adapter;
    stack->adapter = nullptr;
    try {
        BleScanner::Instance();
        ADD_FAILURE() << "no adapter, yet the scanner was created";
    } catch (const ApiException& e) {
        EXPECT_EQ(e.Code(), 2);
        EXPECT_STREQ(e.what(), "No Bluetooth adapter found.");
    }
    stack->adapter = adapter;
    BleScanner& first = BleScanner::Instance();
    EXPECT_EQ(&first, &BleScanner::Instance());
    EXPECT_EQ(stack->getDefaultAdapter.Calls(), 2);  // checked once per creation attempt only
    BluetoothExecutor::Instance().Run("Probe", 1000, [] {});
    EXPECT_EQ(log.Count("DEBUG", "executor: 'CheckRadio' done"), 2);
}

}  // namespace
}  // namespace Mivo::BLE
