// The C interface end to end over the real factory: on the simulated radio, or through
// BlueZ's API against the fake bluetoothd when MIVOBLE_TEST_BACKEND=bluez.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "integration/smp/smp_sim_support.h"
#include "mivoble/mivoble.h"
#include "support/fake_bluetoothd.h"
#include "unit/log/temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

constexpr const char* kLegacy = "MV-2401.00.01";  // 8 signal channels and a counter

constexpr int kCounterColumn = 8;

std::mutex g_lock;
std::condition_variable g_rowsArrived;
uint64_t g_rows = 0;
uint32_t g_width = 0;
MIVOBLE_HANDLE g_handle = 0;
std::vector<float> g_counters;
std::vector<uint32_t> g_states;

void OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t rowCount, uint32_t width) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_rows += rowCount;
    g_width = width;
    g_handle = handle;
    if (width > kCounterColumn)
        for (uint32_t r = 0; r < rowCount; ++r) g_counters.push_back(rows[r * width + kCounterColumn]);
    g_rowsArrived.notify_all();
}

void OnState(MIVOBLE_HANDLE, uint32_t state) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_states.push_back(state);
    g_rowsArrived.notify_all();
}

template <typename Condition>
bool WaitUntil(std::chrono::seconds timeout, Condition condition) {
    std::unique_lock<std::mutex> guard(g_lock);
    return g_rowsArrived.wait_for(guard, timeout, condition);
}

// Counters of consecutive rows rise by one (modulo the counter's wrap).
size_t CounterGaps(const std::vector<float>& counters) {
    size_t gaps = 0;
    for (size_t i = 1; i < counters.size(); ++i)
        if (counters[i] != counters[i - 1] + 1 && counters[i] != 0) ++gaps;
    return gaps;
}

class CApiOnSim : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(MIVOBLE_SetLogFile((dir_ / "c-api.log").c_str()), MIVOBLE_OK); }
    // The amplifiers of this test process; before the first Bluetooth call.
    static void Amplifiers(const std::optional<std::string>& config) { UseAmplifiers(config); }
    TempDir dir_;
};

TEST_F(CApiOnSim, OpenStreamAndClose) {
    Amplifiers(std::nullopt);
    MIVOBLE_HANDLE h = 0, again = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_OpenDevice(kLegacy, &again), MIVOBLE_OK);
    EXPECT_EQ(again, h);

    MIVOBLE_DEVICE_INFORMATION info;
    ASSERT_EQ(MIVOBLE_GetDeviceInformation(h, &info), MIVOBLE_OK);
    EXPECT_STREQ(info.serialNumber, kLegacy);
    EXPECT_EQ(info.numberOfAcquiredChannels, 11);
    uint32_t n = 0;
    ASSERT_EQ(MIVOBLE_GetChannelConfiguration(h, nullptr, &n), MIVOBLE_OK);
    EXPECT_EQ(n, 9u);

    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows), MIVOBLE_OK);
    {
        std::unique_lock<std::mutex> guard(g_lock);
        EXPECT_TRUE(g_rowsArrived.wait_for(guard, std::chrono::seconds(10), [] { return g_rows >= 8; }));
        EXPECT_EQ(g_width, 11u);
        EXPECT_EQ(g_handle, h);
    }
    // Two seconds at the amplifier's 250 Hz, every counter in turn.
    const auto start = std::chrono::steady_clock::now();
    uint64_t startRows = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        startRows = g_rows;
    }
    EXPECT_TRUE(WaitUntil(std::chrono::seconds(10), [&] { return g_rows >= startRows + 500; }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(500 / seconds, 250.0, 40.0);
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(h, nullptr), MIVOBLE_OK);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        EXPECT_EQ(CounterGaps(g_counters), 0u);
    }
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(again, &info), MIVOBLE_ERROR_INVALID_HANDLE);
}

TEST_F(CApiOnSim, ShutdownIsFinalForBluetoothWork) {
    Amplifiers(std::nullopt);
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_Shutdown(), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();

    MIVOBLE_DEVICE_INFORMATION info;
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(h, &info), MIVOBLE_ERROR_INVALID_HANDLE);
    EXPECT_EQ(MIVOBLE_StartScanning(), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Bluetooth runtime has been shut down.");
    MIVOBLE_HANDLE other = 0;
    EXPECT_EQ(MIVOBLE_OpenDevice(kLegacy, &other), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Bluetooth runtime has been shut down.");
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(MIVOBLE_Shutdown(), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    // What needs no Bluetooth keeps working.
    EXPECT_EQ(MIVOBLE_SetDefaultGeneration(MIVOBLE_GENERATION_NUS), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_GetDefaultGeneration(), 1);
}

TEST_F(CApiOnSim, LinkDropIsReportedAndStreamingResumes) {
    Amplifiers("MV-2401.00.01,drop_every=1500");
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(h, OnState), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows), MIVOBLE_OK);
    ASSERT_TRUE(WaitUntil(std::chrono::seconds(20), [] {
        return g_states.size() >= 2 && g_states[0] == MIVOBLE_CONNECTION_LOST &&
               g_states[1] == MIVOBLE_CONNECTION_CONNECTED;
    }));
    uint64_t rowsAtReconnect = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        rowsAtReconnect = g_rows;
    }
    EXPECT_TRUE(WaitUntil(std::chrono::seconds(10), [&] { return g_rows >= rowsAtReconnect + 100; }));
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

TEST_F(CApiOnSim, CommandFramesOnANusAmplifier) {
    Amplifiers("MV-2401.00.02,gen=nus");
    ASSERT_EQ(MIVOBLE_SetDefaultGeneration(MIVOBLE_GENERATION_NUS), MIVOBLE_OK);
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice("MV-2401.00.02", &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    const uint8_t payload[] = {1, 2, 3};
    uint8_t response[64] = {};
    uint16_t responseSize = sizeof response;
    uint8_t status = 0xEE;
    ASSERT_EQ(MIVOBLE_SendFrame(h, 0x01, payload, sizeof payload, &status, response, &responseSize, 2000), MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::vector<uint8_t>(response, response + responseSize), std::vector<uint8_t>(payload, payload + 3));
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

TEST_F(CApiOnSim, ManagementListUploadTestResetConfirmEraseEcho) {
    Amplifiers(std::nullopt);
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(h, OnState), MIVOBLE_OK);
    auto list = [h] {
        MIVOBLE_IMAGE_STATE images[4];
        uint32_t count = 4;
        EXPECT_EQ(MIVOBLE_ListImages(h, images, &count), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        std::vector<Listed> out;
        for (uint32_t i = 0; i < count && i < 4; ++i)
            out.push_back({images[i].slot, images[i].flags, images[i].version});
        return out;
    };
    EXPECT_EQ(list(), (std::vector<Listed>{{0, 5, "1.0.0"}}));
    const Image image = BuildImage(1, 2, 3, 12 * 1024);
    ASSERT_EQ(
        MIVOBLE_UploadImage(h, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()), 0, nullptr, nullptr),
        MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(list(), (std::vector<Listed>{{0, 5, "1.0.0"}, {1, 0, "1.2.3"}}));
    ASSERT_EQ(MIVOBLE_TestImage(h, image.hash.data()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_ResetDevice(h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_TRUE(WaitUntil(std::chrono::seconds(30),
                          [] { return g_states.size() >= 2 && g_states.back() == MIVOBLE_CONNECTION_CONNECTED; }));
    EXPECT_EQ(list(), (std::vector<Listed>{{0, 4, "1.2.3"}, {1, 1, "1.0.0"}}));
    ASSERT_EQ(MIVOBLE_ConfirmImage(h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_EraseImage(h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(list(), (std::vector<Listed>{{0, 5, "1.2.3"}}));
    char echo[64];
    uint32_t echoSize = sizeof echo;
    ASSERT_EQ(MIVOBLE_Echo(h, "through the stack", echo, &echoSize), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(std::string(echo, echoSize), "through the stack");
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

}  // namespace
}  // namespace Mivo::BLE::Testing
