#include "platform/thread_pool.h"

namespace Mivo::BLE::Platform {

ThreadPool::ThreadPool(size_t threads) : core_(std::make_shared<Core>()) {
    if (threads == 0) threads = 1;
    try {
        for (size_t i = 0; i < threads; ++i) {
            std::shared_ptr<Core> core = core_;
            workers_.emplace_back([core] { core->WorkerLoop(); });
        }
    } catch (...) {
        Shutdown();  // join the workers already started before reporting the failure
        throw;
    }
}

ThreadPool::~ThreadPool() { Shutdown(); }

bool ThreadPool::Submit(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (core_->stopping) return false;
        core_->queue.push_back(std::move(work));
    }
    core_->wake.notify_one();
    return true;
}

void ThreadPool::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->stopping = true;
    }
    core_->wake.notify_all();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        workers.swap(workers_);
    }
    for (auto& t : workers) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();  // shutting down from one of our own items; the core outlives us
        } else {
            t.join();
        }
    }
}

void ThreadPool::Core::WorkerLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !queue.empty(); });
        if (queue.empty()) return;  // stopping and drained
        auto work = std::move(queue.front());
        queue.pop_front();
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
