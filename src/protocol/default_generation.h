#pragma once
// The process-wide default protocol generation (0 auto, 1 NUS, 2 legacy). Read by a device
// when it is constructed without a handler; changes affect only later opens.
#include <cstdint>

namespace Mivo::BLE {

uint32_t GetDefaultGeneration();
void SetDefaultGeneration(uint32_t generation);  // the caller has checked the range

}  // namespace Mivo::BLE
