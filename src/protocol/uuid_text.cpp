#include "protocol/uuid_text.h"

#include <stdexcept>
#include <string>

namespace Mivo::BLE {
namespace {

constexpr size_t kLongLength = 36;
constexpr size_t kShortLength = 4;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("UUID text holds a character that is not a hex digit: '" + std::string(1, c) + "'");
}

uint64_t ReadHex(std::string_view text, size_t offset, size_t digits) {
    uint64_t value = 0;
    for (size_t i = 0; i < digits; ++i) value = (value << 4) | static_cast<uint64_t>(HexValue(text[offset + i]));
    return value;
}

}  // namespace

Platform::Uuid ParseUuidText(std::string_view text) {
    if (text.size() == kShortLength) {
        return Platform::Uuid::FromShort(static_cast<uint16_t>(ReadHex(text, 0, 4)));
    }
    if (text.size() < kLongLength) {
        throw std::out_of_range("UUID text too short: '" + std::string(text) + "'");
    }
    if (text.size() > kLongLength) {
        throw std::invalid_argument("UUID text too long: '" + std::string(text) + "'");
    }
    for (size_t dash : {8u, 13u, 18u, 23u}) {
        if (text[dash] != '-')
            throw std::invalid_argument("UUID text is not in 8-4-4-4-12 form: '" + std::string(text) + "'");
    }
    return Platform::Uuid::FromGroups(static_cast<uint32_t>(ReadHex(text, 0, 8)),
                                      static_cast<uint16_t>(ReadHex(text, 9, 4)),
                                      static_cast<uint16_t>(ReadHex(text, 14, 4)),
                                      static_cast<uint16_t>(ReadHex(text, 19, 4)), ReadHex(text, 24, 12));
}

bool UuidTextEquals(std::string_view a, std::string_view b) noexcept {
    try {
        return ParseUuidText(a) == ParseUuidText(b);
    } catch (...) {
        return false;
    }
}

}  // namespace Mivo::BLE
