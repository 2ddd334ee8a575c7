#pragma once
// SMP framing: the 8-byte header the library writes, the common reading of a response's
// result code, and the per-command sequence counters.
#include <atomic>
#include <cstdint>
#include <vector>

namespace Mivo::BLE {

inline constexpr size_t kSmpHeaderSize = 8;

inline constexpr uint8_t kSmpOpRead = 0;
inline constexpr uint8_t kSmpOpWrite = 2;

inline constexpr uint16_t kSmpGroupOs = 0;
inline constexpr uint16_t kSmpGroupImage = 1;

inline constexpr uint8_t kSmpOsEcho = 0;
inline constexpr uint8_t kSmpOsReset = 5;
inline constexpr uint8_t kSmpOsParameters = 6;
inline constexpr uint8_t kSmpImageState = 0;
inline constexpr uint8_t kSmpImageUpload = 1;
inline constexpr uint8_t kSmpImageErase = 5;

inline constexpr const char* kSmpServiceUuid = "8D53DC1D-1DB7-4CD3-868B-8A527460AA84";
inline constexpr const char* kSmpCharacteristicUuid = "DA2E7828-FBCE-4E01-AE9E-261174997C48";

// Header (op, flags 0, body length, group, sequence, command id; big-endian) then the body.
std::vector<uint8_t> BuildSmpFrame(uint8_t op, uint16_t group, uint8_t sequence, uint8_t commandId,
                                   const std::vector<uint8_t>& body);

// Result code of a response: the last "rc" of its body map, 0 without one, -1 when the
// response has no body or the body is not a map. Stores "off" into `offset` when given.
// An rc of up to 32 bits is taken as a 32-bit signed number; a negative rc keeps its value
// (clamped to 32 bits), a 64-bit one is clamped to 32 bits, a malformed one reads -1, so
// that no error code can read as success.
int32_t ParseSmpResult(const std::vector<uint8_t>& response, uint32_t* offset = nullptr);
int32_t ParseSmpResult(const uint8_t* response, size_t length, uint32_t* offset = nullptr);

// The device's error code: the response's rc when its body is a readable map, else 0 (a
// response that cannot be read carries no error code).
int32_t SmpErrorCode(const std::vector<uint8_t>& response);

// An 8-bit counter that is used and then incremented, wrapping from 255 to 0.
class SmpSequence {
public:
    uint8_t Next() { return next_.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<uint8_t> next_{0};
};

}  // namespace Mivo::BLE
