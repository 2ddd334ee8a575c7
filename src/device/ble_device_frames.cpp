// Command frames over NUS: the frame handler, the TX notification handler and the
// request/response transaction.
#include <string>
#include <utility>

#include "core/api_exception.h"
#include "device/ble_device.h"

namespace Mivo::BLE {
namespace {

// Never destroyed: a Bluetooth task may still use them while static destruction runs.
const std::string& NusTx() {
    static const std::string* const uuid = new std::string(ProtocolUuids::kNusTx);
    return *uuid;
}
const std::string& NusRx() {
    static const std::string* const uuid = new std::string(ProtocolUuids::kNusRx);
    return *uuid;
}

}  // namespace

void BleDevice::OnTxNotification(const Bytes& value) {
    std::shared_ptr<const FrameHandler> handler;
    {
        std::lock_guard<std::mutex> lock(frameHandlerMutex_);
        handler = frameHandler_;
    }
    if (handler) {
        try {
            (*handler)(value.data(), value.size());
        } catch (...) {
            // The host's handler must not cost the transaction its response.
        }
    }
    frameResponses_.OnNotification(value.data(), value.size());
}

void BleDevice::SubscribeTx() {
    gatt_.Subscribe(NusTx(), [this](const Bytes& value) { OnTxNotification(value); });
    txSubscribed_ = true;
}

void BleDevice::SetFrameHandler(FrameHandler handler) {
    bool installed = false;
    {
        std::lock_guard<std::mutex> lock(frameHandlerMutex_);
        frameHandler_ = handler ? std::make_shared<const FrameHandler>(std::move(handler)) : nullptr;
        installed = frameHandler_ != nullptr;
    }
    // Serialised with transactions, which share the TX subscription.
    std::lock_guard<std::mutex> transaction(frameTransactionMutex_);
    if (installed && !txSubscribed_.load()) {
        try {
            SubscribeTx();
        } catch (...) {
            // Not installed after all (for example no NUS on this device): a handler left in
            // place would make every reconnect fail on the same subscription.
            std::lock_guard<std::mutex> lock(frameHandlerMutex_);
            frameHandler_ = nullptr;
            throw;
        }
    } else if (!installed && txSubscribed_.exchange(false)) {
        gatt_.Unsubscribe(NusTx());
    }
}

std::vector<uint8_t> BleDevice::SendFrame(const uint8_t* frame, uint32_t length, uint32_t timeoutMs) {
    if (!frame && length != 0) throw ApiException("Frame must not be null.", MIVOBLE_ERROR_INVALID_ARGUMENT);
    // One transaction per device at a time: they share the response buffer and the subscription.
    std::lock_guard<std::mutex> transaction(frameTransactionMutex_);
    frameResponses_.Reset();
    gatt_.Subscribe(NusTx(), [this](const Bytes& value) { OnTxNotification(value); });

    // The TX subscription stays when a frame handler holds it; otherwise it ends with the
    // transaction, also when the write fails.
    auto endSubscription = [this] {
        if (txSubscribed_.load()) return;
        try {
            gatt_.Unsubscribe(NusTx());
        } catch (...) {
        }
    };
    std::vector<uint8_t> response;
    try {
        frameResponses_.DrainStale();
        // Without response when one packet carries it, otherwise as a long write with response.
        gatt_.WriteValue(NusRx(), Bytes(frame, frame + length));
        response = frameResponses_.WaitForResponse(std::chrono::milliseconds(timeoutMs));
    } catch (...) {
        endSubscription();
        throw;
    }
    if (!txSubscribed_.load()) gatt_.Unsubscribe(NusTx());
    return response;
}

}  // namespace Mivo::BLE
