#pragma once
// Runs one platform step of a device as a named task on the Bluetooth executor. A platform
// error escaping the step becomes ApiException code 3 with the platform's text, so that the
// open sequence retries it like any other device failure.
#include <cstdint>
#include <utility>

#include "api/api_exception.h"
#include "mivoble/mivoble.h"
#include "platform/async_operation.h"
#include "runtime/bluetooth_executor.h"

namespace Mivo::BLE {

template <typename F>
auto RunDeviceTask(const char* name, uint32_t budgetMs, F work) {
    return BluetoothExecutor::Instance().Run(name, budgetMs, [work = std::move(work)]() mutable {
        try {
            return work();
        } catch (const Platform::PlatformError& e) {
            throw ApiException(e.message, MIVOBLE_ERROR_DEVICE);
        }
    });
}

}  // namespace Mivo::BLE
