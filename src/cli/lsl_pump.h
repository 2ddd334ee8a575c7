// Rows and link events of one open amplifier, taken from the library's callbacks and handed to
// its RowBridge on a thread of its own. The callbacks only stamp the arrival (liblsl's clock)
// and queue; the bridge's work and the LSL pushes never run under the library's stream lock.
// Rows that arrive while the thread is busy are pushed together, as one chunk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/lsl_bridge.h"
#include "mivoble/mivoble.h"

namespace Mivo::Cli {

class LslPump {
public:
    // Registers the device's data and connection-state callbacks: the rows start flowing.
    // Any number of pumps may exist, one per device.
    LslPump(MIVOBLE_HANDLE handle, RowBridge& bridge, double (*clock)());
    // Stop().
    ~LslPump();
    LslPump(const LslPump&) = delete;
    LslPump& operator=(const LslPump&) = delete;

    // Unregisters the callbacks, hands the queued rows to the bridge and ends its stream.
    void Stop();

    uint64_t LinkLosses() const;

private:
    enum class Kind : uint8_t { Row, LinkLost, LinkBack };
    struct Item {
        Kind kind;
        uint32_t width;
        double arrival;
    };

    static void OnRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width);
    static void OnConnectionState(MIVOBLE_HANDLE handle, uint32_t state);
    void Queue(Kind kind, const float* row, uint32_t width, double arrival);
    void Run();

    MIVOBLE_HANDLE handle_;
    RowBridge& bridge_;
    double (*clock_)();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Item> items_;    // queued by the callbacks
    std::vector<float> values_;  // the queued rows' values
    bool stopping_ = false;
    bool stopped_ = false;
    uint64_t linkLosses_ = 0;
    std::thread thread_;
};

}  // namespace Mivo::Cli
