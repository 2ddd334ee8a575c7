// Entry point of the simulated backend (filled in by the simulator).
#include "platform/backend.h"

namespace Mivo::BLE::Platform {

std::shared_ptr<IStack> CreateSimStack() { return CreateNoAdapterStack(); }

}  // namespace Mivo::BLE::Platform
