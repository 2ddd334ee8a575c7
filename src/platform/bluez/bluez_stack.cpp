// The BlueZ backend is not built yet: until it is, "bluez" is a stack without an adapter,
// so the C API answers "No Bluetooth adapter found." honestly.
#include "platform/backend.h"

namespace Mivo::BLE::Platform {

std::shared_ptr<IStack> CreateBluezStack() { return CreateNoAdapterStack(); }

}  // namespace Mivo::BLE::Platform
