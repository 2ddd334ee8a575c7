// Feeds arbitrary bytes, as a device's response frame, to every reader of untrusted SMP data:
// the CBOR walk, the result reading, and the image-list and echo response readers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/api_exception.h"
#include "smp/cbor.h"
#include "smp/management_commands.h"
#include "smp/smp_frame.h"

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

}  // namespace

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
    return 0;
}
