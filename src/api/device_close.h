#pragma once
// Closing devices whose handles have been removed: close, then destroy or, when a Bluetooth
// task may still use the device, keep it alive for good and say so in the log.
#include <memory>

#include "core/i_device.h"
#include "mivoble/mivoble.h"

namespace Mivo::BLE {

// Closes a device removed from the registry under `handle`. `restartHint` adds the advice to
// restart the host process to the leak message (a single close gives it, a shutdown does not).
// A failing Close() propagates, after the device has been released or leaked the same way.
void CloseRemovedDevice(MIVOBLE_HANDLE handle, std::shared_ptr<IDevice> device, bool restartHint);

// The same, for a close asked for from inside a data callback: the close waits for the
// delivery that made the call, so it runs on a platform thread-pool thread instead. When no
// such thread can take it, the device is kept alive for good (ERROR line).
void CloseRemovedDeviceLater(MIVOBLE_HANDLE handle, std::shared_ptr<IDevice> device);

// Closes every open device, then shuts the scanner and the Bluetooth executor down.
void ShutdownAll();

}  // namespace Mivo::BLE
