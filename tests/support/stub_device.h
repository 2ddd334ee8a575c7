#pragma once
// An IDevice that does nothing: test doubles derive from it and override only the
// operations their test is about.
#include <cstdint>
#include <vector>

#include "api/i_device.h"

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
};

}  // namespace Mivo::BLE::Testing
