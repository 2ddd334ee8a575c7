#pragma once
// Time constants of the Bluetooth runtime. Production uses the defaults; tests pass
// shorter values so that time-outs can be exercised in milliseconds.
#include <chrono>

namespace Mivo::BLE {

struct ExecutorTiming {
    std::chrono::milliseconds poll{1000};             // Run() waits in slices of this
    std::chrono::milliseconds pendingWarnAfter{2000};  // "still pending" warnings after this
    std::chrono::milliseconds overrunTolerance{5000};  // running task past budget + this: wedged
    std::chrono::milliseconds stallLimit{10000};       // queue not moving for this long: wedged
    std::chrono::milliseconds stopWait{2000};          // Stop() waits this long before detaching
};

}  // namespace Mivo::BLE
