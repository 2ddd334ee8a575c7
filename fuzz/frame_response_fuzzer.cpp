// Feeds arbitrary notifications, as an amplifier's answer to a command frame, through the
// response path of MIVOBLE_SendFrame: the device's response collector gathers them (joining
// an answer spread over several notifications) and the exchange checks the frame and fills
// the caller's outputs. Compares the outcome with the frame rules (start byte, length at most
// 512, no trailing bytes, CRC-16/CCITT-FALSE) worked out here on their own, and checks that
// gathering never stops before the header's length is complete, that nothing is written on
// failure and that a short response buffer gets a cut copy.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/api_exception.h"
#include "protocol/frame_response_collector.h"
#include "protocol/send_frame.h"
#include "support/stub_device.h"

#include "fuzz_check.h"

using namespace Mivo::BLE;

namespace {

// Bitwise CRC-16/CCITT-FALSE, independent of the library's table.
uint16_t ReferenceCrc(const uint8_t* p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

bool ReferenceValid(const std::vector<uint8_t>& f) {
    if (f.size() < 7 || f[0] != 0xF0) return false;
    const size_t length = (size_t{f[1]} << 8) | f[2];
    if (length > 512 || f.size() != length + 7) return false;
    return ReferenceCrc(f.data() + 1, length + 4) == ((f[length + 5] << 8) | f[length + 6]);
}

// Bytes a response needs, worked out on their own: none yet (0) while the header is
// incomplete, all there are when they cannot begin a frame of at most 512 payload bytes,
// otherwise the header's length plus the frame overhead.
size_t ReferenceNeeded(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return 0;
    if (bytes[0] != 0xF0) return bytes.size();
    if (bytes.size() < 3) return 0;
    const size_t length = (size_t{bytes[1]} << 8) | bytes[2];
    return length > 512 ? bytes.size() : length + 7;
}

bool ReferenceComplete(const std::vector<uint8_t>& bytes) {
    const size_t needed = ReferenceNeeded(bytes);
    return needed != 0 && bytes.size() >= needed;
}

// A device whose amplifier answers every request with the given notifications, delivered
// through the same collector the real device uses: either all before the wait, or from
// another thread while the exchange waits, so that the collector wakes on partial answers.
class ReplayDevice : public Testing::StubDevice {
public:
    ReplayDevice(std::vector<std::vector<uint8_t>> notifications, bool whileWaiting)
        : notifications_(std::move(notifications)), whileWaiting_(whileWaiting) {}

    std::vector<uint8_t> SendFrame(const uint8_t* frame, uint32_t length, uint32_t) override {
        Check(length >= 6 && frame[0] == 0xF0);
        collector_.Reset();
        // An answer that never completes is gathered up front and waited for not at all (a
        // time-out); one that completes is waited for as long as its delivery takes.
        // A single notification has nothing to join: it goes up front too (no thread).
        const bool completes = ReferenceComplete(Concatenated());
        if (!whileWaiting_ || !completes || notifications_.size() < 2) {
            for (const auto& n : notifications_) collector_.OnNotification(n.data(), n.size());
            received_ = collector_.WaitForResponse(std::chrono::milliseconds(0));
            return received_;
        }
        std::thread deliverer([this] {
            for (const auto& n : notifications_) {
                collector_.OnNotification(n.data(), n.size());
                std::this_thread::yield();
            }
        });
        received_ = collector_.WaitForResponse(std::chrono::seconds(10));
        deliverer.join();
        return received_;
    }

    std::vector<uint8_t> Concatenated() const {
        std::vector<uint8_t> all;
        for (const auto& n : notifications_) all.insert(all.end(), n.begin(), n.end());
        return all;
    }

    // Number of leading notifications whose bytes make up `bytes` exactly; none: SIZE_MAX.
    size_t PrefixCount(const std::vector<uint8_t>& bytes) const {
        std::vector<uint8_t> prefix;
        for (size_t k = 0; k <= notifications_.size(); ++k) {
            if (prefix.size() == bytes.size()) {
                if (prefix == bytes) return k;
            }
            if (prefix.size() > bytes.size() || k == notifications_.size()) break;
            prefix.insert(prefix.end(), notifications_[k].begin(), notifications_[k].end());
        }
        return SIZE_MAX;
    }

    // Bytes of the leading notifications up to the first after which the answer is complete.
    std::vector<uint8_t> FirstComplete() const {
        std::vector<uint8_t> prefix;
        for (const auto& n : notifications_) {
            prefix.insert(prefix.end(), n.begin(), n.end());
            if (ReferenceComplete(prefix)) break;
        }
        return prefix;
    }

    const std::vector<uint8_t>& Received() const { return received_; }

private:
    std::vector<std::vector<uint8_t>> notifications_;
    const bool whileWaiting_;
    std::vector<uint8_t> received_;
    FrameResponseCollector collector_{FrameTiming{std::chrono::milliseconds(0), std::chrono::milliseconds(0)}};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const uint16_t capacity = input.ConsumeIntegralInRange<uint16_t>(0, 600);
    const uint8_t outputs = input.ConsumeIntegral<uint8_t>();  // which outputs the caller passes
    const size_t pieces = input.ConsumeIntegralInRange<size_t>(1, 4);
    const size_t mtuPayload = input.ConsumeIntegralInRange<size_t>(20, 514);  // MTU - 3
    const bool whileWaiting = input.ConsumeBool();

    // The answer: split into notifications of at most MTU - 3 bytes.
    std::vector<std::vector<uint8_t>> notifications;
    const std::vector<uint8_t> answer = input.ConsumeRemainingBytes<uint8_t>();
    for (size_t at = 0, k = 0; at < answer.size() || k == 0; ++k) {
        const size_t take = k + 1 == pieces ? answer.size() - at : std::min(mtuPayload, answer.size() - at);
        notifications.emplace_back(answer.begin() + static_cast<std::ptrdiff_t>(at),
                                   answer.begin() + static_cast<std::ptrdiff_t>(at + take));
        at += take;
        if (k + 1 == pieces) break;
    }
    ReplayDevice device(notifications, whileWaiting);

    uint8_t status = 0xEE;
    std::vector<uint8_t> response(capacity + 1u, 0xCD);  // one guard byte past the capacity
    uint16_t responseLength = capacity;
    uint8_t* statusOut = outputs & 1 ? &status : nullptr;
    uint8_t* responseOut = outputs & 2 ? response.data() : nullptr;
    uint16_t* lengthOut = outputs & 4 ? &responseLength : nullptr;

    const uint8_t payload[] = {0x01, 0x02};
    bool succeeded = false;
    try {
        Check(SendFrameOnDevice(device, 0x01, payload, sizeof payload, statusOut, responseOut, lengthOut, 100) == 0);
        succeeded = true;
    } catch (const ApiException& e) {
        Check(e.Code() == MIVOBLE_ERROR_DEVICE && std::string(e.what()) == "SendFrame: malformed response frame");
    }

    // The collector hands over whole leading notifications, in order: all of them (gathered
    // up front, or a time-out), or, delivered while it waits, never fewer than complete the
    // answer's header length (more only when they arrived before it woke). The outcome is the
    // frame rules' verdict on exactly those bytes: trailing bytes fail.
    const std::vector<uint8_t>& whole = device.Received();
    if (whileWaiting && ReferenceComplete(device.Concatenated()) && notifications.size() > 1) {
        Check(device.PrefixCount(whole) != SIZE_MAX);
        Check(whole.size() >= device.FirstComplete().size());
    } else {
        Check(whole == device.Concatenated());
    }
    Check(succeeded == ReferenceValid(whole));
    Check(response[capacity] == 0xCD);
    if (!succeeded) {
        Check(status == 0xEE && responseLength == capacity);
        for (uint8_t b : response) Check(b == 0xCD);
        return 0;
    }
    const size_t length = (size_t{whole[1]} << 8) | whole[2];
    if (statusOut) Check(status == whole[4]);
    if (lengthOut) {
        if (responseOut) {
            const size_t copied = std::min<size_t>(capacity, length);
            Check(responseLength == copied);
            Check(std::memcmp(response.data(), whole.data() + 5, copied) == 0);
            for (size_t i = copied; i < response.size(); ++i) Check(response[i] == 0xCD);
        } else {
            Check(responseLength == length);
        }
    } else {
        for (uint8_t b : response) Check(b == 0xCD);
    }
    return 0;
}
