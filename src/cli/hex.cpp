#include "cli/hex.h"

#include <charconv>

#include "cli/cli_error.h"

namespace Mivo::Cli {

namespace {
int Nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::vector<uint8_t> ParseHex(std::string_view text, std::string_view what) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-') continue;
        if (Nibble(c) < 0) throw UsageError(std::string(what) + ": '" + std::string(1, c) + "' is not a hex digit");
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0)
        throw UsageError(std::string(what) + ": odd number of hex digits (" + std::to_string(digits.size()) +
                         "); every byte needs two");
    std::vector<uint8_t> bytes(digits.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(Nibble(digits[2 * i]) << 4 | Nibble(digits[2 * i + 1]));
    return bytes;
}

std::string FormatHex(const uint8_t* data, size_t size, std::string_view separator) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (i) out += separator;
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 15]);
    }
    return out;
}

uint8_t ParseByte(std::string_view text, std::string_view what) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > 255)
        throw UsageError(std::string(what) + ": '" + std::string(text) + "' is not a byte (0 to 255 or 0x00 to 0xFF)");
    return static_cast<uint8_t>(value);
}

}  // namespace Mivo::Cli
