// Feeds arbitrary bytes, as a device's response frame, to every reader of untrusted SMP data:
// the CBOR walk, the result reading, the image-list, echo and parameters response readers and
// the upload plan made from parameters; and, cut into notifications, to the matching of
// responses to outstanding requests.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/api_exception.h"
#include "log/log.h"
#include "smp/cbor.h"
#include "smp/management_commands.h"
#include "smp/smp_frame.h"
#include "smp/smp_parameters.h"
#include "smp/smp_response_matcher.h"

using namespace Mivo::BLE;

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void DiscardLine(const char* line) { Check(std::strlen(line) < 512); }

void WalkCbor(const uint8_t* data, size_t size) {
    CborReader reader(data, size);
    while (!reader.AtEnd()) {
        const size_t before = reader.position;
        SkipItem(reader);
        Check(reader.position > before && reader.position <= size);
    }
    CborReader mapReader(data, size);
    CborMapIteration map;
    if (OpenMap(mapReader, map)) {
        std::string key;
        while (NextMapKey(map, key)) {
            CborReader value = mapReader;
            ReadTextString(value);
            Check(value.position <= size);
            SkipItem(mapReader);
            Check(mapReader.position <= size);
        }
    }
}

void CheckParameters(const uint8_t* data, size_t size) {
    const SmpServerParameters parameters = ParseParametersResponse(data, size);
    Check(parameters.known);
    Check(!parameters.supported || (parameters.bufSize > 0 && parameters.bufCount > 0));
    const size_t maxFrame = size > 2 ? size_t{data[2]} << 2 : 244;
    const UploadPlan plan = PlanUpload(parameters, maxFrame, size > 3 ? data[3] % 6 : 4);
    Check(plan.window >= 1 && plan.window <= kMaxUploadWindow);
    Check(plan.firstChunk >= 32 && plan.laterChunk >= plan.firstChunk);
    if (plan.window > 1) Check(plan.laterChunk < parameters.bufSize && plan.laterChunk < maxFrame);
}

// The input cut into notifications (each piece's length taken from a byte of the input), with
// requests outstanding for the keys the first bytes name. Every answer taken must carry the
// key it was taken for and be one whole frame.
void CheckMatching(const uint8_t* data, size_t size) {
    if (size < 4) return;
    SmpResponseMatcher matcher("fuzz");
    std::vector<SmpKey> keys;
    for (size_t i = 0; i < 3; ++i) {
        SmpKey key;
        key.op = data[i] & 1 ? 3 : 1;
        key.group = data[i] >> 6;
        key.sequence = static_cast<uint8_t>(data[i] & 0x0E);
        key.command = (data[i] >> 4) & 3;
        matcher.Expect(key);
        keys.push_back(key);
    }
    size_t position = 3;
    while (position < size) {
        const size_t piece = std::min<size_t>(size - position, data[position] % 64 + 1);
        matcher.OnNotification(data + position, piece);
        position += piece;
    }
    for (const auto& key : keys) {
        const auto answer = matcher.Wait(key, std::chrono::steady_clock::now());
        if (!answer) continue;
        const auto got = KeyOfFrame(answer->data(), answer->size());
        Check(got.has_value() && *got == key);
        Check(answer->size() == kSmpHeaderSize + (size_t{(*answer)[2]} << 8 | (*answer)[3]));
    }
    Check(matcher.OutstandingForTesting() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogFilePath("/dev/null");  // dropped frames are logged
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WalkCbor(data, size);

    uint32_t offset = 0;
    ParseSmpResult(data, size, &offset);

    const uint32_t capacity = size > 0 ? data[0] % 5 : 0;
    MIVOBLE_IMAGE_STATE images[4];
    try {
        const uint32_t count = ParseImageStateResponse(data, size, images, capacity, DiscardLine);
        Check(count <= capacity);
        for (uint32_t i = 0; i < count; ++i) {
            Check(std::memchr(images[i].version, 0, sizeof images[i].version) != nullptr);
            for (uint8_t r : images[i].reserved) Check(r == 0);
        }
    } catch (const ApiException&) {
    }

    char buffer[17];
    const uint32_t bufferSize = size > 1 ? data[1] % 16 + 1 : 1;
    try {
        const uint32_t length = ParseEchoResponse(data, size, buffer, bufferSize);
        Check(length < bufferSize && buffer[length] == '\0');
    } catch (const ApiException&) {
    }

    CheckParameters(data, size);
    CheckMatching(data, size);
    return 0;
}
