#pragma once
// An IDevice that does nothing: test doubles derive from it and override only the
// operations their test is about.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/i_device.h"

namespace Mivo::BLE::Testing {

class StubDevice : public IDevice {
public:
    bool CanDestroy() override { return true; }
    void Close() override {}
    MIVOBLE_DEVICE_INFORMATION GetDeviceInformation() override { return {}; }
    std::vector<MIVOBLE_CHANNEL_CONFIGURATION> GetChannelConfiguration() override { return {}; }
    void SetDataAvailableCallback(DataAvailableCallback) override {}
    void SetDataAvailableBatchedCallback(DataAvailableBatchedCallback) override {}
    void SetFramesPerCallback(uint32_t) override {}
    void SetConnectionStateCallback(ConnectionStateCallback) override {}
    std::vector<uint8_t> ReadCharacteristic(const char*, const char*) override { return {}; }
    void WriteCharacteristic(const char*, const char*, const uint8_t*, size_t) override {}
    bool HasService(const char*) override { return false; }
    std::vector<uint8_t> SendSmpCommand(const std::vector<uint8_t>&, uint32_t) override { return {}; }
    std::vector<uint8_t> SendFrame(const uint8_t*, uint32_t, uint32_t) override { return {}; }
    void SetFrameHandler(FrameHandler) override {}
    uint8_t GetBatteryLevel() override { return 0; }
    int32_t SetChannelCount(uint8_t) override { return 0; }
    int32_t SetActiveLayout(uint8_t, uint16_t, uint8_t, bool, uint16_t) override { return 0; }
    uint8_t NextSmpSequence() override { return sequence_.fetch_add(1); }

    // A session over SendSmpCommand: a sent frame is exchanged when its answer is waited for,
    // so the double sees the requests in the order the caller takes their answers. By default
    // the server is known not to answer the parameters command.
    std::unique_ptr<ISmpSession> OpenSmpSession() override {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        ++sessionsOpened_;
        return std::make_unique<Session>(*this);
    }

    void SetSmpParameters(const SmpServerParameters& parameters) {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        parameters_ = parameters;
    }
    void SetMaxFrame(size_t bytes) { maxFrame_ = bytes; }
    // Most requests sent whose answers were not yet taken, seen at any Wait.
    size_t MaxInFlight() const { return maxInFlight_; }
    size_t SessionsOpened() const { return sessionsOpened_; }
    size_t SessionsClosed() const { return sessionsClosed_; }

private:
    class Session : public ISmpSession {
    public:
        explicit Session(StubDevice& device) : device_(device) {}
        ~Session() override { Close(); }
        void Close() override {
            if (!closed_.exchange(true)) ++device_.sessionsClosed_;
        }
        void Send(const std::vector<uint8_t>&) override { ++inFlight_; }
        std::vector<uint8_t> Wait(const std::vector<uint8_t>& frame, uint32_t timeoutMs) override {
            if (inFlight_ > device_.maxInFlight_) device_.maxInFlight_ = inFlight_;
            if (inFlight_ > 0) --inFlight_;
            return device_.SendSmpCommand(frame, timeoutMs);
        }
        size_t MaxFrame() override { return device_.maxFrame_; }
        SmpServerParameters Parameters() override {
            std::lock_guard<std::mutex> lock(device_.sessionMutex_);
            return device_.parameters_;
        }
        void SetParameters(const SmpServerParameters& parameters) override { device_.SetSmpParameters(parameters); }

    private:
        StubDevice& device_;
        size_t inFlight_ = 0;
        std::atomic<bool> closed_{false};
    };

    std::atomic<uint8_t> sequence_{0};
    std::mutex sessionMutex_;
    SmpServerParameters parameters_{true, false, 0, 0};
    std::atomic<size_t> maxFrame_{244};
    std::atomic<size_t> maxInFlight_{0}, sessionsOpened_{0}, sessionsClosed_{0};
};

}  // namespace Mivo::BLE::Testing
