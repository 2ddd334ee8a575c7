#pragma once
// Bounded waits on asynchronous platform operations, and background cancel and close.
//
// Runs inside executor tasks: a wait never blocks longer than its bound, and neither a
// cancellation nor the closing of a connection object ever runs on the calling thread
// (unless it cannot be handed to the platform thread pool at all).
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/async_operation.h"
#include "platform/backend.h"

namespace Mivo::BLE {

namespace Detail {
[[noreturn]] void ThrowNoOperation(const char* name);
[[noreturn]] void ThrowTimedOut(const char* name, uint32_t timeoutMs);
[[noreturn]] void ThrowCancelled(const char* name);
void LogInlineClose();
// Hands `work` to the platform thread pool; false when it could not be dispatched.
bool DispatchToThreadPool(std::function<void()> work) noexcept;
}  // namespace Detail

template <typename T>
void CancelInBackground(const Platform::AsyncOp<T>& operation);

// Waits at most timeoutMs for `operation`. Returns its result; a failed operation's
// PlatformError is rethrown. Time-out: ERROR line, background cancel, ApiException code 3.
// Cancelled: WARN line, ApiException code 3. `name` must be a static string.
template <typename T>
T AwaitBounded(const Platform::AsyncOp<T>& operation, uint32_t timeoutMs, const char* name) {
    if (!operation) Detail::ThrowNoOperation(name);
    // The status is read after the wait: finishing right at the end counts as finished.
    const Platform::AsyncStatus status = operation->WaitFor(std::chrono::milliseconds(timeoutMs));
    switch (status) {
        case Platform::AsyncStatus::Started: CancelInBackground(operation); Detail::ThrowTimedOut(name, timeoutMs);
        case Platform::AsyncStatus::Canceled: Detail::ThrowCancelled(name);
        case Platform::AsyncStatus::Completed:
        case Platform::AsyncStatus::Error: break;
    }
    return operation->GetResults();
}

// Asks the platform thread pool to cancel `operation`. Never throws, never blocks; when the
// work cannot be dispatched the operation is simply abandoned.
template <typename T>
void CancelInBackground(const Platform::AsyncOp<T>& operation) {
    if (!operation) return;
    Detail::DispatchToThreadPool([keep = operation]() {
        try {
            keep->Cancel();
        } catch (...) {
        }
    });
}

// Takes over `object` (anything with Close()) and closes it on the platform thread pool.
// When that cannot be arranged it is closed here, with an ERROR line. Failures of Close()
// are ignored either way.
template <typename Closable>
void CloseInBackground(std::shared_ptr<Closable> object) {
    if (!object) return;
    // The object sits in a slot that the work item empties, so after a successful dispatch
    // the last reference is dropped on the pool thread, not here.
    struct Slot {
        std::mutex mutex;
        std::shared_ptr<Closable> object;
    };
    auto slot = std::make_shared<Slot>();
    slot->object = std::move(object);
    auto closeFromSlot = [](Slot& s) {
        std::shared_ptr<Closable> taken;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            taken = std::move(s.object);
        }
        if (!taken) return;
        try {
            taken->Close();
        } catch (...) {
        }
    };
    if (Detail::DispatchToThreadPool([slot, closeFromSlot]() { closeFromSlot(*slot); })) return;
    Detail::LogInlineClose();
    closeFromSlot(*slot);
}

// The bound of one wait inside service discovery: the smaller of boundMs and the time left
// until `deadlineMs` after `start`; 0 once that deadline has passed.
uint32_t BoundWithinDeadline(std::chrono::steady_clock::time_point start, uint32_t boundMs,
                             uint32_t deadlineMs = 30000);

}  // namespace Mivo::BLE
