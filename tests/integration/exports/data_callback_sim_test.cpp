// Data callbacks through the C interface on the simulated radio: registering again while
// streaming.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "mivoble/mivoble.h"
#include "unit/log/temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A legacy amplifier with a counter column at 1000 Hz, and a NUS amplifier.
constexpr const char* kLegacy = "MV-2401.00.21";
constexpr const char* kSim = "MV-2401.00.21,gen=legacy,rate=1000;MV-2401.00.22,gen=nus";
constexpr uint32_t kLegacyCounterColumn = 8;  // 8 signal channels, then the counter

class DataCallbackOnSim : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("MIVOBLE_SIM", kSim, 1);
        ASSERT_EQ(MIVOBLE_SetLogFile((dir_ / "callbacks.log").c_str()), MIVOBLE_OK);
    }
    TempDir dir_;
};

// ---- every row exactly once across re-registrations ----------------------------------------

struct CounterLog {
    std::mutex lock;
    std::condition_variable grew;
    uint64_t rows = 0;
    uint64_t repeated = 0;  // rows whose counter is not above every counter seen before
    float highest = 0.0f;

    void Add(const float* row) {
        std::lock_guard<std::mutex> guard(lock);
        const float counter = row[kLegacyCounterColumn];
        if (rows != 0 && counter <= highest) ++repeated;
        if (rows == 0 || counter > highest) highest = counter;
        ++rows;
        grew.notify_all();
    }
    bool WaitForRows(uint64_t count) {
        std::unique_lock<std::mutex> guard(lock);
        return grew.wait_for(guard, 10s, [&] { return rows >= count; });
    }
};
CounterLog g_counters;

void RowsA(MIVOBLE_HANDLE, const float* row, uint32_t) { g_counters.Add(row); }
void RowsB(MIVOBLE_HANDLE, const float* row, uint32_t) { g_counters.Add(row); }

TEST_F(DataCallbackOnSim, RegisteringAgainWhileStreamingDeliversEveryRowOnce) {
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(h, RowsA), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_TRUE(g_counters.WaitForRows(100));

    constexpr int kRegistrations = 300;
    for (int i = 0; i < kRegistrations; ++i) {
        ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(h, (i % 2) ? RowsA : RowsB), MIVOBLE_OK)
            << MIVOBLE_GetLastErrorText();
    }
    uint64_t rowsAfter = 0;
    {
        std::lock_guard<std::mutex> guard(g_counters.lock);
        rowsAfter = g_counters.rows;
    }
    ASSERT_TRUE(g_counters.WaitForRows(rowsAfter + 100));  // still streaming
    ASSERT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();

    std::lock_guard<std::mutex> guard(g_counters.lock);
    EXPECT_EQ(g_counters.repeated, 0u) << "of " << g_counters.rows << " rows";
}

}  // namespace
}  // namespace Mivo::BLE::Testing
