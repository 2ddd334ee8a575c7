#include "protocol/frame_response_collector.h"

#include "protocol/command_frame.h"

namespace Mivo::BLE {

void FrameResponseCollector::Reset() {
    std::lock_guard lock(mutex_);
    buffer_.clear();
    arrived_ = false;
}

void FrameResponseCollector::OnNotification(const uint8_t* data, size_t length) {
    {
        std::lock_guard lock(mutex_);
        if (length != 0) buffer_.insert(buffer_.end(), data, data + length);
        arrived_ = true;
    }
    arrivedCondition_.notify_one();
}

unsigned FrameResponseCollector::DrainStale() {
    const auto start = std::chrono::steady_clock::now();
    unsigned busyWindows = 0;
    for (;;) {
        std::unique_lock lock(mutex_);
        const bool arrived = arrivedCondition_.wait_for(lock, timing_.drainWindow, [&] { return arrived_; });
        if (arrived) {
            ++busyWindows;
            buffer_.clear();
            arrived_ = false;
        }
        if (std::chrono::steady_clock::now() - start >= timing_.drainLimit) {
            buffer_.clear();
            arrived_ = false;
            return busyWindows;
        }
        if (!arrived) return busyWindows;
    }
}

std::optional<size_t> FrameResponseCollector::ExpectedLength(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return std::nullopt;
    if (bytes[0] != kFrameStartByte) return bytes.size();  // not a frame: nothing more to wait for
    if (bytes.size() < 3) return std::nullopt;
    const size_t length = (size_t{bytes[1]} << 8) | bytes[2];
    if (length > kMaxFramePayload) return bytes.size();  // cannot be completed: fail it now
    return length + kResponseOverhead;
}

std::vector<uint8_t> FrameResponseCollector::WaitForResponse(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    if (!arrivedCondition_.wait_until(lock, deadline, [&] { return arrived_; })) return {};
    // A response longer than one notification arrives in pieces: gather them until the
    // length in its header is complete, within the same time-out. Whatever is there once it
    // is complete (trailing bytes included) is the result; on a time-out, the incomplete part.
    arrivedCondition_.wait_until(lock, deadline, [&] {
        const auto expected = ExpectedLength(buffer_);
        return expected && buffer_.size() >= *expected;
    });
    std::vector<uint8_t> result;
    result.swap(buffer_);
    arrived_ = false;
    return result;
}

}  // namespace Mivo::BLE
