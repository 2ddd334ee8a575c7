#include "protocol/payload_size_monitor.h"

#include "log/log.h"

namespace Mivo::BLE {

void PayloadSizeMonitor::Dropped(size_t expected, size_t received) {
    ++count_;
    const auto now = Clock::now();
    if (lastLine_ && now - *lastLine_ < logInterval_) return;
    lastLine_ = now;
    LogMessage(kLogWarn,
               "device '%s': sample payload of %zu bytes dropped; the layout expects %zu bytes (%llu dropped for "
               "their size so far)",
               name_.c_str(), received, expected, static_cast<unsigned long long>(count_));
}

}  // namespace Mivo::BLE
