#pragma once
// The BlueZ backend: the stack interface over org.bluez on the system bus.
#include <chrono>
#include <memory>

#include "platform/stack.h"

namespace Mivo::BLE::Platform::Bluez {

struct BluezTiming {
    // How long a connected device may take to report its services resolved.
    std::chrono::milliseconds servicesResolved{15000};
    // Reply time-out of D-Bus calls: a backstop behind the logic's own bounds.
    std::chrono::milliseconds call{25000};
    // Start of discovery, inside the watcher's synchronous Start().
    std::chrono::milliseconds startDiscovery{5000};
    // A device BlueZ does not know (any more) is looked for by discovery this long.
    std::chrono::milliseconds findDevice{5000};
    // Close waits this long for the link to go down.
    std::chrono::milliseconds close{5000};
    // Notifications through AcquireNotify sockets (StartNotify when refused) instead of
    // StartNotify and PropertiesChanged(Value). Off by default: bluetoothd ends an acquired
    // session only when it notices the socket closed, so subscribing again right after
    // unsubscribing can be refused with "Notify acquired". MIVOBLE_BLUEZ_NOTIFY=acquire.
    bool acquireNotify = false;
};

std::shared_ptr<IStack> MakeBluezStack(BluezTiming timing);

}  // namespace Mivo::BLE::Platform::Bluez
