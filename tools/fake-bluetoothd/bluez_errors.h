#pragma once
// The D-Bus errors BlueZ 5.66 answers with (names and texts as bluetoothd sends them).
#include <sdbus-c++/Error.h>

#include <string>

namespace Mivo::FakeBluez::Errors {

inline sdbus::Error Failed(const std::string& text) {
    return sdbus::Error("org.bluez.Error.Failed", std::string(text));
}
inline sdbus::Error InProgress() { return sdbus::Error("org.bluez.Error.InProgress", std::string("In Progress")); }
inline sdbus::Error Busy() {
    return sdbus::Error("org.bluez.Error.InProgress", std::string("Operation already in progress"));
}
inline sdbus::Error NotReady() { return sdbus::Error("org.bluez.Error.NotReady", std::string("Resource Not Ready")); }
inline sdbus::Error NotConnected() {
    return sdbus::Error("org.bluez.Error.NotConnected", std::string("Not Connected"));
}
inline sdbus::Error NotPermitted(const std::string& text) {
    return sdbus::Error("org.bluez.Error.NotPermitted", std::string(text));
}
inline sdbus::Error NotSupported() {
    return sdbus::Error("org.bluez.Error.NotSupported", std::string("Operation is not supported"));
}
inline sdbus::Error NotAuthorized() {
    return sdbus::Error("org.bluez.Error.NotAuthorized", std::string("Operation Not Authorized"));
}
inline sdbus::Error InvalidArguments() {
    return sdbus::Error("org.bluez.Error.InvalidArguments", std::string("Invalid arguments in method call"));
}
inline sdbus::Error InvalidArguments(const std::string& text) {
    return sdbus::Error("org.bluez.Error.InvalidArguments", std::string(text));
}
inline sdbus::Error DoesNotExist() {
    return sdbus::Error("org.bluez.Error.DoesNotExist", std::string("Does Not Exist"));
}
inline sdbus::Error UnknownObject(const std::string& path) {
    return sdbus::Error("org.freedesktop.DBus.Error.UnknownObject", std::string("Unknown object '" + path + "'."));
}

// What a connect aborted on our side reports; clients retry on it.
inline constexpr const char* kConnectionAbortByLocal = "le-connection-abort-by-local";
inline constexpr const char* kNotConnected = "Not connected";

}  // namespace Mivo::FakeBluez::Errors
