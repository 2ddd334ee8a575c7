#pragma once
// A 128-bit Bluetooth UUID as 16 bytes in text order (the first byte is the first two
// hex digits of the 8-4-4-4-12 form). Parsing of UUID texts belongs to the callers.
#include <array>
#include <compare>
#include <cstdint>

namespace Mivo::BLE::Platform {

struct Uuid {
    std::array<uint8_t, 16> bytes{};

    // From the five groups of the text form: data1 (8 digits), data2, data3, data4 (4 each), node (12).
    static constexpr Uuid FromGroups(uint32_t data1, uint16_t data2, uint16_t data3, uint16_t data4, uint64_t node) {
        Uuid u;
        for (int i = 0; i < 4; ++i) u.bytes[i] = static_cast<uint8_t>(data1 >> (24 - 8 * i));
        u.bytes[4] = static_cast<uint8_t>(data2 >> 8);
        u.bytes[5] = static_cast<uint8_t>(data2);
        u.bytes[6] = static_cast<uint8_t>(data3 >> 8);
        u.bytes[7] = static_cast<uint8_t>(data3);
        u.bytes[8] = static_cast<uint8_t>(data4 >> 8);
        u.bytes[9] = static_cast<uint8_t>(data4);
        for (int i = 0; i < 6; ++i) u.bytes[10 + i] = static_cast<uint8_t>(node >> (40 - 8 * i));
        return u;
    }
    // A 16-bit UUID on the Bluetooth base UUID 0000xxxx-0000-1000-8000-00805F9B34FB.
    static constexpr Uuid FromShort(uint16_t shortId) {
        return FromGroups(shortId, 0x0000, 0x1000, 0x8000, 0x00805F9B34FBull);
    }

    friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace Mivo::BLE::Platform
