#pragma once
// Time constants of the Bluetooth runtime. Production uses the defaults; tests pass
// shorter values so that time-outs can be exercised in milliseconds.
#include <chrono>

namespace Mivo::BLE {

// How a lane's callers wait for their tasks and judge a lane that stops making progress.
// Every lane has its own; the executor's own lane and Stop() use the executor's.
struct ExecutorTiming {
    std::chrono::milliseconds poll{1000};              // Run() waits in slices of this
    std::chrono::milliseconds pendingWarnAfter{2000};  // "still pending" warnings after this
    std::chrono::milliseconds overrunTolerance{5000};  // running task past budget + this: wedged
    std::chrono::milliseconds stallLimit{10000};       // queue not moving for this long: wedged
    std::chrono::milliseconds stopWait{2000};          // Stop() waits this long before detaching
    std::chrono::milliseconds idleExit{10000};         // a thread beyond the first idle this long ends
};

}  // namespace Mivo::BLE
