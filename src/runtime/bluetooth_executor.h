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
#include <future>
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

template <typename F>
auto BluetoothExecutor::Run(const char* name, uint32_t budgetMs, F work) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if (OnWorkerThread()) return work();

    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> future = promise->get_future();
    // Held through a shared pointer so that move-only callables fit into std::function.
    auto callable = std::make_shared<F>(std::move(work));
    const auto start = Now();
    // Both are moved into the task: the work's captures are released on the worker, not here.
    Enqueue(name, budgetMs, [promise = std::move(promise), callable = std::move(callable)]() {
        try {
            if constexpr (std::is_void_v<R>) {
                (*callable)();
                promise->set_value();
            } else {
                promise->set_value((*callable)());
            }
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    });
    WaitForTask(name, start, [&future](std::chrono::milliseconds slice) {
        return future.wait_for(slice) == std::future_status::ready;
    });
    return future.get();
}

}  // namespace Mivo::BLE
