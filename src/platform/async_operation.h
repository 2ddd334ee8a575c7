#pragma once
// Shared completion state of one asynchronous platform operation.
//
// The producer (a backend) completes, fails or cancels it from its own threads; the
// consumer waits with a bound, reads the result, or asks for cancellation. A completion
// handler may fire after the waiter has given up: the state is shared, so it stays valid.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace Mivo::BLE::Platform {

enum class AsyncStatus : int { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

// An error reported by the Bluetooth stack. Deliberately not a std::exception: one that
// reaches the C boundary untranslated becomes "An unknown error appeared.".
struct PlatformError {
    int32_t code = -1;
    std::string message;
};

template <typename T>
class AsyncOperation {
public:
    using CompletedHandler = std::function<void(AsyncStatus)>;

    AsyncStatus Status() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }

    // Waits at most `timeout` for the operation to leave Started; returns the status read
    // after the wait (an operation finishing right at the end counts as finished).
    AsyncStatus WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait_for(lock, timeout, [this] { return status_ != AsyncStatus::Started; });
        return status_;
    }

    // The result of a completed operation. Throws PlatformError when it failed, was
    // cancelled or has not finished.
    T GetResults() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_ == AsyncStatus::Completed && value_) return *value_;
        if (status_ == AsyncStatus::Error) throw error_;
        if (status_ == AsyncStatus::Canceled) throw PlatformError{-2, "The operation was canceled."};
        throw PlatformError{-3, "The operation has not completed."};
    }

    // Installs the completion handler; it runs once, on the completing thread, or at once
    // on this thread when the operation has already finished.
    void SetCompleted(CompletedHandler handler) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (status_ != AsyncStatus::Started) {
            AsyncStatus s = status_;
            lock.unlock();
            if (handler) handler(s);
            return;
        }
        handler_ = std::move(handler);
    }

    // Asks the producer to cancel. The cancel hook runs on the calling thread; an operation
    // still running afterwards is marked Canceled.
    void Cancel() {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ != AsyncStatus::Started) return;
            hook = std::move(cancelHook_);
        }
        if (hook) hook();
        Finish(AsyncStatus::Canceled, std::nullopt, {});
    }

    // Producer side. Each returns false when the operation had already finished.
    bool Complete(T value) { return Finish(AsyncStatus::Completed, std::move(value), {}); }
    bool Fail(PlatformError error) { return Finish(AsyncStatus::Error, std::nullopt, std::move(error)); }
    bool MarkCanceled() { return Finish(AsyncStatus::Canceled, std::nullopt, {}); }
    void OnCancel(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelHook_ = std::move(hook);
    }

private:
    bool Finish(AsyncStatus status, std::optional<T> value, PlatformError error) {
        CompletedHandler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ != AsyncStatus::Started) return false;
            status_ = status;
            value_ = std::move(value);
            error_ = std::move(error);
            handler = std::move(handler_);
            cancelHook_ = nullptr;
        }
        done_.notify_all();
        if (handler) handler(status);
        return true;
    }

    mutable std::mutex mutex_;
    std::condition_variable done_;
    AsyncStatus status_ = AsyncStatus::Started;
    std::optional<T> value_;
    PlatformError error_;
    CompletedHandler handler_;
    std::function<void()> cancelHook_;
};

template <typename T>
using AsyncOp = std::shared_ptr<AsyncOperation<T>>;

template <typename T>
AsyncOp<T> MakeAsyncOperation() {
    return std::make_shared<AsyncOperation<T>>();
}

// An operation that has already completed with `value`.
template <typename T>
AsyncOp<T> CompletedOperation(T value) {
    auto op = MakeAsyncOperation<T>();
    op->Complete(std::move(value));
    return op;
}

}  // namespace Mivo::BLE::Platform
