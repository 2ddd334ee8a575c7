#pragma once
// The Bluetooth executor: every platform Bluetooth call runs as a named task with a time
// budget on one of its lanes.
//
// A lane is a serial queue of work: its tasks run one at a time, in submission order. Each
// open device has a lane of its own, and the scanner uses the executor's own lane, so the
// radio work of one amplifier never waits for another's. The lanes share a small pool of
// threads: a thread serves a lane for one task, then takes the next lane that has work.
//
// A caller submits a task and blocks until it has finished. The lane logs overruns and
// detects that it no longer makes progress ("wedged"); from then on every new task of that
// lane fails at once instead of queueing behind the stuck one. The other lanes go on.
//
// Threads: one is started with the executor; another is started whenever more lanes have
// work than threads are free to take them, up to a cap (32 by default). A thread stuck in
// the task of a wedged lane no longer counts against the cap: it is given up, and another
// thread takes its place. A wedged lane accepts no more work, so each wedged lane costs at
// most one such thread; when its task returns at last, the thread rejoins the pool. Threads
// beyond the first end after an idle spell (ExecutorTiming::idleExit).
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "runtime/timing.h"

namespace Mivo::BLE {

// One serial lane of Bluetooth work. A cheap handle: copies refer to the same lane, which
// lives as long as any copy or any of its queued tasks.
class BluetoothLane {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    struct State;  // shared with the executor's threads

    explicit BluetoothLane(std::shared_ptr<State> state);

    // Runs `work` on a thread of the executor, after the tasks queued on this lane before
    // it, and returns its result or rethrows what it threw. `name` must be a static string;
    // it appears in log lines. Throws ApiException -1 once the executor is stopped, 3 once
    // this lane is wedged (at once, or when this wait detects the lane is stuck). `work` is
    // moved into the task; it must not refer to the caller's stack, because the caller may
    // give up waiting before it runs. Called from inside a task of the same lane, `work`
    // runs at once (queueing it would wait on itself).
    template <typename F>
    auto Run(const char* name, uint32_t budgetMs, F work) -> std::invoke_result_t<F>;

    bool IsWedged() const;
    // True once the executor has been stopped.
    bool IsStopped() const;
    // Tasks queued and not yet started.
    size_t Pending() const;
    const std::string& Label() const;

private:
    using Task = std::function<void()>;
    bool OnThisLane() const;
    // Queues the task (throws when stopped or wedged).
    void Enqueue(const char* name, uint32_t budgetMs, Task task);
    std::chrono::steady_clock::time_point Now() const;
    // Polls `ready` once per poll interval until it returns true; gives up with code 3 when
    // the lane is stuck. `start` is when the caller submitted the task.
    void WaitForTask(const char* name, std::chrono::steady_clock::time_point start,
                     const std::function<bool(std::chrono::milliseconds)>& ready);

    std::shared_ptr<State> state_;
};

class BluetoothExecutor {
public:
    // Monotonic time source; tests inject one to make budget comparisons exact.
    using Clock = BluetoothLane::Clock;
    static constexpr size_t kDefaultMaxThreads = 32;

    // The process-wide executor with production timing. Created on first use, never
    // destroyed; a failed creation is retried at the next call.
    static BluetoothExecutor& Instance();

    // Starts the first thread (throws std::system_error when it cannot).
    explicit BluetoothExecutor(ExecutorTiming timing = {});
    BluetoothExecutor(ExecutorTiming timing, Clock clock, size_t maxThreads = kDefaultMaxThreads);
    // Stops the executor as Stop() does. Detached threads keep the shared state alive.
    ~BluetoothExecutor();
    BluetoothExecutor(const BluetoothExecutor&) = delete;
    BluetoothExecutor& operator=(const BluetoothExecutor&) = delete;

    // A new lane. `label` names it in log lines (for example "device 'MV-2401.00.01'");
    // `timing` (the executor's when not given) rules how its callers wait.
    BluetoothLane CreateLane(std::string label);
    BluetoothLane CreateLane(std::string label, ExecutorTiming timing);
    // The executor's own lane (the scanner's). Run, IsWedged and Pending below refer to it.
    BluetoothLane OwnLane() const { return ownLane_; }

    template <typename F>
    auto Run(const char* name, uint32_t budgetMs, F work) -> std::invoke_result_t<F> {
        return ownLane_.Run(name, budgetMs, std::move(work));
    }
    bool IsWedged() const { return ownLane_.IsWedged(); }
    size_t Pending() const { return ownLane_.Pending(); }

    // True once Stop() has been called.
    bool IsStopped() const;
    // True once every thread has ended (after Stop(), when the lanes were drained).
    bool WorkerExited() const;
    // Threads started and not yet ended, given-up ones included.
    size_t ThreadCount() const;
    // Lets the threads drain the queued tasks and joins them; detaches those that do not
    // finish within the stop wait. Final for every lane: later Run calls fail with code -1.
    // A second call returns at once.
    void Stop();

    struct Pool;  // shared with the threads and the lanes

private:
    std::shared_ptr<Pool> pool_;
    BluetoothLane ownLane_;
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
auto BluetoothLane::Run(const char* name, uint32_t budgetMs, F work) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if (OnThisLane()) return work();

    auto outcome = std::make_shared<Detail::TaskOutcome<R>>();
    // Held through a shared pointer so that move-only callables fit into std::function.
    auto callable = std::make_shared<F>(std::move(work));
    const auto start = Now();
    // The callable is moved into the task: the work's captures are released on the thread
    // that ran it.
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
        // Handed over after the handler has ended, so the thread is done with the exception
        // object before the caller can see it.
        outcome->SetError(std::move(error));
    });
    WaitForTask(name, start, [&outcome](std::chrono::milliseconds slice) { return outcome->WaitFor(slice); });
    return outcome->Take();
}

}  // namespace Mivo::BLE
