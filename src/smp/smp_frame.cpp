#include "smp/smp_frame.h"

#include <array>
#include <cstdint>
#include <string>

#include "smp/cbor.h"

namespace Mivo::BLE {

std::vector<uint8_t> BuildSmpFrame(uint8_t op, uint16_t group, uint8_t sequence, uint8_t commandId,
                                   const std::vector<uint8_t>& body) {
    const auto length = static_cast<uint16_t>(body.size());
    std::vector<uint8_t> frame;
    frame.reserve(kSmpHeaderSize + body.size());
    frame.push_back(op);
    frame.push_back(0);
    frame.push_back(static_cast<uint8_t>(length >> 8));
    frame.push_back(static_cast<uint8_t>(length));
    frame.push_back(static_cast<uint8_t>(group >> 8));
    frame.push_back(static_cast<uint8_t>(group));
    frame.push_back(sequence);
    frame.push_back(commandId);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

namespace {

// Reads an "rc" value: unsigned or negative integers of any width; anything else as its
// argument, as the command walks read it.
int32_t ReadResultCode(CborReader reader) {
    if (reader.AtEnd()) return 0;
    const uint8_t initial = reader.Peek();
    const uint8_t major = initial >> 5;
    const uint8_t additional = initial & 0x1F;
    if ((major == 0 || major == 1) && additional >= 27 && additional <= 30) {
        if (additional != 27 || reader.Remaining() < 9) return -1;
        uint64_t value = 0;
        for (size_t i = 1; i <= 8; ++i) value = value << 8 | reader.data[reader.position + i];
        if (major == 0) return value > 0xFFFFFFFFu ? INT32_MAX : static_cast<int32_t>(static_cast<uint32_t>(value));
        return value >= uint64_t{INT32_MAX} ? INT32_MIN : static_cast<int32_t>(-1 - static_cast<int64_t>(value));
    }
    const uint64_t argument = ReadArgument(reader);
    if (major == 1 && argument != kCborIndefinite) {
        return argument >= uint64_t{INT32_MAX} ? INT32_MIN : static_cast<int32_t>(-1 - static_cast<int64_t>(argument));
    }
    return static_cast<int32_t>(static_cast<uint32_t>(argument));
}

}  // namespace

int32_t ParseSmpResult(const uint8_t* response, size_t length, uint32_t* offset) {
    if (response == nullptr || length <= kSmpHeaderSize) return -1;
    // The body is everything after the header, whatever the length field says.
    CborReader reader(response + kSmpHeaderSize, length - kSmpHeaderSize);
    CborMapIteration map;
    if (!OpenMap(reader, map)) return -1;
    int32_t result = 0;
    std::string key;
    while (NextMapKey(map, key)) {
        if (key == "rc" || (key == "off" && offset != nullptr)) {
            CborReader value = reader;
            const uint64_t argument = ReadArgument(value);
            if (key == "rc") {
                result = ReadResultCode(reader);
            } else {
                *offset = static_cast<uint32_t>(argument);
            }
        }
        // The value is skipped whole, so a value of an unexpected kind cannot shift the walk.
        SkipItem(reader);
    }
    return result;
}

int32_t ParseSmpResult(const std::vector<uint8_t>& response, uint32_t* offset) {
    return ParseSmpResult(response.data(), response.size(), offset);
}

int32_t SmpErrorCode(const std::vector<uint8_t>& response) {
    if (response.size() <= kSmpHeaderSize) return 0;
    CborReader reader(response.data() + kSmpHeaderSize, response.size() - kSmpHeaderSize);
    CborMapIteration map;
    if (!OpenMap(reader, map)) return 0;
    return ParseSmpResult(response);
}

}  // namespace Mivo::BLE
