#pragma once
// The BlueZ backend: the stack interface over org.bluez on the system bus.
#include <chrono>
#include <memory>
#include <string>

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
    // With the controller's duplicate filter on, BlueZ passes a device's advertising on once
    // per discovery cycle (the kernel ends an LE discovery after 10.24 s and bluetoothd starts
    // the next): the longest time between two reports of a device that keeps advertising.
    std::chrono::milliseconds reportCycle{10240};
    // A call BlueZ answers "busy" (InProgress: an earlier operation of the characteristic is
    // still pending) is made again after this pause, until it goes through or is given up.
    std::chrono::milliseconds busyRetry{20};
    // Connects that failed with "le-connection-abort-by-local" are made again this often,
    // each after the link has fallen back to disconnected (or this long has passed).
    int connectRetries = 3;
    std::chrono::milliseconds connectSettle{2000};
    // The sample stream's notifications through an AcquireNotify socket, one notification per
    // packet, instead of PropertiesChanged(Value) signals; StartNotify when BlueZ refuses.
    // MIVOBLE_BLUEZ_NOTIFY=signal turns it off. Other characteristics always use StartNotify.
    bool acquireNotify = true;
    // The adapter to use (MIVOBLE_ADAPTER, as "hci1"); empty: the first powered one.
    std::string adapter;
};

std::shared_ptr<IStack> MakeBluezStack(const BluezTiming& timing);

}  // namespace Mivo::BLE::Platform::Bluez
