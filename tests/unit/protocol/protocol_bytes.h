#pragma once
// Hand-made wire bytes for the protocol tests.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace Mivo::BLE::Wire {

using Bytes = std::vector<uint8_t>;

inline void SetLe16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Amplifier configuration record (16 bytes; bytes 4..7 are not interpreted).
inline Bytes AmplifierConfigBytes(uint16_t rate, uint16_t declared, uint16_t payloadSize, uint16_t channels,
                                  uint16_t values, uint16_t filters) {
    Bytes b(16, 0xAA);
    SetLe16(b, 0, rate);
    SetLe16(b, 2, declared);
    SetLe16(b, 8, payloadSize);
    SetLe16(b, 10, channels);
    SetLe16(b, 12, values);
    SetLe16(b, 14, filters);
    return b;
}

inline Bytes ChannelBytes(uint16_t id, uint8_t type, uint8_t index, float scale) {
    Bytes b(8, 0);
    SetLe16(b, 0, id);
    b[2] = type;
    b[3] = index;
    uint32_t bits;
    std::memcpy(&bits, &scale, 4);
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(bits >> (8 * i));
    return b;
}

inline Bytes PayloadRecordBytes(uint16_t channelId, uint16_t frameIndex) {
    Bytes b(4, 0);
    SetLe16(b, 0, channelId);
    SetLe16(b, 2, frameIndex);
    return b;
}

inline Bytes FilterBytes(uint16_t key, uint8_t fill) {
    Bytes b(16, fill);
    SetLe16(b, 0, key);
    return b;
}

// 24-bit big-endian two's complement.
inline void PutBe24(Bytes& b, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    b.push_back(static_cast<uint8_t>(u >> 16));
    b.push_back(static_cast<uint8_t>(u >> 8));
    b.push_back(static_cast<uint8_t>(u));
}

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace Mivo::BLE::Wire
