#include "strand.h"

#include <cstdio>
#include <exception>

namespace Mivo::FakeBluez {

Strand::Strand() : thread_([this] { Loop(); }) {}

Strand::~Strand() { Stop(); }

bool Strand::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        queue_.push_back(std::move(work));
    }
    wake_.notify_one();
    return true;
}

void Strand::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable() && !OnThisThread()) thread_.join();
}

void Strand::Loop() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            work();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mivoble-fake-bluetoothd: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "mivoble-fake-bluetoothd: unknown exception in a work item\n");
        }
    }
}

}  // namespace Mivo::FakeBluez
