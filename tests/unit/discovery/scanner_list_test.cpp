// The scanner's device list: name filter, ageing, callbacks and name access. Advertisements
// are fed straight into the received handler with a controlled clock, so no radio is involved.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "discovery/ble_scanner.h"
#include "support/log_file.h"

namespace Mivo::BLE {
namespace {

constexpr int64_t kMs = 1'000'000;  // ns
using namespace std::chrono_literals;

// What the host callbacks saw, in call order. C callbacks carry no context, so one
// recorder is shared by the tests of this file (they run one at a time).
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> events;              // "changed:N" / "discovered:N"
    std::vector<std::vector<std::string>> lists;  // the names each discovered call carried
    std::vector<std::string> rawSlots;            // the slot bytes each discovered call carried
    BleScanner* reentrant = nullptr;              // when set, callbacks read the list back
    std::vector<std::string> readBack;

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        events.clear();
        lists.clear();
        rawSlots.clear();
        readBack.clear();
        reentrant = nullptr;
    }
};
Recorder g_rec;

void OnListChanged(uint32_t count) {
    BleScanner* scanner;
    {
        std::lock_guard<std::mutex> lock(g_rec.mutex);
        g_rec.events.push_back("changed:" + std::to_string(count));
        scanner = g_rec.reentrant;
    }
    if (scanner) {
        const int32_t n = scanner->GetDiscoveredDeviceCount();
        std::lock_guard<std::mutex> lock(g_rec.mutex);
        g_rec.readBack.push_back("count:" + std::to_string(n));
    }
}

void OnDiscovered(const char* names, uint32_t count) {
    std::vector<std::string> list;
    for (uint32_t i = 0; i < count; ++i) list.emplace_back(names + i * MIVOBLE_DEVICENAME_LENGTH_MAX);
    BleScanner* scanner;
    {
        std::lock_guard<std::mutex> lock(g_rec.mutex);
        g_rec.events.push_back("discovered:" + std::to_string(count));
        g_rec.lists.push_back(list);
        g_rec.rawSlots.emplace_back(names, count * MIVOBLE_DEVICENAME_LENGTH_MAX);
        scanner = g_rec.reentrant;
    }
    if (scanner && count > 0) {
        char buffer[32];
        const int32_t status = scanner->GetDiscoveredDeviceName(count - 1, buffer, sizeof buffer);
        std::lock_guard<std::mutex> lock(g_rec.mutex);
        g_rec.readBack.push_back("name:" + std::to_string(status) + ":" + buffer);
    }
}

class ScannerList : public ::testing::Test {
protected:
    ScannerList() : scanner_(ScannerTiming{}, nullptr, [this] { return now_.load(); }) {
        g_rec.Reset();
        scanner_.SetDeviceListChangedCallback(OnListChanged);
        scanner_.SetDeviceDiscoveredCallback(OnDiscovered);
    }
    ~ScannerList() override { g_rec.Reset(); }

    void Advertise(const std::string& name, uint64_t address = 0xA1, bool connectable = true) {
        scanner_.HandleAdvertisement({name, address, connectable});
    }
    void Advance(int64_t ns) { now_ += ns; }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(g_rec.mutex);
        return g_rec.events;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        char buffer[64];
        for (int32_t i = 0; i < scanner_.GetDiscoveredDeviceCount(); ++i) {
            EXPECT_EQ(scanner_.GetDiscoveredDeviceName(static_cast<uint32_t>(i), buffer, sizeof buffer), 0);
            names.emplace_back(buffer);
        }
        return names;
    }

    std::atomic<int64_t> now_{1'000'000 * kMs};
    BleScanner scanner_;
};

TEST(SerialPattern, AcceptsOnlyThirteenBytesWithSeparatorsInPlace) {
    EXPECT_TRUE(BleScanner::MatchesSerialPattern("MV-2401.00.01"));
    EXPECT_TRUE(BleScanner::MatchesSerialPattern("ab-cdef.gh.ij"));   // other bytes are free
    EXPECT_FALSE(BleScanner::MatchesSerialPattern("MV-24010.0.0."));  // dots at 8 and 12
    EXPECT_FALSE(BleScanner::MatchesSerialPattern(""));
    EXPECT_FALSE(BleScanner::MatchesSerialPattern("MV-2401.00.0"));    // 12 bytes
    EXPECT_FALSE(BleScanner::MatchesSerialPattern("MV-2401.00.012"));  // 14 bytes
    EXPECT_FALSE(BleScanner::MatchesSerialPattern("MV_2401.00.01"));
}

TEST_F(ScannerList, ListsOnlyNamesOfTheSerialPatternInArrivalOrder) {
    Advertise("");
    Advertise("Headphones");
    Advertise("MV-24010.0.0.");
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 0);
    EXPECT_TRUE(Events().empty());

    Advertise("MV-2401.00.02", 0xB2, false);
    Advertise("MV-2401.00.01", 0xA1, true);
    EXPECT_EQ(Names(), (std::vector<std::string>{"MV-2401.00.02", "MV-2401.00.01"}));
    const auto found = scanner_.FindAddress("MV-2401.00.02");
    EXPECT_TRUE(found.found);
    EXPECT_EQ(found.address, 0xB2u);
    EXPECT_FALSE(found.connectable);
    EXPECT_FALSE(scanner_.FindAddress("MV-2401.00.03").found);
}

TEST_F(ScannerList, RefreshFromANewAddressUpdatesTheEntryWithoutCallbacks) {
    Advertise("MV-2401.00.01", 0xA1, true);
    g_rec.Reset();
    Advance(5000 * kMs);
    Advertise("MV-2401.00.01", 0xC3, false);
    EXPECT_TRUE(Events().empty());
    const auto found = scanner_.FindAddress("MV-2401.00.01");
    EXPECT_TRUE(found.found);
    EXPECT_EQ(found.address, 0xC3u);
    EXPECT_FALSE(found.connectable);
    // The refresh also renewed the entry: 9 s later it is still fresh.
    Advance(9000 * kMs);
    EXPECT_TRUE(scanner_.FindAddress("MV-2401.00.01").found);
}

TEST_F(ScannerList, AnEntryIsStaleOnlyWhenStrictlyOlderThanTheThreshold) {
    Advertise("MV-2401.00.01");
    Advance(10000 * kMs);  // exactly 10000.0 ms
    Advertise("MV-2401.00.02");
    EXPECT_EQ(Names(), (std::vector<std::string>{"MV-2401.00.01", "MV-2401.00.02"}));
    EXPECT_TRUE(scanner_.FindAddress("MV-2401.00.01").found);

    Advance(100'000);  // 10000.1 ms
    Advertise("MV-2401.00.02");
    EXPECT_EQ(Names(), (std::vector<std::string>{"MV-2401.00.02"}));
}

TEST_F(ScannerList, StaleEntriesStayUntilAnAdvertisementButAreNotResolved) {
    Testing::LogFile log;
    Advertise("MV-2401.00.01");
    Advance(12000 * kMs);
    // Nothing advertised: still counted and named...
    EXPECT_EQ(Names(), (std::vector<std::string>{"MV-2401.00.01"}));
    // ...but its address is refused.
    EXPECT_FALSE(scanner_.FindAddress("MV-2401.00.01").found);
    EXPECT_EQ(log.Count("WARN ", "scanner: ignoring stale address for 'MV-2401.00.01' (last advertised 12000 ms ago)"),
              1);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 1);
}

TEST_F(ScannerList, PruningReportsTheWholeRemainingList) {
    Advertise("MV-2401.00.0A");
    Advertise("MV-2401.00.0B");
    g_rec.Reset();
    for (int i = 0; i < 11; ++i) {  // A keeps advertising, B is silent for 11 s
        Advance(1000 * kMs);
        Advertise("MV-2401.00.0A");
    }
    EXPECT_EQ(Events(), (std::vector<std::string>{"changed:1", "discovered:1"}));
    std::lock_guard<std::mutex> lock(g_rec.mutex);
    ASSERT_EQ(g_rec.lists.size(), 1u);
    EXPECT_EQ(g_rec.lists[0], (std::vector<std::string>{"MV-2401.00.0A"}));
}

TEST_F(ScannerList, SeveralStaleEntriesGoInOneChangeKeepingTheOrderOfTheRest) {
    for (const char* n : {"MV-2401.00.01", "MV-2401.00.02", "MV-2401.00.03", "MV-2401.00.04"}) Advertise(n);
    Advance(6000 * kMs);
    Advertise("MV-2401.00.02");
    Advertise("MV-2401.00.04");
    g_rec.Reset();
    Advance(5000 * kMs);  // 01 and 03 are 11 s old, 02 and 04 5 s
    Advertise("MV-2401.00.05");
    EXPECT_EQ(Names(), (std::vector<std::string>{"MV-2401.00.02", "MV-2401.00.04", "MV-2401.00.05"}));
    EXPECT_EQ(Events(), (std::vector<std::string>{"changed:3", "discovered:3"}));
}

TEST_F(ScannerList, CallbacksComeListChangedFirstWithFifteenByteSlots) {
    Advertise("MV-2401.00.01");
    Advertise("MV-2401.00.02");
    EXPECT_EQ(Events(), (std::vector<std::string>{"changed:1", "discovered:1", "changed:2", "discovered:2"}));
    std::lock_guard<std::mutex> lock(g_rec.mutex);
    ASSERT_EQ(g_rec.rawSlots.size(), 2u);
    const std::string expected = std::string("MV-2401.00.01\0\0", 15) + std::string("MV-2401.00.02\0\0", 15);
    EXPECT_EQ(g_rec.rawSlots[1], expected);
}

TEST_F(ScannerList, ALongNameIsCutToFourteenBytesInItsSlotButKeptWhole) {
    scanner_.SetNameFilter([](const std::string& name) { return name.size() == 20; });
    const std::string longName = "ABCDEFGHIJKLMNOPQRST";
    Advertise("MV-2401.00.01");  // the custom filter replaces the pattern
    Advertise(longName);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 1);
    {
        std::lock_guard<std::mutex> lock(g_rec.mutex);
        ASSERT_EQ(g_rec.rawSlots.size(), 1u);
        EXPECT_EQ(g_rec.rawSlots[0], std::string("ABCDEFGHIJKLMN\0", 15));
    }
    EXPECT_EQ(Names(), (std::vector<std::string>{longName}));
    EXPECT_TRUE(scanner_.FindAddress(longName).found);

    scanner_.SetNameFilter(nullptr);  // back to the serial-number pattern
    Advertise("MV-2401.00.01");
    Advertise("ABCDEFGHIJKLMNOPQRSX");
    EXPECT_EQ(Names(), (std::vector<std::string>{longName, "MV-2401.00.01"}));
}

TEST_F(ScannerList, AnEntryOnceListedKeepsBeingRefreshedWhenTheFilterChanges) {
    Advertise("MV-2401.00.01", 0xA1);
    scanner_.SetNameFilter([](const std::string&) { return false; });
    Advance(9000 * kMs);
    Advertise("MV-2401.00.01", 0xA2);
    Advance(9000 * kMs);
    const auto found = scanner_.FindAddress("MV-2401.00.01");
    EXPECT_TRUE(found.found);
    EXPECT_EQ(found.address, 0xA2u);
}

TEST_F(ScannerList, AThrowingFilterDropsTheEventAndLeavesTheListAlone) {
    Advertise("MV-2401.00.01");
    g_rec.Reset();
    scanner_.SetNameFilter([](const std::string&) -> bool { throw std::runtime_error("filter failed"); });
    Advance(11000 * kMs);
    EXPECT_NO_THROW(Advertise("MV-2401.00.02"));
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 1);  // the stale entry was not pruned either
    EXPECT_TRUE(Events().empty());
}

TEST_F(ScannerList, CallbacksMayReadTheListBackWithoutDeadlock) {
    g_rec.reentrant = &scanner_;
    Advertise("MV-2401.00.01");
    Advertise("MV-2401.00.02");
    std::lock_guard<std::mutex> lock(g_rec.mutex);
    EXPECT_EQ(g_rec.readBack,
              (std::vector<std::string>{"count:1", "name:0:MV-2401.00.01", "count:2", "name:0:MV-2401.00.02"}));
}

TEST_F(ScannerList, ClearedCallbacksAreNoLongerCalled) {
    scanner_.SetDeviceListChangedCallback(nullptr);
    Advertise("MV-2401.00.01");
    EXPECT_EQ(Events(), (std::vector<std::string>{"discovered:1"}));
    scanner_.SetDeviceDiscoveredCallback(nullptr);
    Advertise("MV-2401.00.02");
    EXPECT_EQ(Events(), (std::vector<std::string>{"discovered:1"}));
    EXPECT_EQ(scanner_.GetDiscoveredDeviceCount(), 2);
}

// A list-changed call held inside the callback until the test lets it go.
struct HeldCall {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    bool release = false;
    bool clearReturned = false;
    bool clearReturnedWhileRunning = false;
    BleScanner* clearsItself = nullptr;
};
HeldCall* g_held = nullptr;

void OnListChangedHeld(uint32_t) {
    HeldCall& held = *g_held;
    std::unique_lock<std::mutex> lock(held.mutex);
    ++held.calls;
    held.changed.notify_all();
    held.changed.wait(lock, [&] { return held.release; });
    held.clearReturnedWhileRunning = held.clearReturned;
    if (BleScanner* scanner = held.clearsItself) {
        lock.unlock();
        scanner->SetDeviceListChangedCallback(nullptr);  // from inside its own call: no wait
    }
}

TEST_F(ScannerList, ClearingACallbackReturnsOnlyAfterTheCallInProgressHasEnded) {
    HeldCall held;
    g_held = &held;
    scanner_.SetDeviceListChangedCallback(OnListChangedHeld);
    std::thread advertiser([&] { Advertise("MV-2401.00.01"); });
    {
        std::unique_lock<std::mutex> lock(held.mutex);
        ASSERT_TRUE(held.changed.wait_for(lock, 10s, [&] { return held.calls == 1; }));
    }
    std::thread clearer([&] {
        scanner_.SetDeviceListChangedCallback(nullptr);
        std::lock_guard<std::mutex> lock(held.mutex);
        held.clearReturned = true;
        held.changed.notify_all();
    });
    {
        // The call goes on once the clear has returned, or after a while when the clear waits.
        std::unique_lock<std::mutex> lock(held.mutex);
        held.changed.wait_for(lock, 200ms, [&] { return held.clearReturned; });
        held.release = true;
    }
    held.changed.notify_all();
    advertiser.join();
    clearer.join();
    EXPECT_FALSE(held.clearReturnedWhileRunning);
    Advertise("MV-2401.00.02");
    EXPECT_EQ(held.calls, 1);

    // A callback that clears itself from inside its call is not waited for.
    held.clearsItself = &scanner_;
    scanner_.SetDeviceListChangedCallback(OnListChangedHeld);
    Advertise("MV-2401.00.03");
    Advertise("MV-2401.00.04");
    EXPECT_EQ(held.calls, 2);
    g_held = nullptr;
}

TEST_F(ScannerList, NameAccessChecksBufferLengthAndIndex) {
    Advertise("MV-2401.00.01");
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceName(0, buffer, 5), 0);
    EXPECT_EQ(std::string(buffer, 6), std::string("MV-2\0x", 6));

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceName(1, buffer, sizeof buffer), MIVOBLE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(scanner_.GetDiscoveredDeviceName(0, buffer, 0), MIVOBLE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(scanner_.GetDiscoveredDeviceName(0, nullptr, 8), MIVOBLE_ERROR_INVALID_ARGUMENT);

    EXPECT_EQ(scanner_.GetDiscoveredDeviceName(0, buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(ScannerList, ConcurrentAdvertisementsAndReadersKeepNamesUnique) {
    g_rec.reentrant = &scanner_;
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kRounds; ++i) {
                // Every thread advertises the same eight names from its own address.
                Advertise("MV-2401.00.0" + std::to_string(i % 8), 0x100 + t);
                if (i % 50 == 0) Advance(kMs);
            }
        });
    }
    threads.emplace_back([this] {
        char buffer[16];
        for (int i = 0; i < kRounds; ++i) {
            const int32_t n = scanner_.GetDiscoveredDeviceCount();
            if (n > 0) {
                EXPECT_EQ(scanner_.GetDiscoveredDeviceName(static_cast<uint32_t>(n - 1), buffer, 16), 0);
            }
        }
    });
    for (auto& th : threads) th.join();
    auto names = Names();
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(names[i], "MV-2401.00.0" + std::to_string(i));
    // Only additions happened: the last discovered call listed all eight.
    std::lock_guard<std::mutex> lock(g_rec.mutex);
    EXPECT_EQ(g_rec.events.size(), 16u);
}

}  // namespace
}  // namespace Mivo::BLE
