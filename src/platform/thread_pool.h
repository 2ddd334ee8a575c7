#pragma once
// A small pool of worker threads for background cancels and closes. Work items run in
// submission order per free worker; the destructor finishes queued items and joins.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Mivo::BLE::Platform {

class ThreadPool {
public:
    explicit ThreadPool(size_t threads = 2);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // False once the pool is shutting down. Exceptions thrown by work are swallowed.
    bool Submit(std::function<void()> work);
    // Runs what is queued, then joins the workers.
    void Shutdown();

private:
    void WorkerLoop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

}  // namespace Mivo::BLE::Platform
