#include "protocol/command_frame.h"

#include <algorithm>
#include <array>

#include "core/api_exception.h"
#include "mivoble/mivoble.h"

namespace Mivo::BLE {
namespace {

// Table-driven: one lookup per byte.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[i] = crc;
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

}  // namespace

uint16_t Crc16CcittFalse(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

std::vector<uint8_t> BuildRequestFrame(uint8_t command, const uint8_t* payload, size_t payloadLength) {
    if (payloadLength > kMaxFramePayload) {
        throw ApiException("SendFrame: payload too large", MIVOBLE_ERROR_INVALID_ARGUMENT);
    }
    std::vector<uint8_t> frame(payloadLength + kRequestOverhead, 0);
    frame[0] = kFrameStartByte;
    frame[1] = static_cast<uint8_t>(payloadLength >> 8);
    frame[2] = static_cast<uint8_t>(payloadLength);
    frame[3] = command;
    if (payload != nullptr && payloadLength != 0) std::copy(payload, payload + payloadLength, frame.begin() + 4);
    const uint16_t crc = Crc16CcittFalse(std::span<const uint8_t>(frame).subspan(1, payloadLength + 3));
    frame[payloadLength + 4] = static_cast<uint8_t>(crc >> 8);
    frame[payloadLength + 5] = static_cast<uint8_t>(crc);
    return frame;
}

std::optional<ResponseFrame> CheckResponseFrame(std::span<const uint8_t> bytes) {
    if (bytes.size() < kResponseOverhead || bytes[0] != kFrameStartByte) return std::nullopt;
    const size_t length = (static_cast<size_t>(bytes[1]) << 8) | bytes[2];
    if (length > kMaxFramePayload) return std::nullopt;
    if (bytes.size() != length + kResponseOverhead) return std::nullopt;
    const uint16_t expected = static_cast<uint16_t>((bytes[length + 5] << 8) | bytes[length + 6]);
    if (Crc16CcittFalse(bytes.subspan(1, length + 4)) != expected) return std::nullopt;
    return ResponseFrame{bytes[4], bytes.subspan(5, length)};
}

}  // namespace Mivo::BLE
