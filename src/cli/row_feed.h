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

// The feeds of several devices that one thread takes from: it waits for any of them, and learns
// the instant from which every member streams. Every feed stamps its arrivals under one lock, so
// a member without rows yet can only deliver its first after whatever a taker already holds.
class FeedGroup {
public:
    using Clock = std::chrono::steady_clock;
    explicit FeedGroup(size_t members);
    FeedGroup(const FeedGroup&) = delete;
    FeedGroup& operator=(const FeedGroup&) = delete;

    // Waits until a member has queued something since the last wait, Wake(), or the deadline.
    void Wait(Clock::time_point deadline);
    // Makes a waiting Wait return now (safe from any thread, not from a signal handler).
    void Wake();
    // The latest of the members' first row arrivals, once every member has delivered rows.
    std::optional<Clock::time_point> CommonStart() const;
    // The members (in the order their feeds were made) that have delivered no rows yet.
    std::vector<size_t> Silent() const;

private:
    friend class RowFeed;
    size_t Join();
    void Queued(size_t member, bool rows, Clock::time_point at);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool pending_ = false;
    size_t joined_ = 0;
    std::vector<std::optional<Clock::time_point>> firstRows_;
};

// Subscribes to the batched rows and the connection state of a device for its lifetime. One
// feed per device; any number of devices at once.
class RowFeed {
public:
    RowFeed(MIVOBLE_HANDLE handle, uint32_t framesPerCallback, FeedGroup* group = nullptr);
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
    static void Deliver(MIVOBLE_HANDLE handle, FeedItem item);
    void Push(FeedItem item);
    void Leave();

    MIVOBLE_HANDLE handle_;
    FeedGroup* group_;
    size_t member_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<FeedItem> queue_;
    bool woken_ = false;
    bool stopped_ = false;
};

}  // namespace Mivo::Cli
