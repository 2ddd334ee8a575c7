#pragma once
// SHA-256 of an image to upload.
#include <array>
#include <cstddef>
#include <cstdint>

namespace Mivo::BLE {

// The digest of the whole buffer, or 32 zero bytes when the hash provider fails.
std::array<uint8_t, 32> ComputeSha256(const uint8_t* data, size_t length);

}  // namespace Mivo::BLE
