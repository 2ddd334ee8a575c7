#include "cli/view/amplifier_tap.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "cli/library.h"

namespace Mivo::Cli::View {

void TapTake::Clear() {
    skipped = 0;
    values.clear();
    valid.clear();
    battery = -1;
    changes.clear();
}

AmplifierTap::AmplifierTap(std::vector<uint32_t> signalColumns, uint32_t width, size_t limitRows)
    : columns_(std::move(signalColumns)), width_(width), limitRows_(std::max<size_t>(limitRows, 1)) {}

void AmplifierTap::AddRows(const float* rows, uint32_t count, uint32_t width) {
    if (width < 2 || count == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint32_t r = 0; r < count; ++r) {
        const float* row = rows + static_cast<size_t>(r) * width;
        // A row of another width than at open (a layout set by someone else) keeps the columns it has.
        for (uint32_t column : columns_) waiting_.values.push_back(column + 2 < width ? row[column] : std::nanf(""));
        waiting_.valid.push_back(row[width - 1] != 0.0f ? 1 : 0);
        waiting_.battery = row[width - 2];
    }
    rows_ += count;
    if (waiting_.valid.size() > limitRows_) {
        size_t excess = waiting_.valid.size() - limitRows_;
        waiting_.valid.erase(waiting_.valid.begin(), waiting_.valid.begin() + static_cast<std::ptrdiff_t>(excess));
        waiting_.values.erase(waiting_.values.begin(),
                              waiting_.values.begin() + static_cast<std::ptrdiff_t>(excess * columns_.size()));
        waiting_.skipped += excess;
    }
}

void AmplifierTap::AddLinkState(bool up) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.changes.push_back({up, rows_, std::chrono::system_clock::now()});
}

void AmplifierTap::Take(TapTake& out) {
    out.Clear();
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(out, waiting_);
}

namespace {

// The library's callbacks carry no user data: they find the tap by the device handle.
std::mutex g_tapsMutex;
std::vector<std::pair<MIVOBLE_HANDLE, AmplifierTap*>> g_taps;

AmplifierTap* FindTap(MIVOBLE_HANDLE handle) {
    for (auto& [h, tap] : g_taps)
        if (h == handle) return tap;
    return nullptr;
}

void OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t rowCount, uint32_t width) {
    std::lock_guard<std::mutex> lock(g_tapsMutex);
    if (auto* tap = FindTap(handle)) tap->AddRows(rows, rowCount, width);
}

void OnConnectionState(MIVOBLE_HANDLE handle, uint32_t state) {
    std::lock_guard<std::mutex> lock(g_tapsMutex);
    if (auto* tap = FindTap(handle)) tap->AddLinkState(state == MIVOBLE_CONNECTION_CONNECTED);
}

void Forget(MIVOBLE_HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_tapsMutex);
    std::erase_if(g_taps, [handle](const auto& entry) { return entry.first == handle; });
}

}  // namespace

TapConnection::TapConnection(MIVOBLE_HANDLE handle, AmplifierTap& tap, uint32_t framesPerCallback) : handle_(handle) {
    {
        std::lock_guard<std::mutex> lock(g_tapsMutex);
        g_taps.emplace_back(handle, &tap);
    }
    try {
        Check(MIVOBLE_SetFramesPerCallback(handle, framesPerCallback), "frames per callback");
        Check(MIVOBLE_RegisterConnectionStateCallback(handle, &OnConnectionState), "connection state");
        Check(MIVOBLE_RegisterDataAvailableBatchedCallback(handle, &OnRows), "start streaming");
    } catch (...) {
        MIVOBLE_RegisterDataAvailableBatchedCallback(handle, nullptr);
        MIVOBLE_RegisterConnectionStateCallback(handle, nullptr);
        Forget(handle);
        throw;
    }
}

TapConnection::~TapConnection() {
    MIVOBLE_RegisterDataAvailableBatchedCallback(handle_, nullptr);
    MIVOBLE_RegisterConnectionStateCallback(handle_, nullptr);
    Forget(handle_);
}

}  // namespace Mivo::Cli::View
