#include "runtime/await_bounded.h"

#include <string>

#include "core/api_exception.h"
#include "log/log.h"

namespace Mivo::BLE {
namespace Detail {

void ThrowNoOperation(const char* name) {
    throw Platform::PlatformError{-1, std::string("Bluetooth operation '") + name + "' could not be started."};
}

void ThrowTimedOut(const char* name, uint32_t timeoutMs) {
    LogMessage(kLogError, "winrt: '%s' timed out after %u ms; cancelling in background", name, timeoutMs);
    throw ApiException(std::string("Bluetooth operation '") + name + "' timed out.", 3);
}

void ThrowCancelled(const char* name) {
    LogMessage(kLogWarn, "winrt: '%s' was cancelled", name);
    throw ApiException(std::string("Bluetooth operation '") + name + "' was cancelled.", 3);
}

void LogInlineClose() { LogMessage(kLogError, "winrt: could not dispatch a background close; closing inline"); }

bool DispatchToThreadPool(std::function<void()> work) noexcept {
    try {
        std::shared_ptr<Platform::IStack> stack = Platform::GetStack();
        if (!stack) return false;
        return stack->RunOnThreadPool(std::move(work));
    } catch (...) {
        return false;
    }
}

}  // namespace Detail

uint32_t BoundWithinDeadline(std::chrono::steady_clock::time_point start, uint32_t boundMs, uint32_t deadlineMs) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto deadline = std::chrono::milliseconds(deadlineMs);
    if (elapsed >= deadline) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - elapsed).count();
    return left < static_cast<long long>(boundMs) ? static_cast<uint32_t>(left) : boundMs;
}

}  // namespace Mivo::BLE
