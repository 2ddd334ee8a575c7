#pragma once
// Counts the sample payloads a stream drops because their size does not match the layout,
// and says so in the log at WARN: the first one at once, then at most one line per interval
// with the count so far, so that a stream of wrong-sized payloads cannot flood the log.
// Not thread-safe: the sample stream calls it under its own lock.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Mivo::BLE {

inline constexpr std::chrono::milliseconds kPayloadSizeLogInterval{5000};

class PayloadSizeMonitor {
public:
    explicit PayloadSizeMonitor(std::chrono::milliseconds logInterval = kPayloadSizeLogInterval)
        : logInterval_(logInterval) {}

    // The name the log lines begin with ("device '<name>': ").
    void SetDeviceName(std::string name) { name_ = std::move(name); }
    // One payload of `received` bytes dropped where the layout expects `expected`.
    void Dropped(size_t expected, size_t received);
    uint64_t Count() const { return count_; }

private:
    using Clock = std::chrono::steady_clock;

    const std::chrono::milliseconds logInterval_;
    std::string name_;
    uint64_t count_ = 0;
    std::optional<Clock::time_point> lastLine_;
};

}  // namespace Mivo::BLE
