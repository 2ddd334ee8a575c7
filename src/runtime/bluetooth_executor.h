#pragma once
// The single worker thread on which all Bluetooth work runs.
//
// A caller submits a named task with a time budget and blocks until it has finished. The
// executor logs overruns and detects a worker that no longer makes progress ("wedged");
// from then on every new task fails at once instead of queueing behind the stuck one.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <memory>
#include <type_traits>
#include <utility>

#include "runtime/timing.h"

namespace Mivo::BLE {

class BluetoothExecutor {
public:
    // Monotonic time source; tests inject one to make budget comparisons exact.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The process-wide executor with production timing. Created on first use, never
    // destroyed; a failed creation is retried at the next call.
    static BluetoothExecutor& Instance();

    // Starts the worker thread (throws std::system_error when it cannot).
    explicit BluetoothExecutor(ExecutorTiming timing = {});
    BluetoothExecutor(ExecutorTiming timing, Clock clock);
    // Stops the executor as Stop() does. A detached worker keeps the shared state alive.
    ~BluetoothExecutor();
    BluetoothExecutor(const BluetoothExecutor&) = delete;
    BluetoothExecutor& operator=(const BluetoothExecutor&) = delete;

    // Runs `work` on the worker thread and returns its result or rethrows what it threw.
    // `name` must be a static string; it appears in log lines. Throws ApiException -1 once
    // stopped, 3 once wedged (at once, or when this wait detects the worker is stuck).
    // `work` is moved into the task; it must not refer to the caller's stack, because the
    // caller may give up waiting before it runs. Called from inside a task, `work` runs at
    // once on the worker thread (queueing it would wait on itself).
    template <typename F>
    auto Run(const char* name, uint32_t budgetMs, F work) -> std::invoke_result_t<F>;

    bool IsWedged() const;
    // True once Stop() has been called.
    bool IsStopped() const;
    // True once the worker has left its loop (after Stop(), when the queue was drained).
    bool WorkerExited() const;
    // Tasks queued and not yet started.
    size_t Pending() const;
    // Lets the worker drain the queued tasks and joins it; detaches it when it does not
    // finish within the stop wait. Final: later Run calls fail with code -1. A second call
    // returns at once.
    void Stop();

    struct State;  // shared with the worker thread

private:
    using Task = std::function<void()>;
    bool OnWorkerThread() const;
    // Queues the task (throws when stopped or wedged).
    void Enqueue(const char* name, uint32_t budgetMs, Task task);
    std::chrono::steady_clock::time_point Now() const;
    // Polls `ready` once per poll interval until it returns true; gives up with code 3 when
    // the worker is stuck. `start` is when the caller submitted the task.
    void WaitForTask(const char* name, std::chrono::steady_clock::time_point start,
                     const std::function<bool(std::chrono::milliseconds)>& ready);

    std::shared_ptr<State> state_;
};

namespace Detail {

// The completion state shared by a caller of Run and its task. The result and the exception
// are handed over under the mutex and moved out by the caller, so whichever side lets go
// last, the result's own references are only ever touched by one thread at a time.
template <typename R>
class TaskOutcome {
public:
    using Stored = std::conditional_t<std::is_void_v<R>, bool, R>;

    void SetValue(Stored value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            value_.emplace(std::move(value));
            ready_ = true;
        }
        done_.notify_all();
    }
    void SetError(std::exception_ptr error) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = std::move(error);
            ready_ = true;
        }
        done_.notify_all();
    }
    bool WaitFor(std::chrono::milliseconds slice) {
        std::unique_lock<std::mutex> lock(mutex_);
        return done_.wait_for(lock, slice, [this] { return ready_; });
    }
    // Only after WaitFor returned true.
    R Take() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (error_) {
            std::exception_ptr error = std::move(error_);
            lock.unlock();
            std::rethrow_exception(std::move(error));
        }
        if constexpr (!std::is_void_v<R>) {
            Stored value = std::move(*value_);
            value_.reset();
            return value;
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool ready_ = false;
    std::optional<Stored> value_;
    std::exception_ptr error_;
};

}  // namespace Detail

template <typename F>
auto BluetoothExecutor::Run(const char* name, uint32_t budgetMs, F work) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if (OnWorkerThread()) return work();

    auto outcome = std::make_shared<Detail::TaskOutcome<R>>();
    // Held through a shared pointer so that move-only callables fit into std::function.
    auto callable = std::make_shared<F>(std::move(work));
    const auto start = Now();
    // The callable is moved into the task: the work's captures are released on the worker.
    Enqueue(name, budgetMs, [outcome, callable = std::move(callable)]() {
        std::exception_ptr error;
        try {
            if constexpr (std::is_void_v<R>) {
                (*callable)();
                outcome->SetValue(true);
            } else {
                outcome->SetValue((*callable)());
            }
            return;
        } catch (...) {
            error = std::current_exception();
        }
        // Handed over after the handler has ended, so the worker is done with the exception
        // object before the caller can see it.
        outcome->SetError(std::move(error));
    });
    WaitForTask(name, start, [&outcome](std::chrono::milliseconds slice) { return outcome->WaitFor(slice); });
    return outcome->Take();
}

}  // namespace Mivo::BLE
