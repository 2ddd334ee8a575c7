#pragma once
// What the served bluetoothd and its controllers do, as the command line selects it: the
// BlueZ version whose D-Bus API is served, how often the controller passes advertising
// reports on, whether connecting during a scan fails, the adapters and the names devices
// give themselves once connected. The defaults are those of a real bluetoothd 5.66 with a
// real controller.
#include <sdbus-c++/Error.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Mivo::FakeBluez {

struct BluezVersion {
    int major = 5, minor = 66;

    bool AtLeast(int ma, int mi) const { return major > ma || (major == ma && minor >= mi); }
    std::string Text() const { return std::to_string(major) + "." + std::to_string(minor); }
    // "X.Y" with numbers; anything else is nullopt.
    static std::optional<BluezVersion> Parse(const std::string& text);
};

struct Behaviour {
    BluezVersion version;
    // The controller's duplicate filter passes one report per device and discovery cycle
    // (the kernel ends an LE discovery after 10.24 s and bluetoothd starts the next at once
    // while a filter is set). 0: every advertisement is reported.
    std::chrono::milliseconds reportCycle{10240};
    // A connect made while the adapter discovers fails with "le-connection-abort-by-local".
    bool connectFailsWhileDiscovering = true;
    // The GAP Device Name the amplifiers report once connected; empty: the advertised name.
    std::string gapName;
    // Adapter names in path order ("hci0", ...) and those that start unpowered.
    std::vector<std::string> adapters{"hci0"};
    std::set<std::string> unpowered;

    // GattCharacteristic1.MTU exists from BlueZ 5.62.
    bool HasMtuProperty() const { return version.AtLeast(5, 62); }
    // A Connect while one is in progress: "Operation already in progress" as Failed up to the
    // versions before 5.81 (strerror of EALREADY), InProgress from 5.81.
    sdbus::Error ConnectInProgress() const;
    // The text of a failed LE connect: the detailed reason from 5.62, strerror before.
    std::string ConnectAbortText() const;
};

}  // namespace Mivo::FakeBluez
