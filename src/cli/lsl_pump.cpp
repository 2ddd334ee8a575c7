#include "cli/lsl_pump.h"

#include <pthread.h>

#include <cstdio>
#include <exception>
#include <map>

#include "cli/library.h"

namespace Mivo::Cli {

namespace {
// The library's callbacks carry the handle, not user data: the pump of each device is found
// here. A pump leaves the map before it is destroyed, so a late callback finds nothing.
std::mutex g_pumpsMutex;
std::map<MIVOBLE_HANDLE, LslPump*> g_pumps;
}  // namespace

LslPump::LslPump(MIVOBLE_HANDLE handle, RowBridge& bridge, double (*clock)())
    : handle_(handle), bridge_(bridge), clock_(clock) {
    thread_ = std::thread([this] { Run(); });
    pthread_setname_np(thread_.native_handle(), "mivoble-lsl");
    {
        std::lock_guard<std::mutex> lock(g_pumpsMutex);
        g_pumps[handle_] = this;
    }
    try {
        Check(MIVOBLE_RegisterConnectionStateCallback(handle_, &LslPump::OnConnectionState), "connection state");
        Check(MIVOBLE_RegisterDataAvailableCallback(handle_, &LslPump::OnRow), "start streaming");
    } catch (...) {
        Stop();
        throw;
    }
}

LslPump::~LslPump() { Stop(); }

void LslPump::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    {
        std::lock_guard<std::mutex> lock(g_pumpsMutex);
        g_pumps.erase(handle_);
    }
    MIVOBLE_RegisterDataAvailableCallback(handle_, nullptr);
    MIVOBLE_RegisterConnectionStateCallback(handle_, nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_one();
    thread_.join();
    bridge_.Finish();
}

uint64_t LslPump::LinkLosses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return linkLosses_;
}

void LslPump::OnRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
    std::lock_guard<std::mutex> lock(g_pumpsMutex);
    auto it = g_pumps.find(handle);
    if (it != g_pumps.end()) it->second->Queue(Kind::Row, row, width, it->second->clock_());
}

void LslPump::OnConnectionState(MIVOBLE_HANDLE handle, uint32_t state) {
    std::lock_guard<std::mutex> lock(g_pumpsMutex);
    auto it = g_pumps.find(handle);
    if (it != g_pumps.end())
        it->second->Queue(state == MIVOBLE_CONNECTION_LOST ? Kind::LinkLost : Kind::LinkBack, nullptr, 0,
                          it->second->clock_());
}

void LslPump::Queue(Kind kind, const float* row, uint32_t width, double arrival) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        wake = items_.empty();
        items_.push_back({kind, width, arrival});
        if (row) values_.insert(values_.end(), row, row + width);
        if (kind == Kind::LinkLost) ++linkLosses_;
    }
    if (wake) changed_.notify_one();
}

void LslPump::Run() {
    // Swapped with the queue on every wake, so that neither side allocates once both have grown.
    std::vector<Item> items;
    std::vector<float> values;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !items_.empty() || stopping_; });
            if (items_.empty()) return;
            items.swap(items_);
            values.swap(values_);
        }
        try {
            const float* row = values.data();
            for (const auto& item : items) {
                switch (item.kind) {
                    case Kind::Row:
                        bridge_.Rows(row, 1, item.width, item.arrival);
                        row += item.width;
                        break;
                    case Kind::LinkLost: bridge_.LinkLost(item.arrival); break;
                    case Kind::LinkBack: bridge_.LinkBack(item.arrival); break;
                }
            }
            bridge_.Flush();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mivoble: rows dropped: %s\n", e.what());
        }
        items.clear();
        values.clear();
    }
}

}  // namespace Mivo::Cli
