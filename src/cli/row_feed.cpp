#include "cli/row_feed.h"

#include <map>

#include "cli/library.h"

namespace Mivo::Cli {

namespace {
// The library's callbacks carry the handle, not user data: each device's feed is found here.
// A feed leaves the map before it is destroyed, so a late callback finds nothing. Arrivals are
// stamped under this lock (see FeedGroup).
std::mutex g_feedsMutex;
std::map<MIVOBLE_HANDLE, RowFeed*> g_feeds;
}  // namespace

FeedGroup::FeedGroup(size_t members) : firstRows_(members) {}

size_t FeedGroup::Join() {
    std::lock_guard<std::mutex> lock(mutex_);
    return joined_++;
}

void FeedGroup::Queued(size_t member, bool rows, Clock::time_point at) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (rows && member < firstRows_.size() && !firstRows_[member]) firstRows_[member] = at;
        pending_ = true;
    }
    changed_.notify_all();
}

void FeedGroup::Wait(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return pending_; });
    pending_ = false;
}

void FeedGroup::Wake() { Queued(firstRows_.size(), false, Clock::now()); }

std::optional<FeedGroup::Clock::time_point> FeedGroup::CommonStart() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<Clock::time_point> latest;
    for (const auto& first : firstRows_) {
        if (!first) return std::nullopt;
        if (!latest || *first > *latest) latest = first;
    }
    return latest;
}

std::vector<size_t> FeedGroup::Silent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<size_t> silent;
    for (size_t i = 0; i < firstRows_.size(); ++i)
        if (!firstRows_[i]) silent.push_back(i);
    return silent;
}

RowFeed::RowFeed(MIVOBLE_HANDLE handle, uint32_t framesPerCallback, FeedGroup* group) : handle_(handle), group_(group) {
    if (group_) member_ = group_->Join();
    {
        std::lock_guard<std::mutex> lock(g_feedsMutex);
        g_feeds[handle_] = this;
    }
    try {
        Check(MIVOBLE_SetFramesPerCallback(handle, framesPerCallback), "frames per callback");
        Check(MIVOBLE_RegisterConnectionStateCallback(handle, &RowFeed::OnConnectionState), "connection state");
        started_ = std::chrono::steady_clock::now();
        Check(MIVOBLE_RegisterDataAvailableBatchedCallback(handle, &RowFeed::OnRows), "start streaming");
    } catch (...) {
        Stop();
        Leave();
        throw;
    }
}

RowFeed::~RowFeed() {
    Stop();
    Leave();
}

void RowFeed::Leave() {
    std::lock_guard<std::mutex> lock(g_feedsMutex);
    auto it = g_feeds.find(handle_);
    if (it != g_feeds.end() && it->second == this) g_feeds.erase(it);
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

void RowFeed::Deliver(MIVOBLE_HANDLE handle, FeedItem item) {
    std::lock_guard<std::mutex> lock(g_feedsMutex);
    item.arrived = std::chrono::steady_clock::now();
    auto it = g_feeds.find(handle);
    if (it != g_feeds.end()) it->second->Push(std::move(item));
}

void RowFeed::OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t rowCount, uint32_t width) {
    FeedItem item;
    item.kind = FeedItem::Kind::Rows;
    item.values.assign(rows, rows + static_cast<size_t>(rowCount) * width);
    item.rowCount = rowCount;
    item.width = width;
    Deliver(handle, std::move(item));
}

void RowFeed::OnConnectionState(MIVOBLE_HANDLE handle, uint32_t state) {
    FeedItem item;
    item.kind = state == MIVOBLE_CONNECTION_LOST ? FeedItem::Kind::LinkLost : FeedItem::Kind::LinkBack;
    Deliver(handle, std::move(item));
}

void RowFeed::Push(FeedItem item) {
    const bool rows = item.kind == FeedItem::Kind::Rows;
    const auto at = item.arrived;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
        queue_.push_back(std::move(item));
    }
    changed_.notify_one();
    if (group_) group_->Queued(member_, rows, at);
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
