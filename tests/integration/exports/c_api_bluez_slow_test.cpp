// Faults of the BlueZ side on production timing, through the C interface and the fake
// bluetoothd: a hung read and a bluetoothd that dies mid-stream. Labelled slow.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "mivoble/mivoble.h"
#include "support/fake_bluetoothd.h"
#include "unit/log/temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kLegacy = "MV-2401.00.01";

std::mutex g_lock;
std::condition_variable g_changed;
uint64_t g_rows = 0;
std::vector<uint32_t> g_states;

void OnRows(MIVOBLE_HANDLE, const float*, uint32_t rowCount, uint32_t) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_rows += rowCount;
    g_changed.notify_all();
}

void OnState(MIVOBLE_HANDLE, uint32_t state) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_states.push_back(state);
    g_changed.notify_all();
}

template <typename Condition>
bool WaitUntil(std::chrono::seconds timeout, Condition condition) {
    std::unique_lock<std::mutex> guard(g_lock);
    return g_changed.wait_for(guard, timeout, condition);
}

class BluezFaults : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = dir_ / "bluez.log";
        ASSERT_EQ(MIVOBLE_SetLogFile(log_.c_str()), MIVOBLE_OK);
        setenv("MIVOBLE_BACKEND", "bluez", 1);
    }
    std::string Log() const {
        std::ifstream in(log_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    TempDir dir_;
    std::string log_;
};

TEST_F(BluezFaults, HungReadValueIsAbandonedAfterTheLibrarysBound) {
    FakeBluetoothd fake(std::string(kLegacy) + ",hang=ReadValueAsync");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", fake.Address().c_str(), 1);
    const auto start = Clock::now();
    MIVOBLE_HANDLE h = 0;
    EXPECT_NE(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_OK);
    EXPECT_EQ(h, 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(Log().find("winrt: 'ReadValueAsync' timed out after 10000 ms"), std::string::npos) << Log();
}

TEST_F(BluezFaults, BluetoothdDyingMidStreamIsALinkLossAndANewOneIsReconnected) {
    PrivateBus bus;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.BusAddress().c_str(), 1);
    auto fake = std::make_unique<FakeBluetoothd>(bus.BusAddress(), std::nullopt);
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(h, OnState), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows), MIVOBLE_OK);
    ASSERT_TRUE(WaitUntil(std::chrono::seconds(10), [] { return g_rows >= 100; }));

    fake->Kill();
    ASSERT_TRUE(WaitUntil(std::chrono::seconds(10), [] { return !g_states.empty(); }));
    EXPECT_EQ(g_states.front(), MIVOBLE_CONNECTION_LOST);

    fake = std::make_unique<FakeBluetoothd>(bus.BusAddress(), std::nullopt);
    ASSERT_TRUE(WaitUntil(std::chrono::seconds(60), [] { return g_states.back() == MIVOBLE_CONNECTION_CONNECTED; }));
    uint64_t rows = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        rows = g_rows;
    }
    EXPECT_TRUE(WaitUntil(std::chrono::seconds(10), [&] { return g_rows >= rows + 100; }));
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

}  // namespace
}  // namespace Mivo::BLE::Testing
