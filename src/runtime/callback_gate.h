#pragma once
// Lets an owner replace callbacks that other threads call outside the owner's lock, and
// return only once no thread is still in (or about to enter) a call of the old ones.
//
// A caller takes a copy of the callbacks and enters the gate in one critical section of the
// owner's lock, calls the copy without the lock, and leaves. Whoever replaces the callbacks
// does so under the same lock and then waits for every call that entered before: a call
// that starts later sees the new callbacks. A call on the replacing thread itself (the
// callback replacing itself) is not waited for, or it would wait on itself.
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>

namespace Mivo::BLE {

class CallbackGate {
public:
    struct Call {
        uint64_t epoch;
        std::thread::id thread;
    };
    using Ticket = std::list<Call>::iterator;

    // The owner's lock is held: a call of the callbacks copied in this critical section starts.
    Ticket EnterLocked() { return calls_.insert(calls_.end(), Call{epoch_, std::this_thread::get_id()}); }

    // The owner's lock is held: the call has ended.
    void LeaveLocked(Ticket ticket) {
        calls_.erase(ticket);
        ended_.notify_all();
    }

    // The owner's lock is held through `lock` and the callbacks were just replaced: waits
    // (releasing the lock meanwhile) until every call that entered earlier on another thread
    // has left.
    void WaitForEarlierCalls(std::unique_lock<std::mutex>& lock) {
        const uint64_t replaced = epoch_++;
        const std::thread::id self = std::this_thread::get_id();
        ended_.wait(lock, [&] {
            for (const Call& call : calls_) {
                if (call.epoch <= replaced && call.thread != self) return false;
            }
            return true;
        });
    }

private:
    uint64_t epoch_ = 0;
    std::list<Call> calls_;
    std::condition_variable ended_;
};

}  // namespace Mivo::BLE
