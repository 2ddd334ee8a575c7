// The SMP transport: one request frame written to the SMP characteristic, the response
// gathered from its notifications until the header's length is complete.
#include <chrono>
#include <stdexcept>
#include <string>

#include "device/ble_device.h"
#include "smp/smp_frame.h"

namespace Mivo::BLE {

void BleDevice::OnSmpNotification(const Bytes& value) {
    bool complete = false;
    {
        std::lock_guard<std::mutex> lock(smpMutex_);
        smpBuffer_.insert(smpBuffer_.end(), value.begin(), value.end());
        if (smpExpected_ == 0) {
            if (smpBuffer_.size() < 4) return;
            smpExpected_ = ((uint32_t{smpBuffer_[2]} << 8) | smpBuffer_[3]) + kSmpHeaderSize;
        }
        if (smpBuffer_.size() >= smpExpected_ && !smpComplete_) {
            smpComplete_ = true;
            complete = true;
        }
    }
    if (complete) smpCondition_.notify_one();
}

std::vector<uint8_t> BleDevice::SendSmpCommand(const std::vector<uint8_t>& frame, uint32_t timeoutMs) {
    // Commands share one response buffer: one at a time per device.
    std::lock_guard<std::mutex> command(smpCommandMutex_);
    {
        std::lock_guard<std::mutex> lock(smpMutex_);
        smpBuffer_.clear();
        smpExpected_ = 0;
        smpComplete_ = false;
    }
    const std::string uuid(kSmpCharacteristicUuid);
    gatt_.Subscribe(uuid, [this](const Bytes& value) { OnSmpNotification(value); });
    // A failed write ends the command here; the next command's Subscribe replaces the handler.
    // The server rejoins a request longer than one packet by the length in its header.
    gatt_.WriteInPackets(uuid, frame);

    Bytes response;
    bool taken = false;
    {
        // The time-out bounds the wait for the response only, from after the write.
        std::unique_lock<std::mutex> lock(smpMutex_);
        if (smpCondition_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return smpComplete_; })) {
            response = std::move(smpBuffer_);
            smpBuffer_.clear();
            taken = true;
        }
    }
    gatt_.Unsubscribe(uuid);
    if (!taken) throw std::runtime_error("SMP command timed out waiting for response");
    return response;
}

}  // namespace Mivo::BLE
