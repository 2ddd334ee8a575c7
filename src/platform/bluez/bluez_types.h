#pragma once
// Conversions between what org.bluez sends and what the stack interface speaks: addresses
// and object paths, UUID texts, typed reads of property maps (everything BlueZ sends is
// untrusted: a missing or wrongly typed property reads as absent), and D-Bus error names.
#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stack.h"

namespace Mivo::BLE::Platform::Bluez {

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapter1 = "org.bluez.Adapter1";
inline constexpr const char* kDevice1 = "org.bluez.Device1";
inline constexpr const char* kGattService1 = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristic1 = "org.bluez.GattCharacteristic1";
inline constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
inline constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

using Props = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Props>;

// "AA:BB:CC:DD:EE:FF" (either case) -> 48-bit value; anything else -> nullopt.
std::optional<uint64_t> ParseAddress(std::string_view text);
std::string FormatAddress(uint64_t address);
// Object path of a device below an adapter: <adapter>/dev_AA_BB_CC_DD_EE_FF.
std::string DevicePath(const std::string& adapterPath, uint64_t address);
// True when `path` is `parent` itself or lies below it.
bool PathIsWithin(const std::string& path, const std::string& parent);
// The 36-character UUID text in either case -> Uuid; anything else -> nullopt.
std::optional<Uuid> ParseUuid(std::string_view text);

// A property of the wanted D-Bus type, or nullopt when missing or of another type.
template <typename T>
std::optional<T> Get(const Props& props, const std::string& name) {
    auto it = props.find(name);
    if (it == props.end()) return std::nullopt;
    try {
        if (!it->second.containsValueOfType<T>()) return std::nullopt;
        return it->second.get<T>();
    } catch (...) {
        return std::nullopt;
    }
}

// What a failed GATT call means to the caller: a status the logic reads, or an error
// carrying BlueZ's text.
struct GattFailure {
    bool isStatus = false;
    GattStatus status = GattStatus::Success;
    PlatformError error;
};
GattFailure MapGattError(const std::string& name, const std::string& message);
// A failed call outside GATT access: always an error with a text that says what happened.
PlatformError MapError(const std::string& name, const std::string& message);
// Errors meaning "there is no such object or service": an absent adapter or device.
bool MeansAbsent(const std::string& name);

}  // namespace Mivo::BLE::Platform::Bluez
