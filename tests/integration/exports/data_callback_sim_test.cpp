// Data callbacks through the C interface on the simulated radio: registering again while
// streaming, and calling the library from inside a data callback.
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
#include "support/log_file.h"

namespace Mivo::BLE::Testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A legacy amplifier with a counter column at 1000 Hz, and a NUS amplifier.
constexpr const char* kLegacy = "MV-2401.00.21";
constexpr const char* kNus = "MV-2401.00.22";
constexpr const char* kSim = "MV-2401.00.21,gen=legacy,rate=1000;MV-2401.00.22,gen=nus";
constexpr uint32_t kLegacyCounterColumn = 8;  // 8 signal channels, then the counter

class DataCallbackOnSim : public ::testing::Test {
protected:
    void SetUp() override { setenv("MIVOBLE_SIM", kSim, 1); }
    LogFile log_;
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

// ---- calls from inside a data callback -----------------------------------------------------

// Each entry is one call made from inside a data callback of the NUS amplifier, with the
// result it must give and, for a refusal, the text.
struct InsideCall {
    const char* what;
    std::function<int32_t(MIVOBLE_HANDLE&)> call;
    int32_t expected;
    const char* text = nullptr;  // substring of the last-error text when refused
};

void StateChanged(MIVOBLE_HANDLE, uint32_t) {}
void RowsInside(MIVOBLE_HANDLE handle, const float* row, uint32_t width);
void BatchInside(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width);

constexpr const char* kRefusal = "cannot be called from a data callback";

std::vector<InsideCall> InsideCalls() {
    return {
        {"SetFramesPerCallback", [](MIVOBLE_HANDLE& h) { return MIVOBLE_SetFramesPerCallback(h, 2); }, MIVOBLE_OK},
        {"GetDeviceInformation",
         [](MIVOBLE_HANDLE& h) {
             MIVOBLE_DEVICE_INFORMATION info;
             return MIVOBLE_GetDeviceInformation(h, &info);
         },
         MIVOBLE_OK},
        {"GetChannelConfiguration",
         [](MIVOBLE_HANDLE& h) {
             uint32_t n = 0;
             return MIVOBLE_GetChannelConfiguration(h, nullptr, &n);
         },
         MIVOBLE_OK},
        {"RegisterConnectionStateCallback",
         [](MIVOBLE_HANDLE& h) { return MIVOBLE_RegisterConnectionStateCallback(h, StateChanged); }, MIVOBLE_OK},
        {"SetActiveLayout (rejected layout)",
         [](MIVOBLE_HANDLE& h) { return MIVOBLE_SetActiveLayout(h, 0, 1, 3, 0, 256); }, -1},
        {"SetActiveLayout", [](MIVOBLE_HANDLE& h) { return MIVOBLE_SetActiveLayout(h, 1, 1, 3, 0, 256); }, MIVOBLE_OK},
        {"RegisterDataAvailableBatchedCallback",
         [](MIVOBLE_HANDLE& h) { return MIVOBLE_RegisterDataAvailableBatchedCallback(h, BatchInside); }, MIVOBLE_OK},
        {"RegisterDataAvailableCallback",
         [](MIVOBLE_HANDLE& h) { return MIVOBLE_RegisterDataAvailableCallback(h, RowsInside); }, MIVOBLE_OK},
        {"SendFrame",
         [](MIVOBLE_HANDLE& h) {
             uint8_t status = 0;
             return MIVOBLE_SendFrame(h, 0x01, nullptr, 0, &status, nullptr, nullptr, 2000);
         },
         MIVOBLE_ERROR_INVALID_ARGUMENT, kRefusal},
        {"Echo",
         [](MIVOBLE_HANDLE& h) {
             char reply[16];
             uint32_t size = sizeof reply;
             return MIVOBLE_Echo(h, "hi", reply, &size);
         },
         MIVOBLE_ERROR_INVALID_ARGUMENT, kRefusal},
        {"ListImages",
         [](MIVOBLE_HANDLE& h) {
             uint32_t count = 0;
             return MIVOBLE_ListImages(h, nullptr, &count);
         },
         MIVOBLE_ERROR_INVALID_ARGUMENT, kRefusal},
        {"OpenDevice",
         [](MIVOBLE_HANDLE&) {
             MIVOBLE_HANDLE other = 0;
             return MIVOBLE_OpenDevice(kLegacy, &other);
         },
         MIVOBLE_ERROR_INVALID_ARGUMENT, kRefusal},
        {"Shutdown", [](MIVOBLE_HANDLE&) { return MIVOBLE_Shutdown(); }, MIVOBLE_ERROR_INVALID_ARGUMENT, kRefusal},
        {"CloseDevice", [](MIVOBLE_HANDLE& h) { return MIVOBLE_CloseDevice(&h); }, MIVOBLE_OK},
    };
}

struct InsideRun {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<InsideCall> calls = InsideCalls();
    size_t next = 0;                  // entry made at the next callback
    std::vector<std::string> faults;  // what went wrong, per entry
    uint64_t callbacksAfter = 0;      // deliveries after the entry made last
    uint64_t afterClose = 0;          // deliveries after the close returned
    bool closed = false;
    MIVOBLE_HANDLE handle = 0;
};
InsideRun g_inside;
constexpr auto kCallBound = 250ms;

void OnDelivery(MIVOBLE_HANDLE handle) {
    std::unique_lock<std::mutex> guard(g_inside.lock);
    if (g_inside.closed) {
        ++g_inside.afterClose;
        return;
    }
    ++g_inside.callbacksAfter;
    // A few deliveries between entries show the stream going on after each call.
    if (g_inside.next >= g_inside.calls.size() || g_inside.callbacksAfter < 3) return;
    const InsideCall& entry = g_inside.calls[g_inside.next++];
    g_inside.callbacksAfter = 0;
    guard.unlock();

    MIVOBLE_HANDLE target = handle;
    const auto start = Clock::now();
    const int32_t result = entry.call(target);
    const auto took = Clock::now() - start;
    std::string fault;
    if (result != entry.expected) {
        fault =
            std::string(entry.what) + ": returned " + std::to_string(result) + " (" + MIVOBLE_GetLastErrorText() + ")";
    } else if (entry.text && std::strstr(MIVOBLE_GetLastErrorText(), entry.text) == nullptr) {
        fault = std::string(entry.what) + ": text '" + MIVOBLE_GetLastErrorText() + "'";
    } else if (took > kCallBound) {
        fault = std::string(entry.what) + ": took " +
                std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) + " ms";
    }
    guard.lock();
    if (!fault.empty()) g_inside.faults.push_back(fault);
    if (g_inside.next == g_inside.calls.size()) {
        g_inside.closed = true;
        if (target != 0) g_inside.faults.push_back("CloseDevice left the handle set");
    }
    g_inside.changed.notify_all();
}

void RowsInside(MIVOBLE_HANDLE handle, const float*, uint32_t) { OnDelivery(handle); }
void BatchInside(MIVOBLE_HANDLE handle, const float*, uint32_t, uint32_t) { OnDelivery(handle); }

TEST_F(DataCallbackOnSim, CallsFromInsideADataCallbackReturnAtOnceAndTheStreamGoesOn) {
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kNus, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(h, RowsInside), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    {
        std::unique_lock<std::mutex> guard(g_inside.lock);
        const bool done = g_inside.changed.wait_for(guard, 20s, [] { return g_inside.closed; });
        for (const auto& fault : g_inside.faults) ADD_FAILURE() << fault;
        ASSERT_TRUE(done) << "stopped after entry " << g_inside.next << " of " << g_inside.calls.size();
    }
    // The handle went with the close, and the device was closed and destroyed elsewhere.
    EXPECT_TRUE(log_.WaitFor("INFO ", std::string("device '") + kNus + "': closed"));
    EXPECT_FALSE(log_.Has("ERROR", "leaking"));
    MIVOBLE_DEVICE_INFORMATION info;
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(h, &info), MIVOBLE_ERROR_INVALID_HANDLE);
    MIVOBLE_HANDLE again = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kNus, &again), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_GT(again, h);
    {
        std::lock_guard<std::mutex> guard(g_inside.lock);
        EXPECT_EQ(g_inside.afterClose, 0u) << "rows delivered after the close";
    }
    EXPECT_EQ(MIVOBLE_Shutdown(), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

// ---- stopping from inside ------------------------------------------------------------------

struct StopRun {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t rows = 0;
    uint64_t afterStop = 0;
    int32_t result = 1;
    bool stopped = false;
};
StopRun g_stop;

void RowsUntilStop(MIVOBLE_HANDLE handle, const float*, uint32_t) {
    std::lock_guard<std::mutex> guard(g_stop.lock);
    if (g_stop.stopped) {
        ++g_stop.afterStop;
        return;
    }
    if (++g_stop.rows < 10) return;
    g_stop.result = MIVOBLE_RegisterDataAvailableCallback(handle, nullptr);
    g_stop.stopped = true;
    g_stop.changed.notify_all();
}

TEST_F(DataCallbackOnSim, RegisteringNoCallbackFromInsideStopsTheStream) {
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    for (int round = 0; round < 2; ++round) {  // and streaming again from outside afterwards
        const int unsubscribed = log_.Count("DEBUG", "'Unsubscribe' done");
        {
            std::lock_guard<std::mutex> guard(g_stop.lock);
            g_stop.rows = g_stop.afterStop = 0;
            g_stop.result = 1;
            g_stop.stopped = false;
        }
        ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(h, RowsUntilStop), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        {
            std::unique_lock<std::mutex> guard(g_stop.lock);
            ASSERT_TRUE(g_stop.changed.wait_for(guard, 10s, [] { return g_stop.stopped; }));
            EXPECT_EQ(g_stop.result, MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        }
        // The sample and battery subscriptions end on another thread once the delivery is over.
        ASSERT_TRUE(log_.WaitFor("DEBUG", "'Unsubscribe' done", unsubscribed + 2));
        std::lock_guard<std::mutex> guard(g_stop.lock);
        EXPECT_EQ(g_stop.afterStop, 0u);
    }
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

}  // namespace
}  // namespace Mivo::BLE::Testing
