#include "smp/smp_response_matcher.h"

#include <cstdio>
#include <utility>

#include "log/log.h"
#include "smp/smp_frame.h"

namespace Mivo::BLE {
namespace {

constexpr uint8_t kOpMask = 0x07;
constexpr uint8_t kOpReadResponse = 1;
constexpr uint8_t kOpWriteResponse = 3;

std::string Describe(const SmpKey& key) {
    char text[96];
    std::snprintf(text, sizeof text, "op %u, group %u, sequence %u, id %u", unsigned{key.op}, unsigned{key.group},
                  unsigned{key.sequence}, unsigned{key.command});
    return text;
}

}  // namespace

std::optional<SmpKey> KeyOfFrame(const uint8_t* frame, size_t length) {
    if (frame == nullptr || length < kSmpHeaderSize) return std::nullopt;
    SmpKey key;
    key.op = frame[0] & kOpMask;
    key.group = static_cast<uint16_t>(frame[4] << 8 | frame[5]);
    key.sequence = frame[6];
    key.command = frame[7];
    return key;
}

std::optional<SmpKey> ResponseKeyOf(const std::vector<uint8_t>& request) {
    auto key = KeyOfFrame(request.data(), request.size());
    if (key) key->op = static_cast<uint8_t>((key->op + 1) & kOpMask);
    return key;
}

SmpResponseMatcher::SmpResponseMatcher(std::string deviceName) : deviceName_(std::move(deviceName)) {}

void SmpResponseMatcher::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    buffer_.clear();
    outstanding_.clear();
}

void SmpResponseMatcher::Expect(const SmpKey& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    outstanding_[response].reset();
}

void SmpResponseMatcher::Forget(const SmpKey& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    outstanding_.erase(response);
}

void SmpResponseMatcher::OnNotification(const uint8_t* data, size_t length) {
    std::vector<std::string> warnings;
    bool delivered = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer_.insert(buffer_.end(), data, data + length);
        // Frames are rejoined by the header's length; one notification may end one frame and
        // begin the next.
        while (buffer_.size() >= kSmpHeaderSize) {
            const uint8_t op = buffer_[0] & kOpMask;
            if (op != kOpReadResponse && op != kOpWriteResponse) {
                // Not the start of a response: the frame boundaries are lost, start afresh.
                char text[128];
                std::snprintf(text, sizeof text, "device '%s': dropping %zu SMP bytes that do not start a response",
                              deviceName_.c_str(), buffer_.size());
                warnings.emplace_back(text);
                buffer_.clear();
                break;
            }
            const size_t total = kSmpHeaderSize + (size_t{buffer_[2]} << 8 | buffer_[3]);
            if (buffer_.size() < total) break;
            std::vector<uint8_t> frame(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
            const size_t before = warnings.size();
            DispatchLocked(std::move(frame), warnings);
            delivered = delivered || warnings.size() == before;
        }
    }
    if (delivered) changed_.notify_all();
    for (const auto& text : warnings) LogMessage(kLogWarn, "%s", text.c_str());
}

void SmpResponseMatcher::DispatchLocked(std::vector<uint8_t> frame, std::vector<std::string>& warnings) {
    const auto key = KeyOfFrame(frame.data(), frame.size());
    auto entry = outstanding_.find(*key);
    if (entry == outstanding_.end() || entry->second.has_value()) {
        warnings.push_back("device '" + deviceName_ + "': dropping an SMP response that matches no request (" +
                           Describe(*key) + ")");
        return;
    }
    entry->second = std::move(frame);
}

std::optional<std::vector<uint8_t>> SmpResponseMatcher::Wait(const SmpKey& response,
                                                             std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] {
        auto entry = outstanding_.find(response);
        return entry == outstanding_.end() || entry->second.has_value();
    };
    changed_.wait_until(lock, deadline, ready);
    auto entry = outstanding_.find(response);
    if (entry == outstanding_.end()) return std::nullopt;
    if (!entry->second.has_value()) {
        outstanding_.erase(entry);  // timed out: a late answer is dropped
        return std::nullopt;
    }
    std::vector<uint8_t> answer = std::move(*entry->second);
    outstanding_.erase(entry);
    return answer;
}

size_t SmpResponseMatcher::OutstandingForTesting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_.size();
}

}  // namespace Mivo::BLE
