#include "api/boundary.h"

#include <algorithm>
#include <cstring>

namespace Mivo::BLE {

namespace {
thread_local char t_lastError[kLastErrorSize];
}

void SetLastErrorText(const char* text) noexcept {
    if (text == nullptr) text = "";
    const size_t count = std::min(std::strlen(text) + 1, kLastErrorSize);
    std::memcpy(t_lastError, text, count);
    t_lastError[count - 1] = '\0';
}

const char* LastErrorText() noexcept { return t_lastError; }

}  // namespace Mivo::BLE
