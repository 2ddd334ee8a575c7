#pragma once
// A list of event handlers with tokens that keeps the handler-removal promise of the
// stack interface. Shared by the backends.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Mivo::BLE::Platform {

// A list of event handlers with tokens. Remove() returns only when the handler is not
// running and will not be called again, unless it is called from inside that handler.
template <typename... Args>
class EventSource {
public:
    uint64_t Add(std::function<void(Args...)> handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto entry = std::make_shared<Entry>();
        entry->handler = std::move(handler);
        uint64_t token = ++next_;
        entries_[token] = entry;
        return token;
    }

    void Remove(uint64_t token) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto it = entries_.find(token);
        if (it == entries_.end()) return;
        auto entry = it->second;
        entries_.erase(it);
        entry->removed = true;
        auto self = std::this_thread::get_id();
        idle_.wait(lock, [&] {
            for (auto id : entry->runningOn)
                if (id != self) return false;
            return true;
        });
    }

    bool Empty() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.empty();
    }

    // Calls every handler in token order. Exceptions from handlers are swallowed.
    void Fire(Args... args) {
        std::vector<std::shared_ptr<Entry>> snapshot;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& [token, entry] : entries_) snapshot.push_back(entry);
        }
        auto self = std::this_thread::get_id();
        for (auto& entry : snapshot) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (entry->removed) continue;
                entry->runningOn.push_back(self);
            }
            try {
                entry->handler(args...);
            } catch (...) {
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                auto& r = entry->runningOn;
                for (auto it = r.begin(); it != r.end(); ++it)
                    if (*it == self) {
                        r.erase(it);
                        break;
                    }
            }
            idle_.notify_all();
        }
    }

private:
    struct Entry {
        std::function<void(Args...)> handler;
        bool removed = false;
        std::vector<std::thread::id> runningOn;
    };
    std::mutex mutex_;
    std::condition_variable idle_;
    std::map<uint64_t, std::shared_ptr<Entry>> entries_;
    uint64_t next_ = 0;
};

}  // namespace Mivo::BLE::Platform
