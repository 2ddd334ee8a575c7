#pragma once
// Hand-made wire bytes for the protocol tests.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace Mivo::BLE::Wire {

using Bytes = std::vector<uint8_t>;

inline void PutLe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

// Amplifier configuration record (16 bytes).
inline Bytes AmplifierConfigBytes(uint16_t rate, uint16_t declared, uint16_t payloadSize, uint16_t channels,
                                  uint16_t values, uint16_t filters) {
    Bytes b;
    PutLe16(b, rate);
    PutLe16(b, declared);
    b.insert(b.end(), {0xAA, 0xBB, 0xCC, 0xDD});
    PutLe16(b, payloadSize);
    PutLe16(b, channels);
    PutLe16(b, values);
    PutLe16(b, filters);
    return b;
}

inline Bytes ChannelBytes(uint16_t id, uint8_t type, uint8_t index, float scale) {
    Bytes b;
    PutLe16(b, id);
    b.push_back(type);
    b.push_back(index);
    uint32_t bits;
    std::memcpy(&bits, &scale, 4);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return b;
}

inline Bytes PayloadRecordBytes(uint16_t channelId, uint16_t frameIndex) {
    Bytes b;
    PutLe16(b, channelId);
    PutLe16(b, frameIndex);
    return b;
}

inline Bytes FilterBytes(uint16_t key, uint8_t fill) {
    Bytes b(16, fill);
    b[0] = static_cast<uint8_t>(key);
    b[1] = static_cast<uint8_t>(key >> 8);
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
