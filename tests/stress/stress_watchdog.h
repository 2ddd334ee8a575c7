#pragma once
// Fails the stress run when a library call does not return within its bound. Every call the
// run makes sits in a CallGuard naming the call; a watchdog thread looks at the open guards
// a few times a second and ends the process with a message naming the stuck call (its
// thread cannot be joined any more).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

namespace Stress {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

class Watchdog {
public:
    static constexpr size_t kSlots = 512;

    struct Slot {
        std::atomic<bool> claimed{false};
        std::atomic<const char*> call{nullptr};
        std::atomic<int64_t> startMs{0};
        std::atomic<int64_t> boundMs{0};
    };

    // Never destroyed: library threads may still run guarded callbacks during process exit.
    static Watchdog& Instance() {
        static Watchdog* watchdog = new Watchdog;
        return *watchdog;
    }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    // The slot of the calling thread (claimed at its first guarded call, freed at its exit);
    // null when every slot is taken, and then the thread's calls go unwatched.
    Slot* ThreadSlot() {
        struct Owner {
            Slot* slot = nullptr;
            ~Owner() {
                if (slot) slot->claimed.store(false);
            }
        };
        thread_local Owner owner;
        if (!owner.slot) {
            for (Slot& s : slots_) {
                bool expected = false;
                if (s.claimed.compare_exchange_strong(expected, true)) {
                    owner.slot = &s;
                    break;
                }
            }
        }
        return owner.slot;
    }

    static int64_t NowMs() { return std::chrono::duration_cast<Milliseconds>(Clock::now().time_since_epoch()).count(); }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, Milliseconds(200), [&] { return stopping_; })) {
            const int64_t now = NowMs();
            for (Slot& s : slots_) {
                const char* call = s.call.load();
                if (!call) continue;
                const int64_t elapsed = now - s.startMs.load();
                const int64_t bound = s.boundMs.load();
                if (elapsed > bound && s.call.load() == call) {
                    std::fprintf(stderr,
                                 "stress: FAIL no-hang: %s has not returned after %lld ms (its bound is %lld ms)\n",
                                 call, static_cast<long long>(elapsed), static_cast<long long>(bound));
                    std::fflush(stderr);
                    std::_Exit(2);
                }
            }
        }
    }

    Slot slots_[kSlots];
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// Watches one call on this thread; a guard inside another (a call from a callback that a
// watched call runs) watches the inner call and gives the outer one back afterwards.
class CallGuard {
public:
    CallGuard(const char* call, Milliseconds bound) : slot_(Watchdog::Instance().ThreadSlot()) {
        if (!slot_) return;
        previousCall_ = slot_->call.load();
        previousStart_ = slot_->startMs.load();
        previousBound_ = slot_->boundMs.load();
        slot_->call.store(nullptr);
        slot_->startMs.store(Watchdog::NowMs());
        slot_->boundMs.store(bound.count());
        slot_->call.store(call);
    }
    ~CallGuard() {
        if (!slot_) return;
        slot_->call.store(nullptr);
        slot_->startMs.store(previousStart_);
        slot_->boundMs.store(previousBound_);
        slot_->call.store(previousCall_);
    }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

private:
    Watchdog::Slot* slot_;
    const char* previousCall_ = nullptr;
    int64_t previousStart_ = 0;
    int64_t previousBound_ = 0;
};

}  // namespace Stress
