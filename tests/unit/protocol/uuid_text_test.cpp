#include "protocol/uuid_text.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace Mivo::BLE {
namespace {

TEST(UuidText, ShortAndLongFormsInAnyCaseAreTheSameValue) {
    const Platform::Uuid expected = Platform::Uuid::FromShort(0x2A19);
    EXPECT_EQ(ParseUuidText("2A19"), expected);
    EXPECT_EQ(ParseUuidText("2a19"), expected);
    EXPECT_EQ(ParseUuidText("00002A19-0000-1000-8000-00805F9B34FB"), expected);
    EXPECT_EQ(ParseUuidText("00002a19-0000-1000-8000-00805f9b34fb"), expected);
    EXPECT_TRUE(UuidTextEquals("2a19", "00002A19-0000-1000-8000-00805F9B34FB"));
}

TEST(UuidText, GroupsMapToBytesInTextOrder) {
    const Platform::Uuid u = ParseUuidText("6e400003-b5a3-f393-e0a9-e50e24dcca9e");
    const std::array<uint8_t, 16> expected{0x6E, 0x40, 0x00, 0x03, 0xB5, 0xA3, 0xF3, 0x93,
                                           0xE0, 0xA9, 0xE5, 0x0E, 0x24, 0xDC, 0xCA, 0x9E};
    EXPECT_EQ(u.bytes, expected);
    EXPECT_FALSE(UuidTextEquals("6E400003-B5A3-F393-E0A9-E50E24DCCA9E", "6E400002-B5A3-F393-E0A9-E50E24DCCA9E"));
}

TEST(UuidText, TooShortTextsRaiseOutOfRange) {
    EXPECT_THROW(ParseUuidText(""), std::out_of_range);
    EXPECT_THROW(ParseUuidText("2A1"), std::out_of_range);
    EXPECT_THROW(ParseUuidText("2A190"), std::out_of_range);
    EXPECT_THROW(ParseUuidText("00002A19-0000-1000-8000-00805F9B34F"), std::out_of_range);
}

TEST(UuidText, MalformedTextsAreRejectedAndMatchNothing) {
    EXPECT_THROW(ParseUuidText("2G19"), std::invalid_argument);
    EXPECT_THROW(ParseUuidText("00002A19+0000-1000-8000-00805F9B34FB"), std::invalid_argument);
    EXPECT_THROW(ParseUuidText("00002A19-0000-1000-8000-00805F9B34FB0"), std::invalid_argument);
    EXPECT_FALSE(UuidTextEquals("2G19", "2G19"));
    EXPECT_FALSE(UuidTextEquals("", ""));
}

}  // namespace
}  // namespace Mivo::BLE
