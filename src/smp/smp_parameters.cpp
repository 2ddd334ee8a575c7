#include "smp/smp_parameters.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "smp/cbor.h"
#include "smp/management_commands.h"
#include "smp/smp_frame.h"

namespace Mivo::BLE {
namespace {

// Frame bytes around the data of an upload request, at their largest: header, map head, the
// "data" key and a byte-string head of up to 3 bytes, and the "off" key with a 32-bit value.
constexpr uint32_t kLaterChunkOverhead = 8 + 1 + 5 + 3 + 4 + 5;
// The first chunk adds "len" with a 32-bit value and "sha" with its 32 bytes.
constexpr uint32_t kFirstChunkOverhead = kLaterChunkOverhead + 4 + 5 + 4 + 2 + 32;
// A first chunk must carry at least the boot loader's image header.
constexpr uint32_t kMinimumFirstChunk = 32;

}  // namespace

std::vector<uint8_t> BuildParametersRequest(uint8_t sequence) {
    CborWriter body;
    body.WriteMapHeader(0);
    return BuildSmpFrame(kSmpOpRead, kSmpGroupOs, sequence, kSmpOsParameters, body.Bytes());
}

SmpServerParameters ParseParametersResponse(const uint8_t* response, size_t length) {
    SmpServerParameters parameters;
    parameters.known = true;
    if (response == nullptr || length <= kSmpHeaderSize) return parameters;
    CborReader reader(response + kSmpHeaderSize, length - kSmpHeaderSize);
    CborMapIteration map;
    if (!OpenMap(reader, map)) return parameters;
    int32_t rc = 0;
    uint64_t bufSize = 0, bufCount = 0;
    std::string key;
    while (NextMapKey(map, key)) {
        const bool size = key == "buf_size", count = key == "buf_count";
        if ((size || count) && !reader.AtEnd() && reader.PeekMajor() == 0) {
            CborReader value = reader;
            const uint8_t additional = reader.Peek() & 0x1F;
            // Up to 32 bits; wider or malformed values read as 0 (unusable).
            const uint64_t argument = additional <= 26 ? ReadArgument(value) : 0;
            (size ? bufSize : bufCount) = argument;
        } else if (key == "rc") {
            rc = ParseSmpResult(response, length);
        }
        SkipItem(reader);
    }
    if (rc != 0 || bufSize == 0 || bufCount == 0) return parameters;
    parameters.supported = true;
    parameters.bufSize = static_cast<uint32_t>(std::min<uint64_t>(bufSize, UINT32_MAX));
    parameters.bufCount = static_cast<uint32_t>(std::min<uint64_t>(bufCount, UINT32_MAX));
    return parameters;
}

UploadPlan PlanUpload(const SmpServerParameters& parameters, size_t maxFrame, size_t windowLimit) {
    UploadPlan plan{1, kUploadFirstChunk, kUploadLaterChunk};
    if (!parameters.supported) return plan;
    const uint64_t frame = std::min<uint64_t>(parameters.bufSize, maxFrame);
    if (frame < kFirstChunkOverhead + kMinimumFirstChunk) return plan;
    const uint64_t window = parameters.bufCount > 1 ? parameters.bufCount - 1 : 1;
    plan.window =
        static_cast<size_t>(std::clamp<uint64_t>(std::min<uint64_t>(window, windowLimit), 1, kMaxUploadWindow));
    // Frames up to 65535 bytes: the header's length field is 16 bits.
    const uint64_t limited = std::min<uint64_t>(frame, 65535);
    plan.firstChunk = static_cast<uint32_t>(limited - kFirstChunkOverhead);
    plan.laterChunk = static_cast<uint32_t>(limited - kLaterChunkOverhead);
    return plan;
}

size_t WindowLimitFromEnvironment() {
    const char* text = std::getenv("MIVOBLE_SMP_WINDOW");
    if (text == nullptr) return kMaxUploadWindow;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1) return kMaxUploadWindow;
    return static_cast<size_t>(std::min<long>(value, kMaxUploadWindow));
}

}  // namespace Mivo::BLE
