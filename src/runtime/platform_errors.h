#pragma once
// Platform errors the logic expects become device errors: ApiException code 3 with the
// platform's text. One that is not translated reaches the C boundary as an unknown error.
#include <utility>

#include "core/api_exception.h"
#include "mivoble/mivoble.h"
#include "platform/async_operation.h"

namespace Mivo::BLE {

template <typename F>
auto TranslatingPlatformErrors(F&& body) -> decltype(body()) {
    try {
        return std::forward<F>(body)();
    } catch (const Platform::PlatformError& e) {
        throw ApiException(e.message, MIVOBLE_ERROR_DEVICE);
    }
}

}  // namespace Mivo::BLE
