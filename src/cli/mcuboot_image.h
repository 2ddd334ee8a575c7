// MCUboot image files: the header check done before an upload, and the image hash from the
// TLV trailer (the hash the amplifier lists and that a test boot names).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Mivo::Cli {

struct McubootImage {
    std::vector<uint8_t> bytes;
    std::string version;                          // "major.minor.revision[.build]"
    std::optional<std::array<uint8_t, 32>> hash;  // SHA-256 TLV of the trailer, when present
};

// SHA-256 of a buffer.
std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t size);

// Reads and checks the file; throws OperationError naming the file and what is wrong. An image
// whose trailer names a SHA-256 must match it (header, body and protected area), so a damaged
// image is refused before it is sent.
McubootImage LoadMcubootImage(const std::string& path);

// Checks an image held in memory; throws OperationError with `origin` in the message.
McubootImage ParseMcubootImage(std::vector<uint8_t> bytes, const std::string& origin);

}  // namespace Mivo::Cli
