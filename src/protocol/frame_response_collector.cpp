#include "protocol/frame_response_collector.h"

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

std::vector<uint8_t> FrameResponseCollector::WaitForResponse(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!arrivedCondition_.wait_for(lock, timeout, [&] { return arrived_; })) return {};
    std::vector<uint8_t> result;
    result.swap(buffer_);
    arrived_ = false;
    return result;
}

}  // namespace Mivo::BLE
