#include "platform/sim/sim_threads.h"

#include <pthread.h>

namespace Mivo::BLE::Sim {

TimerThread::TimerThread(const std::string& name) {
    thread_ = std::thread([state = s_] { Loop(state); });
    pthread_setname_np(thread_.native_handle(), name.substr(0, 15).c_str());
}

TimerThread::~TimerThread() { Stop(); }

TimerThread::TaskId TimerThread::PostAt(Clock::time_point due, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (s_->stopping) return 0;
    TaskId id = ++s_->next;
    bool first = s_->queue.empty() || due < s_->queue.begin()->first.first;
    s_->queue.emplace(std::make_pair(due, id), std::move(task));
    s_->dueOf[id] = due;
    if (first) s_->wake.notify_one();
    return id;
}

void TimerThread::Cancel(TaskId id) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    auto it = s_->dueOf.find(id);
    if (it == s_->dueOf.end()) return;
    s_->queue.erase({it->second, id});
    s_->dueOf.erase(it);
}

void TimerThread::Stop() {
    decltype(s_->queue) dropped;  // destroyed outside the lock: tasks may own objects that post
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        s_->stopping = true;
        dropped.swap(s_->queue);
        s_->dueOf.clear();
    }
    s_->wake.notify_all();
    if (thread_.joinable()) {
        if (OnThisThread()) thread_.detach();  // ends after the running task returns
        else thread_.join();
    }
}

void TimerThread::Loop(std::shared_ptr<State> s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stopping) {
        if (s->queue.empty()) {
            s->wake.wait(lock);
            continue;
        }
        auto due = s->queue.begin()->first.first;
        if (Clock::now() < due) {
            s->wake.wait_until(lock, due);
            continue;
        }
        auto node = s->queue.extract(s->queue.begin());
        s->dueOf.erase(node.key().second);
        lock.unlock();
        node.mapped()();
        node.mapped() = nullptr;
        lock.lock();
    }
}

}  // namespace Mivo::BLE::Sim
