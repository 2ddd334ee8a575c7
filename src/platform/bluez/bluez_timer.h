#pragma once
// One thread that runs tasks when their deadline passes (bounded waits of the BlueZ
// backend). It sleeps on a condition variable until the earliest deadline: no polling.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace Mivo::BLE::Platform::Bluez {

class DeadlineTimer {
public:
    using Clock = std::chrono::steady_clock;
    using Id = uint64_t;

    DeadlineTimer();
    ~DeadlineTimer();
    DeadlineTimer(const DeadlineTimer&) = delete;
    DeadlineTimer& operator=(const DeadlineTimer&) = delete;

    // 0 once stopped. Tasks run on the timer thread; exceptions are swallowed.
    Id After(std::chrono::milliseconds delay, std::function<void()> task);
    // A task that has not started will not run.
    void Cancel(Id id);
    // Drops what is queued and joins (detaches when called from a task).
    void Stop();

private:
    // Shared with the thread, so a Stop() from one of its own tasks can detach safely.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::map<std::pair<Clock::time_point, Id>, std::function<void()>> queue;
        std::map<Id, Clock::time_point> due;
        Id next = 0;
        bool stopping = false;
    };
    static void Loop(const std::shared_ptr<State>& s);

    std::shared_ptr<State> s_ = std::make_shared<State>();
    std::thread thread_;
};

}  // namespace Mivo::BLE::Platform::Bluez
