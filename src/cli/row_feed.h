// Rows and link events of one streaming device, handed from the library's notification
// threads to the thread that runs the command, in the order they happened.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "mivoble/mivoble.h"

namespace Mivo::Cli {

struct FeedItem {
    enum class Kind { Rows, LinkLost, LinkBack } kind = Kind::Rows;
    std::vector<float> values;  // Rows: rowCount * width floats
    uint32_t rowCount = 0;
    uint32_t width = 0;
    std::chrono::steady_clock::time_point arrived;
};

// Subscribes to the batched rows and the connection state of a device for its lifetime.
// Only one feed exists at a time (the callbacks carry no user data).
class RowFeed {
public:
    RowFeed(MIVOBLE_HANDLE handle, uint32_t framesPerCallback);
    ~RowFeed();
    RowFeed(const RowFeed&) = delete;
    RowFeed& operator=(const RowFeed&) = delete;

    // Waits until an item is queued, Wake() is called, or the deadline passes.
    // Returns every queued item (empty when woken or timed out).
    std::vector<FeedItem> Take(std::chrono::steady_clock::time_point deadline);
    // Makes a waiting Take return now (safe from any thread, not from a signal handler).
    void Wake();
    // Stops the rows (the device stays open); later rows are not queued.
    void Stop();

    std::chrono::steady_clock::time_point Started() const { return started_; }

private:
    static void OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t rowCount, uint32_t width);
    static void OnConnectionState(MIVOBLE_HANDLE handle, uint32_t state);
    void Push(FeedItem item);

    MIVOBLE_HANDLE handle_;
    std::chrono::steady_clock::time_point started_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FeedItem> queue_;
    bool woken_ = false;
    bool stopped_ = false;
};

}  // namespace Mivo::Cli
