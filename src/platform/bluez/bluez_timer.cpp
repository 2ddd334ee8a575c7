#include "platform/bluez/bluez_timer.h"

namespace Mivo::BLE::Platform::Bluez {

DeadlineTimer::DeadlineTimer() : thread_([s = s_] { Loop(s); }) {}

DeadlineTimer::~DeadlineTimer() { Stop(); }

DeadlineTimer::Id DeadlineTimer::After(std::chrono::milliseconds delay, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (s_->stopping) return 0;
    Id id = ++s_->next;
    auto due = Clock::now() + delay;
    s_->queue.emplace(std::make_pair(due, id), std::move(task));
    s_->due[id] = due;
    s_->wake.notify_all();
    return id;
}

void DeadlineTimer::Cancel(Id id) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    auto it = s_->due.find(id);
    if (it == s_->due.end()) return;
    s_->queue.erase(std::make_pair(it->second, id));
    s_->due.erase(it);
}

void DeadlineTimer::Stop() {
    decltype(s_->queue) dropped;  // destroyed outside the lock
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        s_->stopping = true;
        dropped.swap(s_->queue);
        s_->due.clear();
    }
    s_->wake.notify_all();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
}

void DeadlineTimer::Loop(const std::shared_ptr<State>& s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stopping) {
        if (s->queue.empty()) {
            s->wake.wait(lock);
            continue;
        }
        auto first = s->queue.begin();
        if (first->first.first > Clock::now()) {
            // A copy: a Cancel() while this waits frees the entry, and the wait reads its
            // deadline again when it wakes.
            const Clock::time_point deadline = first->first.first;
            s->wake.wait_until(lock, deadline);
            continue;
        }
        auto task = std::move(first->second);
        s->due.erase(first->first.second);
        s->queue.erase(first);
        lock.unlock();
        try {
            task();
        } catch (...) {
        }
        task = nullptr;
        lock.lock();
    }
}

}  // namespace Mivo::BLE::Platform::Bluez
