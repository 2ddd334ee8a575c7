#pragma once
// A small pool of worker threads for background cancels and closes. Work items run in
// submission order per free worker; the destructor finishes queued items and joins.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
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
    // Runs what is queued, then joins the workers. Called from one of the pool's own work
    // items (for example when that item drops the last owner of the pool), it does not wait
    // for that worker, which finishes the queue on its own.
    void Shutdown();

private:
    // Shared with the workers, so a worker that is still finishing after Shutdown() returned
    // from one of its own items never touches a destroyed pool.
    struct Core {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> queue;
        bool stopping = false;
        void WorkerLoop();
    };

    std::shared_ptr<Core> core_;
    std::mutex threadsMutex_;
    std::vector<std::thread> workers_;
};

}  // namespace Mivo::BLE::Platform
