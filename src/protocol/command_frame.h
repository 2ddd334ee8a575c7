#pragma once
// Command frames over the Nordic UART Service.
//
// Request (written to NUS RX):   F0 | n (2, big-endian) | command | payload (n) | CRC (2, big-endian)
// Response (notified on NUS TX): F0 | L (2, big-endian) | (ignored) | status | payload (L) | CRC
// n and L are at most 512. The CRC is CRC-16/CCITT-FALSE over every byte after the start
// byte and before the CRC.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace Mivo::BLE {

inline constexpr uint8_t kFrameStartByte = 0xF0;
inline constexpr size_t kMaxFramePayload = 512;
inline constexpr size_t kRequestOverhead = 6;
inline constexpr size_t kResponseOverhead = 7;

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no final XOR.
uint16_t Crc16CcittFalse(std::span<const uint8_t> bytes);

// Builds a request frame. A null payload with a non-zero length sends that many zero bytes.
// More than 512 payload bytes: ApiException "SendFrame: payload too large" code 4.
std::vector<uint8_t> BuildRequestFrame(uint8_t command, const uint8_t* payload, size_t payloadLength);

struct ResponseFrame {
    uint8_t status = 0;
    std::span<const uint8_t> payload;  // points into the checked bytes
};

// Checks a received response: at least 7 bytes, start byte, length field at most 512, total
// length exactly L + 7 (no trailing bytes), matching CRC. Byte 3 is not compared with the
// request's command. Empty optional when the check fails.
std::optional<ResponseFrame> CheckResponseFrame(std::span<const uint8_t> bytes);

}  // namespace Mivo::BLE
