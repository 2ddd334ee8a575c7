#pragma once
// Bluetooth UUID texts: the 36-character 8-4-4-4-12 form or the 4-digit short form on the
// Bluetooth base UUID ("2A19" = 00002A19-0000-1000-8000-00805F9B34FB), in either letter case.
// Texts are compared as 16-byte values, so both forms and both cases address the same UUID.
#include <string_view>

#include "platform/uuid.h"

namespace Mivo::BLE {

// Parses a UUID text. A text too short for the 36-character positions (other than the
// 4-digit form) throws std::out_of_range; a text with a non-hex digit, a missing '-' or
// more than 36 characters throws std::invalid_argument.
Platform::Uuid ParseUuidText(std::string_view text);

// True when both texts parse to the same UUID; a text that does not parse matches nothing.
bool UuidTextEquals(std::string_view a, std::string_view b) noexcept;

}  // namespace Mivo::BLE
