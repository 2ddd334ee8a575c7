#pragma once
// One thread that runs posted work in order. Every change of the served object model
// happens here, so signals leave in the order the events happened.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Mivo::FakeBluez {

class Strand {
public:
    Strand();
    ~Strand();  // runs what is queued, then joins
    Strand(const Strand&) = delete;
    Strand& operator=(const Strand&) = delete;

    // False once stopping. Exceptions thrown by work are logged and swallowed.
    bool Post(std::function<void()> work);
    void Stop();
    bool OnThisThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace Mivo::FakeBluez
