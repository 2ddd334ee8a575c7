#pragma once
// Threads of the simulator: a timer thread that runs tasks at their due time (one thread,
// no busy waiting); event sources are the platform layer's.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/event_source.h"

namespace Mivo::BLE::Sim {

using Clock = std::chrono::steady_clock;

// Runs tasks on one thread in due-time order (posting order among equal times). Stop()
// drops what is still queued and joins; tasks posted afterwards are dropped.
class TimerThread {
public:
    using TaskId = uint64_t;
    explicit TimerThread(const std::string& name);
    ~TimerThread();
    TimerThread(const TimerThread&) = delete;
    TimerThread& operator=(const TimerThread&) = delete;

    TaskId PostAt(Clock::time_point due, std::function<void()> task);
    TaskId Post(std::function<void()> task) { return PostAt(Clock::now(), std::move(task)); }
    TaskId PostAfter(Clock::duration delay, std::function<void()> task) {
        return PostAt(Clock::now() + delay, std::move(task));
    }
    void Cancel(TaskId id);  // a task not yet started will not run
    void Stop();
    bool OnThisThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    // Shared with the thread, so a Stop() from one of its own tasks can detach safely.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::map<std::pair<Clock::time_point, TaskId>, std::function<void()>> queue;
        std::map<TaskId, Clock::time_point> dueOf;
        TaskId next = 0;
        bool stopping = false;
    };
    static void Loop(std::shared_ptr<State> state);

    std::shared_ptr<State> s_ = std::make_shared<State>();
    std::thread thread_;
};

template <typename... Args>
using EventSource = Platform::EventSource<Args...>;

}  // namespace Mivo::BLE::Sim
