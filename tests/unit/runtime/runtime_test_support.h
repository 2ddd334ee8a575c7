#pragma once
// Helpers of the runtime tests: a log file per test, a manual clock, a gate, waiting for a
// condition with a limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "runtime/bluetooth_executor.h"
#include "support/api_error.h"
#include "support/log_file.h"

namespace Mivo::BLE::Testing {

// A clock that moves only when told to; counts its readings so a test can wait until a
// waiting thread has looked at it again.
class ManualClock : public std::enable_shared_from_this<ManualClock> {
public:
    static std::shared_ptr<ManualClock> Create() { return std::shared_ptr<ManualClock>(new ManualClock()); }

    BluetoothExecutor::Clock Source() {
        auto self = shared_from_this();  // a detached worker may read it after the test
        return [self] { return self->Read(); };
    }
    void Advance(std::chrono::milliseconds d) {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ += d;
    }
    void AdvanceTo(std::chrono::steady_clock::time_point t) {
        std::lock_guard<std::mutex> lock(mutex_);
        now_ = t;
    }
    std::chrono::steady_clock::time_point Peek() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return now_;
    }
    uint64_t Reads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reads_;
    }
    // Waits until the clock has been read at least `count` times in total.
    bool WaitForReads(uint64_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return read_.wait_for(lock, limit, [&] { return reads_ >= count; });
    }

private:
    ManualClock() = default;
    std::chrono::steady_clock::time_point Read() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++reads_;
        read_.notify_all();
        return now_;
    }
    mutable std::mutex mutex_;
    std::condition_variable read_;
    std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
    uint64_t reads_ = 0;
};

// A one-shot latch that tasks block on until the test opens it.
class Gate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return open_; });
    }
    bool WaitFor(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// For state that offers no notification (the executor's queue length, its stop flag):
// re-checks `condition` until it holds or `limit` passes.
template <typename Pred>
bool WaitUntil(Pred condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// Fast timing for tests: quick polls, everything else long enough never to fire by itself.
inline ExecutorTiming FastTiming() {
    ExecutorTiming t;
    t.poll = std::chrono::milliseconds(2);
    return t;
}

}  // namespace Mivo::BLE::Testing
