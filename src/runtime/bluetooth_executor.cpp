#include "runtime/bluetooth_executor.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "api/api_exception.h"
#include "log/log.h"

namespace Mivo::BLE {
namespace {

constexpr const char* kShutDownText = "Bluetooth runtime has been shut down.";
constexpr const char* kUnresponsiveText = "Bluetooth worker thread is unresponsive; restart required.";

long long WholeMs(std::chrono::steady_clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

}  // namespace

struct BluetoothExecutor::State {
    struct Item {
        Task task;
        const char* name;
        uint32_t budgetMs;
    };

    ExecutorTiming timing;
    Clock clock;

    std::mutex lock;
    std::condition_variable wake;    // worker: work queued or stop requested
    std::condition_variable exited;  // Stop(): worker has left its loop
    std::deque<Item> queue;
    bool stopRequested = false;
    bool running = false;
    std::chrono::steady_clock::time_point taskStart{};
    std::chrono::steady_clock::time_point lastActivity{};
    const char* currentName = nullptr;
    uint32_t currentBudget = 0;
    std::atomic<bool> wedged{false};
    std::atomic<bool> workerExited{false};

    std::thread worker;
    std::thread::id workerId;  // fixed once the worker is started

    void WorkerLoop();
    // Both judge the worker at `now`, the caller's reading of the clock for this poll.
    bool IsOverrunning(std::chrono::steady_clock::time_point now);
    bool IsStalled(std::chrono::steady_clock::time_point now);
    void MarkWedged();
};

void BluetoothExecutor::State::WorkerLoop() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return stopRequested || !queue.empty(); });
        if (queue.empty()) {  // stop requested and everything queued has run
            workerExited = true;
            guard.unlock();
            exited.notify_all();
            return;
        }
        Item item = std::move(queue.front());
        queue.pop_front();
        running = true;
        taskStart = lastActivity = clock();
        currentName = item.name;
        currentBudget = item.budgetMs;
        guard.unlock();

        try {
            item.task();
        } catch (...) {
            // Run() packages every exception into the caller's result; nothing to do here.
        }

        guard.lock();
        running = false;
        lastActivity = clock();
        const long long elapsed = WholeMs(lastActivity - taskStart);
        guard.unlock();

        if (elapsed > static_cast<long long>(item.budgetMs)) {
            LogMessage(kLogWarn, "executor: '%s' took %lld ms (budget %u ms)", item.name, elapsed, item.budgetMs);
        } else {
            LogMessage(kLogDebug, "executor: '%s' done in %lld ms", item.name, elapsed);
        }
        // The callable may own the last references to platform objects: release them here,
        // outside the lock.
        item.task = nullptr;
        guard.lock();
    }
}

bool BluetoothExecutor::State::IsOverrunning(std::chrono::steady_clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock);
    if (!running) return false;
    const auto limit = std::chrono::milliseconds(currentBudget) + timing.overrunTolerance;
    return now - taskStart > limit;
}

bool BluetoothExecutor::State::IsStalled(std::chrono::steady_clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock);
    return !running && !queue.empty() && now - lastActivity > timing.stallLimit;
}

void BluetoothExecutor::State::MarkWedged() {
    bool expected = false;
    if (!wedged.compare_exchange_strong(expected, true)) return;
    const char* name;
    uint32_t budget;
    {
        std::lock_guard<std::mutex> guard(lock);
        name = currentName ? currentName : "unknown";
        budget = currentBudget;
    }
    LogMessage(kLogError,
               "executor WEDGED: task '%s' overran its %u ms budget. New Bluetooth work now fails fast; devices will "
               "be leaked instead of destroyed (a pending task still holds them). Recovery requires restarting the "
               "host process.",
               name, budget);
}

BluetoothExecutor& BluetoothExecutor::Instance() {
    // Never destroyed: a detached or stuck worker may still use it at process exit. A
    // constructor that throws leaves the static uninitialised, so the next call retries.
    static BluetoothExecutor* instance = new BluetoothExecutor();
    return *instance;
}

BluetoothExecutor::BluetoothExecutor(ExecutorTiming timing)
    : BluetoothExecutor(timing, [] { return std::chrono::steady_clock::now(); }) {}

BluetoothExecutor::BluetoothExecutor(ExecutorTiming timing, Clock clock) : state_(std::make_shared<State>()) {
    state_->timing = timing;
    state_->clock = clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); });
    state_->lastActivity = state_->clock();
    // The worker shares the state, so a worker detached by Stop() outlives this object safely.
    std::shared_ptr<State> state = state_;
    state_->worker = std::thread([state] { state->WorkerLoop(); });
    state_->workerId = state_->worker.get_id();
}

BluetoothExecutor::~BluetoothExecutor() { Stop(); }

bool BluetoothExecutor::IsWedged() const { return state_->wedged.load(); }

bool BluetoothExecutor::IsStopped() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->stopRequested;
}

bool BluetoothExecutor::WorkerExited() const { return state_->workerExited.load(); }

size_t BluetoothExecutor::Pending() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->queue.size();
}

bool BluetoothExecutor::OnWorkerThread() const { return std::this_thread::get_id() == state_->workerId; }

void BluetoothExecutor::Enqueue(const char* name, uint32_t budgetMs, Task task) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->stopRequested) throw ApiException(kShutDownText, -1);
        if (state_->wedged) throw ApiException(kUnresponsiveText, 3);
        state_->queue.push_back(State::Item{std::move(task), name, budgetMs});
    }
    state_->wake.notify_one();
}

std::chrono::steady_clock::time_point BluetoothExecutor::Now() const { return state_->clock(); }

void BluetoothExecutor::WaitForTask(const char* name, std::chrono::steady_clock::time_point start,
                                    const std::function<bool(std::chrono::milliseconds)>& ready) {
    // A local owner: once the task is done the worker (possibly detached) may drop the state.
    const std::shared_ptr<State> keep = state_;
    State& s = *keep;
    for (;;) {
        if (ready(s.timing.poll)) return;
        // One reading per poll: the logged time is the time the decision was made at.
        const auto now = s.clock();
        const long long elapsed = WholeMs(now - start);
        if (s.IsOverrunning(now) || s.IsStalled(now)) {
            s.MarkWedged();
            LogMessage(kLogError, "executor: giving up on '%s' after %lld ms behind an unresponsive task", name, elapsed);
            throw ApiException(kUnresponsiveText, 3);
        }
        if (elapsed > WholeMs(s.timing.pendingWarnAfter)) {
            LogMessage(kLogWarn, "executor: '%s' still pending after %lld ms", name, elapsed);
        }
    }
}

void BluetoothExecutor::Stop() {
    State& s = *state_;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.stopRequested) return;
        s.stopRequested = true;
    }
    s.wake.notify_all();

    if (OnWorkerThread()) {
        // Stopped from inside a task: the worker leaves its loop once the queue is drained.
        s.worker.detach();
        return;
    }
    bool exited;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        exited = s.exited.wait_for(guard, s.timing.stopWait, [&s] { return s.workerExited.load(); });
    }
    if (exited) {
        s.worker.join();
        return;
    }
    LogMessage(kLogError, "executor: worker did not stop within %u ms; detaching it",
               static_cast<unsigned>(s.timing.stopWait.count()));
    s.worker.detach();  // it keeps the shared state alive
}

}  // namespace Mivo::BLE
