#include "runtime/bluetooth_executor.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/api_exception.h"
#include "log/log.h"

namespace Mivo::BLE {
namespace {

constexpr const char* kShutDownText = "Bluetooth runtime has been shut down.";
constexpr const char* kUnresponsiveText = "Bluetooth worker thread is unresponsive; restart required.";

long long WholeMs(std::chrono::steady_clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

using TimePoint = std::chrono::steady_clock::time_point;

}  // namespace

// Everything but the atomics is guarded by the pool's lock.
struct BluetoothLane::State {
    struct Item {
        Task task;
        const char* name;
        uint32_t budgetMs;
    };

    std::shared_ptr<BluetoothExecutor::Pool> pool;
    std::string label;
    ExecutorTiming timing;

    std::deque<Item> queue;
    bool scheduled = false;  // waiting for a thread, or served by one
    bool running = false;    // a thread executes one of its tasks
    TimePoint taskStart{};
    TimePoint lastActivity{};  // latest task start or end, or when work reached an idle lane
    const char* currentName = nullptr;
    uint32_t currentBudget = 0;
    bool threadGivenUp = false;  // the thread in its running task no longer counts against the cap
    std::atomic<bool> wedged{false};
};

struct BluetoothExecutor::Pool {
    using LaneState = BluetoothLane::State;
    struct Thread {
        std::thread thread;
        bool ended = false;
    };

    ExecutorTiming timing;
    Clock clock;
    size_t maxThreads = kDefaultMaxThreads;

    std::mutex lock;
    std::condition_variable wake;                  // free threads: a lane has work, or stop requested
    std::condition_variable exited;                // Stop(): a thread has ended
    std::deque<std::shared_ptr<LaneState>> ready;  // lanes with work and no thread
    bool stopRequested = false;
    std::list<Thread> threads;  // started and not yet joined or detached
    size_t alive = 0;           // threads that have not ended
    size_t free = 0;            // alive threads not executing a task
    size_t givenUp = 0;         // alive threads stuck in the task of a wedged lane
    bool saturationLogged = false;

    // Lock held. Throws std::system_error when no thread can be started.
    void StartThreadLocked(const std::shared_ptr<Pool>& self);
    // Lock held, a lane was just made ready: wakes a free thread or starts one. Returns the
    // warning to log (outside the lock) when neither is possible.
    std::string ServeLocked(const std::shared_ptr<Pool>& self, const LaneState& lane);
    // Lock held: takes the ended threads, to be joined outside the lock.
    std::vector<std::thread> TakeEndedLocked();
    void Loop(const std::shared_ptr<Pool>& keep, std::list<Thread>::iterator self);
    // Lock held: puts a lane whose task has just ended back in line, or lets it rest.
    void RescheduleLocked(const std::shared_ptr<LaneState>& lane, const std::shared_ptr<Pool>& self,
                          std::string& warning);

    // Both judge a lane at `now`, the caller's reading of the clock for this poll.
    bool IsOverrunning(LaneState& lane, TimePoint now);
    bool IsStalled(LaneState& lane, TimePoint now);
    void MarkWedged(const std::shared_ptr<LaneState>& lane, const std::shared_ptr<Pool>& self);
};

namespace {

// The lane whose task this thread is executing, and the pool the thread belongs to.
thread_local const BluetoothLane::State* tCurrentLane = nullptr;
thread_local const BluetoothExecutor::Pool* tCurrentPool = nullptr;

void JoinAll(std::vector<std::thread>& threads) {
    for (auto& t : threads)
        if (t.joinable()) t.join();
}

}  // namespace

void BluetoothExecutor::Pool::StartThreadLocked(const std::shared_ptr<Pool>& self) {
    auto entry = threads.emplace(threads.end());
    try {
        entry->thread = std::thread([self, entry] { self->Loop(self, entry); });
    } catch (...) {
        threads.erase(entry);
        throw;
    }
    ++alive;
    ++free;  // it looks at the ready lanes before it sleeps
}

std::string BluetoothExecutor::Pool::ServeLocked(const std::shared_ptr<Pool>& self, const LaneState& lane) {
    if (ready.size() <= free) {
        wake.notify_one();
        return {};
    }
    if (stopRequested) return {};
    if (alive - givenUp >= maxThreads) {
        if (saturationLogged) return {};
        saturationLogged = true;
        return "executor: all " + std::to_string(maxThreads) + " Bluetooth threads are busy; lane '" + lane.label +
               "' waits for one";
    }
    try {
        StartThreadLocked(self);
    } catch (const std::system_error& e) {
        return "executor: could not start another Bluetooth thread (" + std::string(e.what()) + "); lane '" +
               lane.label + "' waits for a busy one";
    }
    return {};
}

std::vector<std::thread> BluetoothExecutor::Pool::TakeEndedLocked() {
    std::vector<std::thread> out;
    for (auto it = threads.begin(); it != threads.end();) {
        if (it->ended) {
            out.push_back(std::move(it->thread));
            it = threads.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

void BluetoothExecutor::Pool::RescheduleLocked(const std::shared_ptr<LaneState>& lane,
                                               const std::shared_ptr<Pool>& self, std::string& warning) {
    if (lane->queue.empty()) {
        lane->scheduled = false;
        return;
    }
    // Behind the other lanes that have work: one task per turn keeps every lane moving.
    ready.push_back(lane);
    warning = ServeLocked(self, *lane);
}

void BluetoothExecutor::Pool::Loop(const std::shared_ptr<Pool>& keep, std::list<Thread>::iterator self) {
    tCurrentPool = this;
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        if (ready.empty()) {
            if (stopRequested) break;
            // The first thread waits for good; later ones end after an idle spell.
            const bool work = wake.wait_for(guard, timing.idleExit, [this] { return stopRequested || !ready.empty(); });
            if (!work && alive > 1) break;
            continue;
        }
        std::shared_ptr<LaneState> lane = std::move(ready.front());
        ready.pop_front();
        LaneState::Item item = std::move(lane->queue.front());
        lane->queue.pop_front();
        --free;
        lane->running = true;
        lane->taskStart = lane->lastActivity = clock();
        lane->currentName = item.name;
        lane->currentBudget = item.budgetMs;
        guard.unlock();

        tCurrentLane = lane.get();
        try {
            item.task();
        } catch (...) {
            // Run() packages every exception into the caller's result; nothing to do here.
        }
        tCurrentLane = nullptr;

        guard.lock();
        lane->running = false;
        lane->lastActivity = clock();
        const long long elapsed = WholeMs(lane->lastActivity - lane->taskStart);
        if (lane->threadGivenUp) {  // back from a task the lane was given up on
            lane->threadGivenUp = false;
            --givenUp;
        }
        ++free;
        saturationLogged = false;
        guard.unlock();

        if (elapsed > static_cast<long long>(item.budgetMs)) {
            LogMessage(kLogWarn, "executor: '%s' took %lld ms (budget %u ms)", item.name, elapsed, item.budgetMs);
        } else {
            LogMessage(kLogDebug, "executor: '%s' done in %lld ms", item.name, elapsed);
        }
        // The callable may own the last references to platform objects: release them here,
        // outside the lock, before the lane's next task can start.
        item.task = nullptr;

        std::string warning;
        guard.lock();
        RescheduleLocked(lane, keep, warning);
        if (!warning.empty()) {
            guard.unlock();
            LogMessage(kLogWarn, "%s", warning.c_str());
            guard.lock();
        }
    }
    // Leaving: whoever joins next finds this entry ended. Nothing of it is touched after this.
    self->ended = true;
    --alive;
    --free;
    guard.unlock();
    exited.notify_all();
    tCurrentPool = nullptr;
}

bool BluetoothExecutor::Pool::IsOverrunning(LaneState& lane, TimePoint now) {
    std::lock_guard<std::mutex> guard(lock);
    if (!lane.running) return false;
    const auto limit = std::chrono::milliseconds(lane.currentBudget) + lane.timing.overrunTolerance;
    return now - lane.taskStart > limit;
}

bool BluetoothExecutor::Pool::IsStalled(LaneState& lane, TimePoint now) {
    std::lock_guard<std::mutex> guard(lock);
    return !lane.running && !lane.queue.empty() && now - lane.lastActivity > lane.timing.stallLimit;
}

void BluetoothExecutor::Pool::MarkWedged(const std::shared_ptr<LaneState>& lane, const std::shared_ptr<Pool>& self) {
    bool expected = false;
    if (!lane->wedged.compare_exchange_strong(expected, true)) return;
    const char* name;
    uint32_t budget;
    std::string warning;
    {
        std::lock_guard<std::mutex> guard(lock);
        name = lane->currentName ? lane->currentName : "unknown";
        budget = lane->currentBudget;
        if (lane->running && !lane->threadGivenUp) {
            // Its thread is stuck in the platform: it stops counting against the cap, so the
            // other lanes keep their threads.
            lane->threadGivenUp = true;
            ++givenUp;
            if (!ready.empty()) warning = ServeLocked(self, *ready.front());
        }
    }
    LogMessage(kLogError,
               "executor WEDGED: task '%s' overran its %u ms budget. New Bluetooth work now fails fast; devices will "
               "be leaked instead of destroyed (a pending task still holds them). Recovery requires restarting the "
               "host process.",
               name, budget);
    LogMessage(kLogError, "executor: lane '%s' is wedged; Bluetooth work of other lanes goes on", lane->label.c_str());
    if (!warning.empty()) LogMessage(kLogWarn, "%s", warning.c_str());
}

// ---- BluetoothLane ----

BluetoothLane::BluetoothLane(std::shared_ptr<State> state) : state_(std::move(state)) {}

bool BluetoothLane::IsWedged() const { return state_->wedged.load(); }

bool BluetoothLane::IsStopped() const {
    std::lock_guard<std::mutex> guard(state_->pool->lock);
    return state_->pool->stopRequested;
}

size_t BluetoothLane::Pending() const {
    std::lock_guard<std::mutex> guard(state_->pool->lock);
    return state_->queue.size();
}

const std::string& BluetoothLane::Label() const { return state_->label; }

bool BluetoothLane::OnThisLane() const { return tCurrentLane == state_.get(); }

std::chrono::steady_clock::time_point BluetoothLane::Now() const { return state_->pool->clock(); }

void BluetoothLane::Enqueue(const char* name, uint32_t budgetMs, Task task) {
    BluetoothExecutor::Pool& pool = *state_->pool;
    std::string warning;
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        if (pool.stopRequested) throw ApiException(kShutDownText, -1);
        if (state_->wedged) throw ApiException(kUnresponsiveText, 3);
        state_->queue.push_back(State::Item{std::move(task), name, budgetMs});
        if (!state_->scheduled) {
            state_->scheduled = true;
            state_->lastActivity = pool.clock();  // waiting for a thread counts from now
            pool.ready.push_back(state_);
            warning = pool.ServeLocked(state_->pool, *state_);
        }
        ended = pool.TakeEndedLocked();
    }
    JoinAll(ended);
    if (!warning.empty()) LogMessage(kLogWarn, "%s", warning.c_str());
}

void BluetoothLane::WaitForTask(const char* name, std::chrono::steady_clock::time_point start,
                                const std::function<bool(std::chrono::milliseconds)>& ready) {
    // Local owners: once the task is done, the threads may drop the lane and the pool.
    const std::shared_ptr<State> lane = state_;
    const std::shared_ptr<BluetoothExecutor::Pool> pool = lane->pool;
    for (;;) {
        if (ready(lane->timing.poll)) return;
        // One reading per poll: the logged time is the time the decision was made at.
        const auto now = pool->clock();
        const long long elapsed = WholeMs(now - start);
        if (pool->IsOverrunning(*lane, now) || pool->IsStalled(*lane, now)) {
            pool->MarkWedged(lane, pool);
            LogMessage(kLogError, "executor: giving up on '%s' after %lld ms behind an unresponsive task", name,
                       elapsed);
            throw ApiException(kUnresponsiveText, 3);
        }
        if (elapsed > WholeMs(lane->timing.pendingWarnAfter)) {
            LogMessage(kLogWarn, "executor: '%s' still pending after %lld ms", name, elapsed);
        }
    }
}

// ---- BluetoothExecutor ----

BluetoothExecutor& BluetoothExecutor::Instance() {
    // Never destroyed: a detached or stuck thread may still use it at process exit. A
    // constructor that throws leaves the static uninitialised, so the next call retries.
    static BluetoothExecutor* instance = new BluetoothExecutor();
    return *instance;
}

namespace {

std::shared_ptr<BluetoothExecutor::Pool> MakePool(ExecutorTiming timing, BluetoothExecutor::Clock clock,
                                                  size_t maxThreads) {
    auto pool = std::make_shared<BluetoothExecutor::Pool>();
    pool->timing = timing;
    pool->clock = clock ? std::move(clock) : BluetoothExecutor::Clock([] { return std::chrono::steady_clock::now(); });
    pool->maxThreads = maxThreads == 0 ? 1 : maxThreads;
    return pool;
}

BluetoothLane MakeLane(const std::shared_ptr<BluetoothExecutor::Pool>& pool, std::string label, ExecutorTiming timing) {
    auto state = std::make_shared<BluetoothLane::State>();
    state->pool = pool;
    state->label = std::move(label);
    state->timing = timing;
    state->lastActivity = pool->clock();
    return BluetoothLane(std::move(state));
}

}  // namespace

BluetoothExecutor::BluetoothExecutor(ExecutorTiming timing) : BluetoothExecutor(timing, Clock{}, kDefaultMaxThreads) {}

BluetoothExecutor::BluetoothExecutor(ExecutorTiming timing, Clock clock, size_t maxThreads)
    : pool_(MakePool(timing, std::move(clock), maxThreads)), ownLane_(MakeLane(pool_, "scanner", timing)) {
    std::lock_guard<std::mutex> guard(pool_->lock);
    pool_->StartThreadLocked(pool_);
}

BluetoothExecutor::~BluetoothExecutor() { Stop(); }

BluetoothLane BluetoothExecutor::CreateLane(std::string label) { return CreateLane(std::move(label), pool_->timing); }

BluetoothLane BluetoothExecutor::CreateLane(std::string label, ExecutorTiming timing) {
    return MakeLane(pool_, std::move(label), timing);
}

bool BluetoothExecutor::IsStopped() const {
    std::lock_guard<std::mutex> guard(pool_->lock);
    return pool_->stopRequested;
}

bool BluetoothExecutor::WorkerExited() const {
    std::lock_guard<std::mutex> guard(pool_->lock);
    return pool_->stopRequested && pool_->alive == 0;
}

size_t BluetoothExecutor::ThreadCount() const {
    std::lock_guard<std::mutex> guard(pool_->lock);
    return pool_->alive;
}

void BluetoothExecutor::Stop() {
    Pool& pool = *pool_;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        if (pool.stopRequested) return;
        pool.stopRequested = true;
    }
    pool.wake.notify_all();

    std::list<Pool::Thread> threads;
    if (tCurrentPool == &pool) {
        // Stopped from inside a task: the threads leave once the lanes are drained.
        {
            std::lock_guard<std::mutex> guard(pool.lock);
            threads.swap(pool.threads);
        }
        for (auto& t : threads)
            if (t.thread.joinable()) t.thread.detach();
        return;
    }
    bool exited;
    {
        std::unique_lock<std::mutex> guard(pool.lock);
        exited = pool.exited.wait_for(guard, pool.timing.stopWait, [&pool] { return pool.alive == 0; });
        // Entries stay in the list (a thread still running marks its own on the way out);
        // only the thread objects move out.
        for (auto& t : pool.threads) threads.emplace_back(Pool::Thread{std::move(t.thread), t.ended});
    }
    if (!exited) {
        LogMessage(kLogError, "executor: worker did not stop within %u ms; detaching it",
                   static_cast<unsigned>(pool.timing.stopWait.count()));
    }
    for (auto& t : threads) {
        if (!t.thread.joinable()) continue;
        if (t.ended) {
            t.thread.join();
        } else {
            t.thread.detach();  // it keeps the shared state alive
        }
    }
}

}  // namespace Mivo::BLE
