#pragma once
// Shared pieces of the device tests: fast timing, a factory that opens devices with it, a
// fixture that gives every test its own virtual amplifiers and log file, and thread-safe
// sinks for the rows and connection states the C callbacks deliver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/ble_factory.h"
#include "api/handle_registry.h"
#include "device/ble_device.h"
#include "device/device_timing.h"
#include "discovery/ble_scanner.h"
#include "log/log.h"
#include "mivoble/mivoble.h"
#include "platform/sim/sim_control.h"
#include "protocol/default_generation.h"
#include "support/log_file.h"

namespace Mivo::BLE::Testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Every wait of these tests ends long before this unless something is broken.
inline constexpr std::chrono::milliseconds kWaitLimit{10000};

// Production structure, millisecond scale.
inline DeviceTiming FastTiming() {
    DeviceTiming t;
    t.attemptPause = 20ms;
    t.resolvePoll = 5ms;
    t.resolveLimit = 2000ms;
    t.fromAddressBoundMs = 2000;
    t.discoveryDeadlineMs = 3000;
    t.servicesBoundMs = 2000;
    t.characteristicsBoundMs = 1000;
    t.configurationWait = 1000ms;
    t.reconnectFirstDelay = 20ms;
    t.reconnectMaxDelay = 160ms;
    t.closeBound =
        2000ms;  // a loaded sanitizer build can take longer than 300 ms to wake the thread; CloseTest keeps it short
    t.frameDrainWindow = 20ms;
    t.frameDrainLimit = 200ms;
    t.gatt = GattTiming{1000, 1000, 1000, 1000};
    return t;
}

// Opens real BleDevices with the timing the test chose.
class TimedFactory final : public BLEFactory {
public:
    explicit TimedFactory(DeviceTiming timing) : timing_(timing) {}
    IAdapter& GetAdapter() override { return BleScanner::Instance(); }
    std::shared_ptr<IDevice> CreateDevice(const std::string& name, std::shared_ptr<IProtocolHandler> handler) override {
        auto device = std::make_shared<BleDevice>(name, std::move(handler), timing_, nullptr,
                                                  HandleRegistry::Instance().Finder());
        std::lock_guard<std::mutex> lock(mutex_);
        created_.push_back(device);
        return device;
    }
    // The last device this factory created (weak: the registry owns it).
    std::shared_ptr<BleDevice> Last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return created_.empty() ? nullptr : created_.back().lock();
    }

private:
    const DeviceTiming timing_;
    std::mutex mutex_;
    std::vector<std::weak_ptr<BleDevice>> created_;
};

// Waits for `condition`, re-checking every few milliseconds (for state that has no
// notification of its own, such as log lines). True once it holds.
inline bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = kWaitLimit) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Rows and connection states per handle, filled by the C callbacks below.
struct HandleRecord {
    uint64_t rows = 0;
    uint64_t synthesised = 0;
    uint64_t batches = 0;
    uint64_t counterBreaks = 0;  // rows whose counter is not the previous row's + 1
    uint32_t width = 0;
    float lastCounter = 0.0f;
    bool haveCounter = false;
    std::vector<uint32_t> batchSizes;
    std::vector<uint32_t> states;
    std::vector<float> firstRow;
};

class Recorder {
public:
    static Recorder& Instance() {
        static Recorder recorder;
        return recorder;
    }
    // Column of the counter channel in the rows of the handle (-1: none).
    void TrackCounter(MIVOBLE_HANDLE handle, int column) {
        std::lock_guard<std::mutex> lock(mutex_);
        counterColumn_[handle] = column;
    }
    void Row(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            AddRowLocked(handle, row, width);
        }
        changed_.notify_all();
    }
    void Batch(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto& r = records_[handle];
            ++r.batches;
            r.batchSizes.push_back(count);
            for (uint32_t i = 0; i < count; ++i) AddRowLocked(handle, rows + size_t{i} * width, width);
        }
        changed_.notify_all();
    }
    void State(MIVOBLE_HANDLE handle, uint32_t state) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            records_[handle].states.push_back(state);
        }
        changed_.notify_all();
    }
    HandleRecord Get(MIVOBLE_HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_[handle];
    }
    bool WaitFor(MIVOBLE_HANDLE handle, const std::function<bool(const HandleRecord&)>& condition,
                 std::chrono::milliseconds limit = kWaitLimit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(records_[handle]); });
    }
    // Continuity is judged from here on (after a reconnect the counter starts again): breaks
    // counted so far are forgotten and the next row sets the baseline.
    void RestartCounter(MIVOBLE_HANDLE handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        records_[handle].haveCounter = false;
        records_[handle].counterBreaks = 0;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
        counterColumn_.clear();
    }

private:
    void AddRowLocked(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
        auto& r = records_[handle];
        if (r.rows == 0) r.firstRow.assign(row, row + width);
        ++r.rows;
        r.width = width;
        if (width > 0 && row[width - 1] == 0.0f) ++r.synthesised;
        auto column = counterColumn_.find(handle);
        if (column != counterColumn_.end() && column->second >= 0 && static_cast<uint32_t>(column->second) < width) {
            const float counter = row[column->second];
            if (r.haveCounter && counter != r.lastCounter + 1.0f) ++r.counterBreaks;
            r.lastCounter = counter;
            r.haveCounter = true;
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<MIVOBLE_HANDLE, HandleRecord> records_;
    std::map<MIVOBLE_HANDLE, int> counterColumn_;
};

inline void RecordRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
    Recorder::Instance().Row(handle, row, width);
}
inline void RecordBatch(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width) {
    Recorder::Instance().Batch(handle, rows, count, width);
}
inline void RecordState(MIVOBLE_HANDLE handle, uint32_t state) { Recorder::Instance().State(handle, state); }

// Every test gets fresh amplifiers with names of its own on the library's simulated radio,
// its own log file and a factory with fast timing.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = Sim::ActiveSimStack();
        ASSERT_NE(sim_, nullptr) << "these tests run on the simulated radio (MIVOBLE_BACKEND=sim)";
        factory_ = std::make_shared<TimedFactory>(Timing());
        SetFactoryForTesting(factory_);
        Recorder::Instance().Clear();
        savedGeneration_ = GetDefaultGeneration();
    }
    void TearDown() override {
        for (MIVOBLE_HANDLE handle : handles_) {
            MIVOBLE_HANDLE h = handle;
            MIVOBLE_CloseDevice(&h);
        }
        for (const auto& name : amplifiers_) sim_->Remove(name);
        SetFactoryForTesting(nullptr);
        SetDefaultGeneration(savedGeneration_);
    }

    virtual DeviceTiming Timing() const { return FastTiming(); }

    // A virtual amplifier with a name no other test uses, advertising every 10 ms.
    std::shared_ptr<Sim::Amplifier> AddAmplifier(Sim::AmplifierConfig config = {}) {
        static std::atomic<int> next{1};
        char name[16];
        std::snprintf(name, sizeof name, "DT-%04d.00.01", next++ % 10000);
        config.name = name;
        config.adv = 10ms;
        auto amplifier = sim_->Add(config);
        EXPECT_NE(amplifier, nullptr);
        if (amplifier) amplifiers_.push_back(amplifier->Name());
        return amplifier;
    }

    // Opens through the C API; the handle is closed at the end of the test.
    int32_t Open(const std::string& name, MIVOBLE_HANDLE& handle) {
        const int32_t rc = MIVOBLE_OpenDevice(name.c_str(), &handle);
        if (rc == MIVOBLE_OK) handles_.push_back(handle);
        return rc;
    }
    MIVOBLE_HANDLE OpenOrFail(const std::string& name) {
        MIVOBLE_HANDLE handle = 0;
        const int32_t rc = Open(name, handle);
        EXPECT_EQ(rc, MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        return handle;
    }
    int32_t Close(MIVOBLE_HANDLE& handle) {
        std::erase(handles_, handle);
        return MIVOBLE_CloseDevice(&handle);
    }

    std::shared_ptr<Sim::SimStack> sim_;
    std::shared_ptr<TimedFactory> factory_;
    LogFile log_;

private:
    std::vector<std::string> amplifiers_;
    std::vector<MIVOBLE_HANDLE> handles_;
    uint32_t savedGeneration_ = 0;
};

}  // namespace Mivo::BLE::Testing
