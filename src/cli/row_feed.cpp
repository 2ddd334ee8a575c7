#include "cli/row_feed.h"

#include "cli/library.h"

namespace Mivo::Cli {

namespace {
// The feed the library's callbacks deliver to; guarded so that a late callback never
// reaches a destroyed feed.
std::mutex g_activeMutex;
RowFeed* g_active = nullptr;
}  // namespace

RowFeed::RowFeed(MIVOBLE_HANDLE handle, uint32_t framesPerCallback) : handle_(handle) {
    {
        std::lock_guard<std::mutex> lock(g_activeMutex);
        g_active = this;
    }
    try {
        Check(MIVOBLE_SetFramesPerCallback(handle, framesPerCallback), "frames per callback");
        Check(MIVOBLE_RegisterConnectionStateCallback(handle, &RowFeed::OnConnectionState), "connection state");
        started_ = std::chrono::steady_clock::now();
        Check(MIVOBLE_RegisterDataAvailableBatchedCallback(handle, &RowFeed::OnRows), "start streaming");
    } catch (...) {
        Stop();
        std::lock_guard<std::mutex> lock(g_activeMutex);
        g_active = nullptr;
        throw;
    }
}

RowFeed::~RowFeed() {
    Stop();
    std::lock_guard<std::mutex> lock(g_activeMutex);
    g_active = nullptr;
}

void RowFeed::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    MIVOBLE_RegisterDataAvailableBatchedCallback(handle_, nullptr);
    MIVOBLE_RegisterConnectionStateCallback(handle_, nullptr);
}

void RowFeed::OnRows(MIVOBLE_HANDLE, const float* rows, uint32_t rowCount, uint32_t width) {
    FeedItem item;
    item.kind = FeedItem::Kind::Rows;
    item.values.assign(rows, rows + static_cast<size_t>(rowCount) * width);
    item.rowCount = rowCount;
    item.width = width;
    item.arrived = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(g_activeMutex);
    if (g_active) g_active->Push(std::move(item));
}

void RowFeed::OnConnectionState(MIVOBLE_HANDLE, uint32_t state) {
    FeedItem item;
    item.kind = state == MIVOBLE_CONNECTION_LOST ? FeedItem::Kind::LinkLost : FeedItem::Kind::LinkBack;
    item.arrived = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(g_activeMutex);
    if (g_active) g_active->Push(std::move(item));
}

void RowFeed::Push(FeedItem item) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
        queue_.push_back(std::move(item));
    }
    changed_.notify_one();
}

void RowFeed::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    changed_.notify_one();
}

std::vector<FeedItem> RowFeed::Take(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return !queue_.empty() || woken_; });
    woken_ = false;
    std::vector<FeedItem> items(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    return items;
}

}  // namespace Mivo::Cli
