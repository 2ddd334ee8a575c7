#pragma once
// The device side of a command-frame transaction, kept free of Bluetooth so that it can be
// reused and tested: a response buffer, an arrived flag and a condition variable.
//
// The device uses it like this (one transaction at a time per device):
//   collector.Reset();                     // empty buffer, clear flag
//   Subscribe(NUS TX, [&](bytes) { collector.OnNotification(bytes...); });
//   collector.DrainStale();                // swallow notifications sent before the request
//   Write(NUS RX, frame, without response);
//   auto response = collector.WaitForResponse(timeout);   // one frame, gathered; empty if nothing arrived
//   Unsubscribe(NUS TX);
// OnNotification runs on the notification thread; the others on the caller's thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace Mivo::BLE {

struct FrameTiming {
    std::chrono::milliseconds drainWindow{60};  // one wait for a stale notification
    std::chrono::milliseconds drainLimit{600};  // draining ends after this in any case
};

class FrameResponseCollector {
public:
    explicit FrameResponseCollector(FrameTiming timing = {}) : timing_(timing) {}

    // Empties the buffer and clears the arrived flag.
    void Reset();
    // Appends one notification and wakes the waiter.
    void OnNotification(const uint8_t* data, size_t length);
    // Repeats windows of drainWindow while notifications keep arriving, discarding them;
    // stops at the first quiet window or once drainLimit has passed (then the buffer is
    // emptied as well). Returns the number of windows in which something arrived.
    unsigned DrainStale();
    // Waits for the arrived flag for at most `timeout` (0 only tests it); nothing arrived:
    // an empty result. Then, within the same time-out, gathers further notifications until the
    // bytes hold as many as the response header announces (at once when the first ones
    // already do, or when they cannot start a valid frame). Returns the whole buffer (cut
    // short on a time-out) and leaves it empty.
    std::vector<uint8_t> WaitForResponse(std::chrono::milliseconds timeout);

private:
    // Total bytes the gathered response needs: the frame length from its header, the bytes
    // already there when they cannot begin a frame of at most 512 payload bytes, or none yet
    // while the header is incomplete.
    static std::optional<size_t> ExpectedLength(const std::vector<uint8_t>& bytes);

    const FrameTiming timing_;
    std::mutex mutex_;
    std::condition_variable arrivedCondition_;
    std::vector<uint8_t> buffer_;
    bool arrived_ = false;
};

}  // namespace Mivo::BLE
