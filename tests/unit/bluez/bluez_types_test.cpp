// What the BlueZ backend makes of what org.bluez sends: addresses and paths, UUID texts,
// typed property reads and D-Bus error names.
#include <gtest/gtest.h>

#include "platform/bluez/bluez_device.h"
#include "platform/bluez/bluez_types.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

TEST(BluezTypes, AddressesAndPaths) {
    struct Case {
        const char* text;
        std::optional<uint64_t> value;
    };
    const Case cases[] = {
        {"AA:BB:CC:DD:EE:FF", 0xAABBCCDDEEFFull},
        {"00:11:22:33:44:5a", 0x00112233445Aull},
        {"00:00:00:00:00:00", 0},
        {"AA:BB:CC:DD:EE", std::nullopt},
        {"AA:BB:CC:DD:EE:FG", std::nullopt},
        {"AA-BB-CC-DD-EE-FF", std::nullopt},
        {"AA:BB:CC:DD:EE:FF ", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseAddress(c.text), c.value) << c.text;
    EXPECT_EQ(FormatAddress(0x00112233445Aull), "00:11:22:33:44:5A");
    EXPECT_EQ(ParseAddress(FormatAddress(0xC0FFEE123456ull)), 0xC0FFEE123456ull);
    EXPECT_EQ(DevicePath("/org/bluez/hci0", 0xAABBCCDDEE0Full), "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_0F");

    EXPECT_TRUE(PathIsWithin("/org/bluez/hci0/dev_A/service0010", "/org/bluez/hci0/dev_A"));
    EXPECT_TRUE(PathIsWithin("/org/bluez/hci0/dev_A", "/org/bluez/hci0/dev_A"));
    EXPECT_FALSE(PathIsWithin("/org/bluez/hci0/dev_AB", "/org/bluez/hci0/dev_A"));
    EXPECT_FALSE(PathIsWithin("/org/bluez/hci1", "/org/bluez/hci0"));
}

TEST(BluezTypes, UuidTexts) {
    EXPECT_EQ(ParseUuid("00002a19-0000-1000-8000-00805f9b34fb"), Uuid::FromShort(0x2A19));
    EXPECT_EQ(ParseUuid("00002A19-0000-1000-8000-00805F9B34FB"), Uuid::FromShort(0x2A19));
    for (const char* bad : {"2a19", "00002a19-0000-1000-8000-00805f9b34f", "00002a19x0000-1000-8000-00805f9b34fb",
                            "00002a19-0000-1000-8000-00805f9b34fg", ""})
        EXPECT_FALSE(ParseUuid(bad)) << bad;
}

TEST(BluezTypes, PropertiesOfTheWrongTypeReadAsAbsent) {
    Props props{{"Connected", sdbus::Variant(true)},
                {"Name", sdbus::Variant(std::string("MV-2401.00.01"))},
                {"RSSI", sdbus::Variant(int16_t{-60})},
                {"MTU", sdbus::Variant(uint16_t{247})},
                {"Value", sdbus::Variant(std::vector<uint8_t>{1, 2})}};
    EXPECT_EQ(Get<bool>(props, "Connected"), true);
    EXPECT_EQ(Get<std::string>(props, "Name"), "MV-2401.00.01");
    EXPECT_FALSE(Get<std::string>(props, "Connected"));
    EXPECT_FALSE(Get<bool>(props, "Name"));
    EXPECT_FALSE(Get<uint16_t>(props, "RSSI"));
    EXPECT_FALSE(Get<std::string>(props, "Alias"));
    EXPECT_EQ(Get<std::vector<uint8_t>>(props, "Value"), (std::vector<uint8_t>{1, 2}));

    struct MtuCase {
        std::optional<Props> props;
        uint16_t mtu;
    };
    const MtuCase mtus[] = {
        {std::nullopt, 23},
        {Props{}, 23},
        {Props{{"MTU", sdbus::Variant(uint16_t{247})}}, 247},
        {Props{{"MTU", sdbus::Variant(uint16_t{5})}}, 23},
        {Props{{"MTU", sdbus::Variant(uint16_t{1000})}}, 23},
        {Props{{"MTU", sdbus::Variant(int32_t{247})}}, 23},
    };
    for (const auto& c : mtus) EXPECT_EQ(MtuOf(c.props), c.mtu);
}

TEST(BluezTypes, ErrorMapping) {
    struct Case {
        const char* name;
        const char* message;
        bool isStatus;
        GattStatus status;
        const char* text;  // expected error text when not a status
    };
    const Case cases[] = {
        {"org.bluez.Error.NotPermitted", "Read not permitted", true, GattStatus::AccessDenied, ""},
        {"org.bluez.Error.NotAuthorized", "", true, GattStatus::AccessDenied, ""},
        {"org.bluez.Error.Failed", "Not connected", true, GattStatus::Unreachable, ""},
        {"org.freedesktop.DBus.Error.UnknownObject", "Method \"ReadValue\" doesn't exist", true,
         GattStatus::Unreachable, ""},
        {"org.freedesktop.DBus.Error.ServiceUnknown", "The name org.bluez was not provided", true,
         GattStatus::Unreachable, ""},
        {"org.bluez.Error.NotSupported", "", true, GattStatus::ProtocolError, ""},
        {"org.bluez.Error.InvalidValueLength", "", true, GattStatus::ProtocolError, ""},
        {"org.bluez.Error.InProgress", "In Progress", false, GattStatus::Success,
         "BlueZ: org.bluez.Error.InProgress: In Progress"},
        {"org.bluez.Error.Failed", "le-connection-abort-by-local", false, GattStatus::Success,
         "BlueZ: org.bluez.Error.Failed: le-connection-abort-by-local"},
        {"com.example.Unheard", "", false, GattStatus::Success, "BlueZ: com.example.Unheard"},
        // The peripheral's ATT errors, as bluetoothd words them.
        {"org.bluez.Error.Failed", "Operation failed with ATT error: 0x80", false, GattStatus::Success,
         "The device refused the request with ATT error 0x80."},
        {"org.bluez.Error.InvalidArguments", "Invalid Length", false, GattStatus::Success,
         "The device refused the value: invalid length (ATT error 0x0d)."},
        {"org.bluez.Error.InvalidArguments", "Invalid offset", false, GattStatus::Success,
         "The device refused the request: invalid offset (ATT error 0x07)."},
        {"org.bluez.Error.InvalidArguments", "Invalid arguments in method call", true, GattStatus::ProtocolError, ""},
        {"org.freedesktop.DBus.Error.AccessDenied", "Rejected send message", false, GattStatus::Success,
         "Access to BlueZ was denied by the D-Bus policy (org.freedesktop.DBus.Error.AccessDenied: Rejected send "
         "message)."},
        {"org.freedesktop.DBus.Error.NoReply", "Timeout was reached", false, GattStatus::Success,
         "BlueZ did not answer in time (org.freedesktop.DBus.Error.NoReply: Timeout was reached)."},
    };
    for (const auto& c : cases) {
        auto f = MapGattError(c.name, c.message);
        EXPECT_EQ(f.isStatus, c.isStatus) << c.name;
        if (c.isStatus) EXPECT_EQ(f.status, c.status) << c.name;
        else EXPECT_EQ(f.error.message, c.text) << c.name;
    }
    EXPECT_TRUE(MeansAbsent("org.freedesktop.DBus.Error.ServiceUnknown"));
    EXPECT_TRUE(MeansAbsent("org.freedesktop.DBus.Error.UnknownObject"));
    EXPECT_FALSE(MeansAbsent("org.freedesktop.DBus.Error.AccessDenied"));
    EXPECT_FALSE(MeansAbsent("org.bluez.Error.Failed"));
}

}  // namespace
}  // namespace Mivo::BLE::Platform::Bluez
