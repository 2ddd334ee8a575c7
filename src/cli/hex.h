// Hex text <-> bytes for frames and image hashes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Mivo::Cli {

// Accepts "0A1b2C", optionally with blanks, ':' or '-' between bytes and a leading "0x".
// Throws UsageError (naming `what`) for an odd digit count or a character that is not hex.
std::vector<uint8_t> ParseHex(std::string_view text, std::string_view what);

// "0A 1B 2C" (upper case, separated by `separator`).
std::string FormatHex(const uint8_t* data, size_t size, std::string_view separator = " ");

// A byte value given as decimal or 0x-prefixed hex ("16", "0x10"); throws UsageError when out of 0..255.
uint8_t ParseByte(std::string_view text, std::string_view what);

}  // namespace Mivo::Cli
