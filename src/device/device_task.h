#pragma once
// Runs one platform step of a device as a named task on the device's own lane of the
// Bluetooth executor. A platform error escaping the step becomes ApiException code 3 with
// the platform's text, so that the open sequence retries it like any other device failure.
#include <cstdint>
#include <utility>

#include "runtime/bluetooth_executor.h"
#include "runtime/platform_errors.h"

namespace Mivo::BLE {

template <typename F>
auto RunDeviceTask(BluetoothLane& lane, const char* name, uint32_t budgetMs, F work) {
    return lane.Run(name, budgetMs, [work = std::move(work)]() mutable { return TranslatingPlatformErrors(work); });
}

}  // namespace Mivo::BLE
