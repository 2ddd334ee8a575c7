// Where one amplifier's rows and link changes wait for the view's server thread. The library's
// callbacks only copy into it under a short lock, and it holds at most a bounded number of rows
// (the oldest give way, counted), so nothing a page or the server does can hold up the data path.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "mivoble/mivoble.h"

namespace Mivo::Cli::View {

struct LinkChange {
    bool up = false;
    uint64_t row = 0;  // rows delivered before the change
    std::chrono::system_clock::time_point at;
};

// What the server takes at once: the rows since the last take, in order.
struct TapTake {
    uint64_t skipped = 0;       // rows that gave way before these (the server thread fell behind)
    std::vector<float> values;  // rows × signal channels
    std::vector<uint8_t> valid;
    float battery = -1;  // of the newest row; -1 when no row came
    std::vector<LinkChange> changes;
    void Clear();
};

class AmplifierTap {
public:
    // signalColumns: the row columns drawn (counter columns left out); width: values per row.
    AmplifierTap(std::vector<uint32_t> signalColumns, uint32_t width, size_t limitRows);

    size_t Channels() const { return columns_.size(); }
    void AddRows(const float* rows, uint32_t count, uint32_t width);
    void AddLinkState(bool up);
    // Moves what is waiting into `out` (cleared first); `out`'s buffers are reused next time.
    void Take(TapTake& out);

private:
    const std::vector<uint32_t> columns_;
    const uint32_t width_;
    const size_t limitRows_;
    std::mutex mutex_;
    TapTake waiting_;
    uint64_t rows_ = 0;
};

// Connects a device's batched rows and connection state to a tap while it exists.
class TapConnection {
public:
    TapConnection(MIVOBLE_HANDLE handle, AmplifierTap& tap, uint32_t framesPerCallback);
    ~TapConnection();
    TapConnection(const TapConnection&) = delete;
    TapConnection& operator=(const TapConnection&) = delete;

private:
    MIVOBLE_HANDLE handle_;
};

}  // namespace Mivo::Cli::View
