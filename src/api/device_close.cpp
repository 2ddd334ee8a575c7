#include "api/device_close.h"

#include <exception>

#include "api/ble_factory.h"
#include "api/handle_registry.h"
#include "core/api_exception.h"
#include "log/log.h"
#include "runtime/await_bounded.h"
#include "runtime/bluetooth_executor.h"

namespace Mivo::BLE {

namespace {

// Drops the registry's reference, or keeps it forever when the device says it is not safe to
// destroy. Another export still running on the device holds its own reference, so the object
// goes away only when that call has returned.
void Release(MIVOBLE_HANDLE handle, std::shared_ptr<IDevice> device, bool restartHint) {
    bool destroy = false;
    try {
        destroy = device->CanDestroy();
    } catch (...) {
        destroy = false;  // unknown state: leaking is the safe side
    }
    if (destroy) return;
    HandleRegistry::Instance().Leak(std::move(device));
    const unsigned low = static_cast<unsigned>(handle & 0xFFFFFFFFu);
    if (restartHint) {
        LogMessage(kLogError,
                   "handle %u: Bluetooth transport unresponsive; leaking the device object instead of destroying "
                   "it. Restart the host process to reclaim it.",
                   low);
    } else {
        LogMessage(kLogError,
                   "handle %u: Bluetooth transport unresponsive; leaking the device object instead of destroying it.",
                   low);
    }
}

}  // namespace

void CloseRemovedDevice(MIVOBLE_HANDLE handle, std::shared_ptr<IDevice> device, bool restartHint) {
    try {
        device->Close();
    } catch (...) {
        Release(handle, std::move(device), restartHint);
        throw;
    }
    Release(handle, std::move(device), restartHint);
}

void CloseRemovedDeviceLater(MIVOBLE_HANDLE handle, std::shared_ptr<IDevice> device) {
    // The work item holds the only reference, so the device goes on the pool thread too: its
    // destruction here would wait for the delivery that asked for the close.
    auto slot = std::make_shared<std::shared_ptr<IDevice>>(std::move(device));
    const bool dispatched = Detail::DispatchToThreadPool([handle, slot] {
        std::shared_ptr<IDevice> closing = std::move(*slot);
        try {
            CloseRemovedDevice(handle, std::move(closing), true);
        } catch (...) {
            // Nobody is left to tell: the handle was gone when the callback's call returned.
        }
    });
    if (dispatched) return;
    HandleRegistry::Instance().Leak(std::move(*slot));
    LogMessage(kLogError,
               "handle %u: no thread to close the device on; leaking the device object instead of closing it.",
               static_cast<unsigned>(handle & 0xFFFFFFFFu));
}

void ShutdownAll() {
    // Every device is closed even when one close fails; the first failure is reported after
    // the adapter has been shut down as well.
    std::exception_ptr firstFailure;
    for (auto& [handle, device] : HandleRegistry::Instance().RemoveAll()) {
        try {
            CloseRemovedDevice(handle, std::move(device), false);
        } catch (...) {
            if (!firstFailure) firstFailure = std::current_exception();
        }
    }
    const std::shared_ptr<BLEFactory> factory = AcquireFactory();
    IAdapter* adapter = nullptr;
    try {
        adapter = &factory->GetAdapter();
    } catch (const ApiException& e) {
        // No adapter or radio: there is no scanner to shut down, but the runtime still
        // stops, so that later Bluetooth work reports the shut-down as it does elsewhere.
        if (e.Code() != MIVOBLE_ERROR_ADAPTER) throw;
        BluetoothExecutor::Instance().Stop();
    }
    if (adapter) adapter->Shutdown();
    if (firstFailure) std::rethrow_exception(firstFailure);
}

}  // namespace Mivo::BLE
