#pragma once
// Time constants of one opened device. Production uses the defaults; tests pass shorter
// values so that pauses, time-outs and back-off can be exercised in milliseconds.
#include <chrono>
#include <cstdint>

#include "device/gatt_access.h"
#include "runtime/timing.h"

namespace Mivo::BLE {

struct DeviceTiming {
    using ms = std::chrono::milliseconds;

    // Open.
    int openAttempts = 3;                    // connect attempts of the open (a reconnect makes one)
    ms attemptPause{500};                    // pause between two attempts
    ms resolvePoll{100};                     // address lookup: one poll of the scanner's list
    ms resolveLimit{10000};                  // address lookup: give up after this much scanning
    uint32_t fromAddressBoundMs = 10000;     // bound of the device-object query
    uint32_t discoveryDeadlineMs = 30000;    // all of service discovery
    uint32_t servicesBoundMs = 20000;        // the service query (within the deadline)
    uint32_t characteristicsBoundMs = 5000;  // each characteristic query (within the deadline)
    ms configurationWait{1500};              // each announced configuration table

    // Reconnect and close.
    ms reconnectFirstDelay{500};  // pause after the first failed reconnect attempt
    ms reconnectMaxDelay{5000};   // the pause doubles up to this
    ms closeBound{5000};          // Close waits this long for the reconnect thread

    // Command frames.
    ms frameDrainWindow{60};  // one window of draining stale TX notifications
    ms frameDrainLimit{600};  // draining ends after this in any case

    // Executor task budgets.
    uint32_t taskBudgetMs = 15000;       // every task but the two below
    uint32_t discoveryBudgetMs = 30000;  // "DiscoverServices"
    uint32_t teardownBudgetMs = 30000;   // "TeardownConnection"

    // Bounds of the GATT reads, writes and (un)subscriptions.
    GattTiming gatt{};

    // How callers wait on the device's lane of the Bluetooth executor, and when the lane
    // counts as wedged.
    ExecutorTiming lane{};
};

}  // namespace Mivo::BLE
