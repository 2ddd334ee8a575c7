#pragma once
// Which Bluetooth stack the library talks to: MIVOBLE_BACKEND, read once per process,
// "bluez" (default) or "sim". An unknown value is logged at ERROR and behaves like a
// stack without an adapter.
#include <memory>

#include "platform/stack.h"

namespace Mivo::BLE::Platform {

// The process-wide stack, created on first use.
std::shared_ptr<IStack> GetStack();
// Tests install their own stack (nullptr returns to the configured one).
void SetStackForTesting(std::shared_ptr<IStack> stack);

// Constructors of the backends.
std::shared_ptr<IStack> CreateSimStack();        // platform/sim
std::shared_ptr<IStack> CreateBluezStack();      // platform/bluez
std::shared_ptr<IStack> CreateNoAdapterStack();  // a stack whose default adapter is none

}  // namespace Mivo::BLE::Platform
