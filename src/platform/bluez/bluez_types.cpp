#include "platform/bluez/bluez_types.h"

#include <cstdio>

namespace Mivo::BLE::Platform::Bluez {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::optional<uint64_t> ParseAddress(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < 6; ++i) {
        int hi = HexDigit(text[3 * i]), lo = HexDigit(text[3 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        if (i < 5 && text[3 * i + 2] != ':') return std::nullopt;
        value = (value << 8) | static_cast<uint64_t>(hi * 16 + lo);
    }
    return value;
}

std::string FormatAddress(uint64_t address) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>((address >> 40) & 0xFF),
                  static_cast<unsigned>((address >> 32) & 0xFF), static_cast<unsigned>((address >> 24) & 0xFF),
                  static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
                  static_cast<unsigned>(address & 0xFF));
    return text;
}

std::string DevicePath(const std::string& adapterPath, uint64_t address) {
    std::string text = FormatAddress(address);
    for (char& c : text)
        if (c == ':') c = '_';
    return adapterPath + "/dev_" + text;
}

bool PathIsWithin(const std::string& path, const std::string& parent) {
    if (!StartsWith(path, parent)) return false;
    return path.size() == parent.size() || path[parent.size()] == '/';
}

std::optional<Uuid> ParseUuid(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Uuid uuid;
    size_t byte = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0 || byte >= 16) return std::nullopt;
        uuid.bytes[byte++] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    if (byte != 16) return std::nullopt;
    return uuid;
}

GattFailure MapGattError(const std::string& name, const std::string& message) {
    GattFailure f;
    // The peripheral's own ATT errors, as bluetoothd words them.
    static const std::string kAttError = "Operation failed with ATT error: 0x";
    if (name == "org.bluez.Error.Failed" && message.compare(0, kAttError.size(), kAttError) == 0) {
        f.error = PlatformError{
            -7, "The device refused the request with ATT error 0x" + message.substr(kAttError.size()) + "."};
        return f;
    }
    if (name == "org.bluez.Error.InvalidArguments" && (message == "Invalid offset" || message == "Invalid Length")) {
        f.error = PlatformError{-7, message == "Invalid offset"
                                        ? "The device refused the request: invalid offset (ATT error 0x07)."
                                        : "The device refused the value: invalid length (ATT error 0x0d)."};
        return f;
    }
    auto status = [&f](GattStatus s) {
        f.isStatus = true;
        f.status = s;
        return f;
    };
    if (name == "org.bluez.Error.NotPermitted" || name == "org.bluez.Error.NotAuthorized")
        return status(GattStatus::AccessDenied);
    if (name == "org.bluez.Error.NotConnected" || name == "org.freedesktop.DBus.Error.UnknownObject" ||
        name == "org.freedesktop.DBus.Error.UnknownMethod" || name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner" || name == "org.freedesktop.DBus.Error.Disconnected" ||
        (name == "org.bluez.Error.Failed" && message == "Not connected"))
        return status(GattStatus::Unreachable);
    if (name == "org.bluez.Error.NotSupported" || name == "org.bluez.Error.InvalidValueLength" ||
        name == "org.bluez.Error.InvalidOffset" || name == "org.bluez.Error.InvalidArguments")
        return status(GattStatus::ProtocolError);
    f.error = MapError(name, message);
    return f;
}

PlatformError MapError(const std::string& name, const std::string& message) {
    std::string detail = message.empty() ? name : name + ": " + message;
    if (name == "org.freedesktop.DBus.Error.AccessDenied")
        return PlatformError{-5, "Access to BlueZ was denied by the D-Bus policy (" + detail + ")."};
    if (name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Timeout" ||
        name == "org.freedesktop.DBus.Error.TimedOut")
        return PlatformError{-6, "BlueZ did not answer in time (" + detail + ")."};
    if (name.empty()) return PlatformError{-1, "BlueZ call failed: " + message};
    return PlatformError{-1, "BlueZ: " + detail};
}

bool MeansAbsent(const std::string& name) {
    return name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           name == "org.freedesktop.DBus.Error.UnknownObject" || name == "org.freedesktop.DBus.Error.UnknownMethod" ||
           name == "org.freedesktop.DBus.Error.UnknownInterface" || name == "org.freedesktop.DBus.Error.InvalidArgs" ||
           name == "org.bluez.Error.DoesNotExist";
}

}  // namespace Mivo::BLE::Platform::Bluez
