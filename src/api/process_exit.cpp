#include "api/process_exit.h"

#include <cstdlib>
#include <mutex>
#include <utility>

#include "api/device_close.h"
#include "api/handle_registry.h"
#include "discovery/ble_scanner.h"
#include "log/log.h"
#include "platform/backend.h"
#include "runtime/bluetooth_executor.h"

namespace Mivo::BLE {
namespace {

// The worker did not stop: a task still running or queued may use any device, so none is
// freed. Clearing the host callbacks keeps host code out of the rest of the exit; the
// devices' own threads only meet objects that are never destroyed.
void LeaveOpen(const std::shared_ptr<IDevice>& device) {
    try {
        device->SetConnectionStateCallback(nullptr);
    } catch (...) {
    }
    try {
        device->SetDataAvailableCallback(nullptr);  // clears both data callbacks
    } catch (...) {
    }
}

}  // namespace

void StopLibraryAtExit() noexcept {
    try {
        // No discovery callback runs once this returns.
        BleScanner::ReleaseInstanceAtExit();
        // Tasks already queued still run, against live objects; a stuck worker is left to
        // finish on its own after the stop wait.
        BluetoothExecutor& executor = BluetoothExecutor::Instance();
        executor.Stop();
        auto devices = HandleRegistry::Instance().RemoveAll();
        if (executor.WorkerExited()) {
            if (!devices.empty()) LogMessage(kLogInfo, "process exit: closing %zu open device(s)", devices.size());
            // Each close ends the device's reconnect thread and removes its platform handlers
            // (on this thread, as the worker has stopped).
            for (auto& [handle, device] : devices) {
                try {
                    CloseRemovedDevice(handle, std::move(device), false);
                } catch (...) {
                }
            }
        } else if (!devices.empty()) {
            LogMessage(kLogWarn,
                       "process exit: the Bluetooth worker is still busy; %zu open device(s) are left open with "
                       "their callbacks cleared",
                       devices.size());
            for (auto& [handle, device] : devices) {
                LeaveOpen(device);
                HandleRegistry::Instance().Leak(std::move(device));
            }
        }
        if (auto stack = Platform::GetStack()) stack->StopAtExit();
    } catch (...) {
        // Nothing may escape into the host's exit.
    }
}

void InstallExitHandler() {
    static std::once_flag installed;
    std::call_once(installed, [] { std::atexit([] { StopLibraryAtExit(); }); });
}

}  // namespace Mivo::BLE
