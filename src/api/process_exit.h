#pragma once
// What the library does when the host process exits without MIVOBLE_Shutdown (a return from
// main, exit(), an interpreter that ends).

namespace Mivo::BLE {

// Registers (once per process) the exit handler: it clears the discovery callbacks, stops
// the Bluetooth worker (within the executor's stop wait), closes every open device (their
// callbacks are cleared, their reconnect threads end and their platform handlers are
// removed) and stops the Bluetooth stack's threads. Whatever a thread left behind (a detached
// worker, a device kept alive) then only meets objects that are never destroyed. Called when
// the process-wide factory is created, so the handler runs before the static destructors of
// a host whose globals were constructed earlier.
void InstallExitHandler();

// The handler itself (tests call it to check what it leaves behind).
void StopLibraryAtExit() noexcept;

}  // namespace Mivo::BLE
