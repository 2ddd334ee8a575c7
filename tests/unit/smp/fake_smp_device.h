#pragma once
// A device whose SMP transport is scripted by the test: it records every request frame and
// answers it with whatever the responder returns (or throws).
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/i_device.h"
#include "support/stub_device.h"

namespace Mivo::BLE::Testing {

using Bytes = std::vector<uint8_t>;

class FakeSmpDevice : public StubDevice {
public:
    using Responder = std::function<Bytes(const Bytes& frame, uint32_t timeoutMs)>;

    explicit FakeSmpDevice(Responder responder = {}) : responder_(std::move(responder)) {}

    void SetResponder(Responder responder) { responder_ = std::move(responder); }

    std::vector<Bytes> Frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    std::vector<uint32_t> Timeouts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return timeouts_;
    }

    Bytes SendSmpCommand(const Bytes& frame, uint32_t timeoutMs) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
            timeouts_.push_back(timeoutMs);
        }
        if (!responder_) throw std::runtime_error("SMP command timed out waiting for response");
        return responder_(frame, timeoutMs);
    }

    bool HasService(const char*) override { return true; }

private:
    Responder responder_;
    mutable std::mutex mutex_;
    std::vector<Bytes> frames_;
    std::vector<uint32_t> timeouts_;
};

// Hand-made CBOR pieces for scripted responses and expected requests (kept apart from the
// library's writer on purpose).
inline Bytes Text(const std::string& s) {
    Bytes out;
    if (s.size() < 24) {
        out.push_back(static_cast<uint8_t>(0x60 | s.size()));
    } else {
        out = {0x78, static_cast<uint8_t>(s.size())};
    }
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

inline Bytes Uint(uint32_t v) {
    if (v < 24) return {static_cast<uint8_t>(v)};
    if (v < 256) return {0x18, static_cast<uint8_t>(v)};
    if (v < 65536) return {0x19, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    return {0x1A, static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A response frame: write-response header with the body's length, then the body.
inline Bytes Response(const Bytes& body) {
    Bytes frame;
    frame.reserve(8 + body.size());
    frame = {0x03, 0x00, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size()), 0, 1, 0, 0};
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// Header fields of a request frame.
inline uint8_t FrameOp(const Bytes& f) { return f.at(0); }
inline uint16_t FrameLength(const Bytes& f) { return static_cast<uint16_t>(f.at(2) << 8 | f.at(3)); }
inline uint16_t FrameGroup(const Bytes& f) { return static_cast<uint16_t>(f.at(4) << 8 | f.at(5)); }
inline uint8_t FrameSequence(const Bytes& f) { return f.at(6); }
inline uint8_t FrameCommand(const Bytes& f) { return f.at(7); }
inline Bytes FrameBody(const Bytes& f) { return Bytes(f.begin() + 8, f.end()); }

}  // namespace Mivo::BLE::Testing
