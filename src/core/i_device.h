#pragma once
// One opened amplifier as its users see it: the boundary, the command-frame exchange and the
// management commands; BleDevice implements it (slot order kept from the original interface).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mivoble/mivoble.h"

namespace Mivo::BLE {

using FrameHandler = std::function<void(const uint8_t* data, size_t length)>;

// What the device's SMP server said about its receive buffers (MCUmgr parameters command),
// remembered for the rest of a connection.
struct SmpServerParameters {
    bool known = false;      // asked on this connection
    bool supported = false;  // answered with usable values
    uint32_t bufSize = 0;    // bytes per request frame the server can take
    uint32_t bufCount = 0;   // request buffers of the server
};

// An SMP exchange of several requests over one subscription: subscribed from its opening
// until it is closed or destroyed, whatever the way out. Requests are written without
// waiting for their answers; each answer is matched to its request by the SMP header.
class ISmpSession {
public:
    virtual ~ISmpSession() = default;  // ends the session; errors are swallowed
    // Ends the session (unsubscribes); may throw the errors of the unsubscription.
    virtual void Close() = 0;
    // Writes one request frame without response and without waiting for its answer.
    virtual void Send(const std::vector<uint8_t>& frame) = 0;
    // The answer to a sent request frame. After `timeoutMs` without one it throws the
    // transport's time-out error, and a later answer to that request is dropped.
    virtual std::vector<uint8_t> Wait(const std::vector<uint8_t>& frame, uint32_t timeoutMs) = 0;
    // The largest frame one write can carry on this link (ATT MTU - 3).
    virtual size_t MaxFrame() = 0;
    virtual SmpServerParameters Parameters() = 0;
    virtual void SetParameters(const SmpServerParameters& parameters) = 0;
};

class IDevice {
public:
    virtual ~IDevice() = default;                                                                                  // 0
    virtual bool CanDestroy() = 0;                                                                                 // 1
    virtual void Close() = 0;                                                                                      // 2
    virtual MIVOBLE_DEVICE_INFORMATION GetDeviceInformation() = 0;                                                 // 3
    virtual std::vector<MIVOBLE_CHANNEL_CONFIGURATION> GetChannelConfiguration() = 0;                              // 4
    virtual void SetDataAvailableCallback(DataAvailableCallback callback) = 0;                                     // 5
    virtual void SetDataAvailableBatchedCallback(DataAvailableBatchedCallback callback) = 0;                       // 6
    virtual void SetFramesPerCallback(uint32_t frames) = 0;                                                        // 7
    virtual void SetConnectionStateCallback(ConnectionStateCallback callback) = 0;                                 // 8
    virtual std::vector<uint8_t> ReadCharacteristic(const char* serviceUuid, const char* characteristicUuid) = 0;  // 9
    virtual void WriteCharacteristic(const char* serviceUuid, const char* characteristicUuid, const uint8_t* data,
                                     size_t length) = 0;   // 10
    virtual bool HasService(const char* serviceUuid) = 0;  // 11
    // Sends one SMP frame and returns the whole response frame (never empty) or throws.
    virtual std::vector<uint8_t> SendSmpCommand(const std::vector<uint8_t>& frame, uint32_t timeoutMs) = 0;  // 12
    // One command-frame transaction over NUS; returns the received bytes, empty if nothing arrived in time.
    virtual std::vector<uint8_t> SendFrame(const uint8_t* frame, uint32_t length, uint32_t timeoutMs) = 0;  // 13
    virtual void SetFrameHandler(FrameHandler handler) = 0;                                                 // 14
    virtual uint8_t GetBatteryLevel() = 0;                                                                  // 15
    virtual int32_t SetChannelCount(uint8_t channelCount) = 0;                                              // 16
    // 0 when the layout is in force, -1 when rejected.
    virtual int32_t SetActiveLayout(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample,
                                    bool littleEndian, uint16_t samplingRate) = 0;  // 17
    // Sequence number of the next SMP request: one counter per device, wrapping at 256.
    virtual uint8_t NextSmpSequence() = 0;  // 18
    // Opens an SMP session (subscribes to the SMP characteristic); one at a time per device.
    virtual std::unique_ptr<ISmpSession> OpenSmpSession() = 0;  // 19
};

// The handle under which a device is registered, for the callbacks it reports with; throws
// ApiException("Device not found.", 1) while the device is being opened or after its handle
// was removed. The boundary, which owns the handles, hands it down to the devices it opens.
using HandleFinder = std::function<MIVOBLE_HANDLE(const IDevice* device)>;

}  // namespace Mivo::BLE
