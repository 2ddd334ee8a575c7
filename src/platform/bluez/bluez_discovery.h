#pragma once
// Discovery of this bus connection: BlueZ keeps one discovery session per D-Bus sender, so
// every watcher and device look-up of the process shares it. It is paused while a device
// connects, as many controllers abort a connection they are asked to make during an active
// scan ("le-connection-abort-by-local"), and resumed afterwards. Calls go to BlueZ in the
// order of the changes, and BlueZ handles a sender's calls in that order.
#include <sdbus-c++/sdbus-c++.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/bluez/bluez_stack.h"

namespace Mivo::BLE::Platform::Bluez {

class BluezBus;

class BluezDiscovery {
public:
    explicit BluezDiscovery(BluezBus& bus) : bus_(bus) {}

    // One more holder of discovery on `adapter`. `started` gets StartDiscovery's error or
    // nullptr; at once (on this thread) when discovery runs already or is paused.
    void Acquire(const std::string& adapter, BluezTiming timing, std::function<void(const sdbus::Error*)> started);
    // One holder less; the last one stops discovery.
    void Release();
    // Stops discovery until the matching Resume. `stopped` runs once BlueZ answered the stop,
    // or at once (on this thread) when discovery was not running.
    void Pause(std::function<void()> stopped);
    void Resume();

private:
    // Queue the calls of a start or a stop; Send() makes them, in queue order.
    void StartLocked(std::function<void(const sdbus::Error*)> started);
    void StopLocked(std::function<void()> stopped);
    // Calls go out with no lock of ours held: sd-bus holds its own while it runs our reply
    // handlers, which may come back here. One thread at a time sends, so the order holds.
    void Send();

    BluezBus& bus_;
    std::mutex mutex_;
    std::string adapter_;
    BluezTiming timing_;
    int holders_ = 0, pauses_ = 0;
    bool running_ = false;  // asked BlueZ to discover and not yet to stop
    std::deque<std::function<void()>> calls_;
    bool sending_ = false;
};

}  // namespace Mivo::BLE::Platform::Bluez
