// Data callbacks and the sample/battery subscriptions behind them, layout, battery, device
// information and the GATT operations the API exposes directly.
#include <string>

#include "core/api_exception.h"
#include "device/ble_device.h"
#include "protocol/uuid_text.h"
#include "runtime/await_bounded.h"

namespace Mivo::BLE {

void BleDevice::SetDataAvailableCallback(DataAvailableCallback callback) {
    if (stream_.DeliveringOnThisThread()) {
        FollowCallbackFromInsideDelivery(stream_.SetDataAvailableCallback(callback));
        return;
    }
    std::lock_guard<std::mutex> control(streamControlMutex_);
    if (stream_.SetDataAvailableCallback(callback)) {
        if (!reconnectPending_) StartStreaming();
    } else {
        StopStreaming();
    }
}

void BleDevice::SetDataAvailableBatchedCallback(DataAvailableBatchedCallback callback) {
    if (stream_.DeliveringOnThisThread()) {
        FollowCallbackFromInsideDelivery(stream_.SetDataAvailableBatchedCallback(callback));
        return;
    }
    std::lock_guard<std::mutex> control(streamControlMutex_);
    if (stream_.SetDataAvailableBatchedCallback(callback)) {
        if (!reconnectPending_) StartStreaming();
    } else {
        StopStreaming();
    }
}

void BleDevice::FollowCallbackFromInsideDelivery(bool streamShouldRun) {
    // A delivery is under way, so the sample characteristic is subscribed: a new callback
    // needs nothing more. Stopping means unsubscribing, which waits for this very delivery
    // and for Bluetooth answers queued behind it; another thread does it once the
    // delivery is over, unless a callback was registered again by then.
    if (streamShouldRun) return;
    std::weak_ptr<BleDevice> weak = weak_from_this();
    Detail::DispatchToThreadPool([weak] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard<std::mutex> control(self->streamControlMutex_);
        if (self->stream_.HasCallback()) return;
        try {
            self->StopStreaming();
        } catch (...) {
            // As after a lost link: the stream stays subscribed and delivers to no callback.
        }
    });
}

void BleDevice::StartStreaming() {
    // Subscribe replaces an existing handler, so starting again while streaming is harmless.
    gatt_.Subscribe(uuids_[kUuidSampleCharacteristic],
                    [this](const Bytes& value) { stream_.OnSamplePayload(value.data(), value.size()); });
    dataSubscribed_ = true;
    gatt_.Subscribe(std::string(ProtocolUuids::kBatteryLevel),
                    [this](const Bytes& value) { stream_.OnBatteryNotification(value.data(), value.size()); });
    batterySubscribed_ = true;
}

void BleDevice::StopStreaming() {
    if (dataSubscribed_.exchange(false)) {
        gatt_.Unsubscribe(uuids_[kUuidSampleCharacteristic]);
        stream_.ForgetPreviousRows();  // a new subscription starts a new stream
    }
    if (batterySubscribed_.exchange(false)) gatt_.Unsubscribe(std::string(ProtocolUuids::kBatteryLevel));
}

void BleDevice::SetFramesPerCallback(uint32_t frames) { stream_.SetFramesPerCallback(frames); }

void BleDevice::SetConnectionStateCallback(ConnectionStateCallback callback) { connectionStateCallback_ = callback; }

int32_t BleDevice::SetActiveLayout(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample,
                                   bool littleEndian, uint16_t samplingRate) {
    return stream_.SetActiveLayout(channelCount, framesPerPayload, bytesPerSample, littleEndian, samplingRate);
}

int32_t BleDevice::SetChannelCount(uint8_t channelCount) { return stream_.SetChannelCount(channelCount); }

uint8_t BleDevice::GetBatteryLevel() { return configuration_.BatteryLevel(); }

MIVOBLE_DEVICE_INFORMATION BleDevice::GetDeviceInformation() { return configuration_.GetDeviceInformation(); }

std::vector<MIVOBLE_CHANNEL_CONFIGURATION> BleDevice::GetChannelConfiguration() {
    return configuration_.GetChannelConfiguration();
}

bool BleDevice::HasService(const char* serviceUuid) {
    try {
        return gatt_.HasService(serviceUuid ? serviceUuid : "");
    } catch (...) {
        return false;
    }
}

// The service text is accepted and ignored: characteristics are addressed by UUID alone.
std::vector<uint8_t> BleDevice::ReadCharacteristic(const char*, const char* characteristicUuid) {
    return gatt_.Read(characteristicUuid ? characteristicUuid : "");
}

void BleDevice::WriteCharacteristic(const char*, const char* characteristicUuid, const uint8_t* data, size_t length) {
    if (!data && length != 0) throw ApiException("Data must not be null.", MIVOBLE_ERROR_INVALID_ARGUMENT);
    Bytes value = data ? Bytes(data, data + length) : Bytes();
    gatt_.Write(characteristicUuid ? characteristicUuid : "", std::move(value), Platform::WriteOption::WithResponse);
}

}  // namespace Mivo::BLE
