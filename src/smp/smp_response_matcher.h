#pragma once
// Gathers SMP response frames from the notifications of the SMP characteristic and hands each
// one to the request it answers: same group, sequence number and command id, and an op one
// above the request's. A frame that answers no outstanding request is dropped with a WARN line.
#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Mivo::BLE {

struct SmpKey {
    uint8_t op = 0;  // low three bits of the header's first byte
    uint16_t group = 0;
    uint8_t sequence = 0;
    uint8_t command = 0;
    auto operator<=>(const SmpKey&) const = default;
};

// The key that a response to `request` carries; nullopt for a frame shorter than a header.
std::optional<SmpKey> ResponseKeyOf(const std::vector<uint8_t>& request);
// The key a received frame carries (its own header); nullopt when shorter than a header.
std::optional<SmpKey> KeyOfFrame(const uint8_t* frame, size_t length);

class SmpResponseMatcher {
public:
    explicit SmpResponseMatcher(std::string deviceName);

    // Forgets partial data, outstanding requests and their answers (start of a session).
    void Reset();
    // A request is about to be written: its answer will be kept until taken or forgotten.
    void Expect(const SmpKey& response);
    // The request is no longer waited for; a later answer to it is dropped.
    void Forget(const SmpKey& response);
    // One notification's bytes (platform thread).
    void OnNotification(const uint8_t* data, size_t length);
    // The answer to an expected request, or nullopt at the deadline (the request is then
    // forgotten). A request that was never expected is not waited for.
    std::optional<std::vector<uint8_t>> Wait(const SmpKey& response, std::chrono::steady_clock::time_point deadline);

    size_t OutstandingForTesting();

private:
    void DispatchLocked(std::vector<uint8_t> frame, std::vector<std::string>& warnings);

    const std::string deviceName_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> buffer_;  // bytes of a frame not yet complete
    std::map<SmpKey, std::optional<std::vector<uint8_t>>> outstanding_;
};

}  // namespace Mivo::BLE
