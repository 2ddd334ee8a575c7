#pragma once
// One opened amplifier as the C boundary sees it (slot order kept from the original interface).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mivoble/mivoble.h"

namespace Mivo::BLE {

using FrameHandler = std::function<void(const uint8_t* data, size_t length)>;

class IDevice {
public:
    virtual ~IDevice() = default;                                                   // 0
    virtual bool CanDestroy() = 0;                                                  // 1
    virtual void Close() = 0;                                                       // 2
    virtual MIVOBLE_DEVICE_INFORMATION GetDeviceInformation() = 0;                  // 3
    virtual std::vector<MIVOBLE_CHANNEL_CONFIGURATION> GetChannelConfiguration() = 0;  // 4
    virtual void SetDataAvailableCallback(DataAvailableCallback callback) = 0;      // 5
    virtual void SetDataAvailableBatchedCallback(DataAvailableBatchedCallback callback) = 0;  // 6
    virtual void SetFramesPerCallback(uint32_t frames) = 0;                         // 7
    virtual void SetConnectionStateCallback(ConnectionStateCallback callback) = 0;  // 8
    virtual std::vector<uint8_t> ReadCharacteristic(const char* serviceUuid, const char* characteristicUuid) = 0;  // 9
    virtual void WriteCharacteristic(const char* serviceUuid, const char* characteristicUuid, const uint8_t* data,
                                     size_t length) = 0;                            // 10
    virtual bool HasService(const char* serviceUuid) = 0;                           // 11
    // Sends one SMP frame and returns the whole response frame (never empty) or throws.
    virtual std::vector<uint8_t> SendSmpCommand(const std::vector<uint8_t>& frame, uint32_t timeoutMs) = 0;  // 12
    // One command-frame transaction over NUS; returns the received bytes, empty if nothing arrived in time.
    virtual std::vector<uint8_t> SendFrame(const uint8_t* frame, uint32_t length, uint32_t timeoutMs) = 0;  // 13
    virtual void SetFrameHandler(FrameHandler handler) = 0;                         // 14
    virtual uint8_t GetBatteryLevel() = 0;                                          // 15
    virtual int32_t SetChannelCount(uint8_t channelCount) = 0;                      // 16
    // 0 when the layout is in force, -1 when rejected.
    virtual int32_t SetActiveLayout(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample,
                                    bool littleEndian, uint16_t samplingRate) = 0;  // 17
};

}  // namespace Mivo::BLE
