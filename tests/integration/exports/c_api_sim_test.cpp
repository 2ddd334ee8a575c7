// The C interface end to end over the real factory on the simulated radio (default amplifiers).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "mivoble/mivoble.h"
#include "unit/log/temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

constexpr const char* kLegacy = "MV-2401.00.01";  // 8 signal channels and a counter

std::mutex g_lock;
std::condition_variable g_rowsArrived;
uint64_t g_rows = 0;
uint32_t g_width = 0;
MIVOBLE_HANDLE g_handle = 0;

void OnRows(MIVOBLE_HANDLE handle, const float*, uint32_t rowCount, uint32_t width) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_rows += rowCount;
    g_width = width;
    g_handle = handle;
    g_rowsArrived.notify_all();
}

class CApiOnSim : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(MIVOBLE_SetLogFile((dir_ / "c-api.log").c_str()), MIVOBLE_OK); }
    TempDir dir_;
};

TEST_F(CApiOnSim, OpenStreamAndClose) {
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
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(h, nullptr), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(again, &info), MIVOBLE_ERROR_INVALID_HANDLE);
}

TEST_F(CApiOnSim, ShutdownIsFinalForBluetoothWork) {
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

}  // namespace
}  // namespace Mivo::BLE::Testing
