#include "smp/smp_frame.h"

#include <array>
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
                result = static_cast<int32_t>(static_cast<uint32_t>(argument));
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

SmpSequence& SequenceFor(SmpCommandKind kind) {
    static std::array<SmpSequence, 7> counters;
    return counters[static_cast<size_t>(kind)];
}

}  // namespace Mivo::BLE
