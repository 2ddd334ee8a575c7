#include "platform/thread_pool.h"

namespace Mivo::BLE::Platform {

ThreadPool::ThreadPool(size_t threads) {
    if (threads == 0) threads = 1;
    for (size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { WorkerLoop(); });
}

ThreadPool::~ThreadPool() { Shutdown(); }

bool ThreadPool::Submit(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        queue_.push_back(std::move(work));
    }
    wake_.notify_one();
    return true;
}

void ThreadPool::Shutdown() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
    }
    wake_.notify_all();
    for (auto& t : workers) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();  // shutting down from one of our own items
        } else {
            t.join();
        }
    }
}

void ThreadPool::WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping and drained
        auto work = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
            work();
        } catch (...) {
        }
        work = nullptr;
        lock.lock();
    }
}

}  // namespace Mivo::BLE::Platform
