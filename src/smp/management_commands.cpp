#include "smp/management_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/api_exception.h"
#include "core/i_device.h"
#include "smp/cbor.h"
#include "smp/management_lock.h"
#include "smp/sha256.h"
#include "smp/smp_frame.h"

namespace Mivo::BLE {
namespace {

std::vector<uint8_t> EmptyMap() {
    CborWriter writer;
    writer.WriteMapHeader(0);
    return writer.Take();
}

std::vector<uint8_t> Exchange(IDevice& device, uint8_t op, uint16_t group, uint8_t commandId,
                              const std::vector<uint8_t>& body, uint32_t timeoutMs) {
    const auto frame = BuildSmpFrame(op, group, device.NextSmpSequence(), commandId, body);
    return device.SendSmpCommand(frame, timeoutMs);
}

// Formats one diagnostic line into a buffer of N bytes (cut to fit) and hands it on.
template <size_t N, typename... Args>
void Diagnose(DiagnosticSink sink, const char* format, Args... args) {
    char line[N];
    std::snprintf(line, sizeof line, format, args...);
    sink(line);
}

template <size_t N>
void Diagnose(DiagnosticSink sink, const char* text) {
    Diagnose<N>(sink, "%s", text);
}

// A byte or text string of definite length that lies wholly inside the data.
bool PeekDefiniteString(const CborReader& reader, uint8_t major, const uint8_t*& bytes, uint64_t& length) {
    if (reader.AtEnd() || reader.PeekMajor() != major) return false;
    CborReader value = reader;
    length = ReadArgument(value);
    if (length == kCborIndefinite || length > value.Remaining()) return false;
    bytes = value.data + value.position;
    return true;
}

void ParseImage(CborReader& reader, MIVOBLE_IMAGE_STATE& image, DiagnosticSink sink) {
    std::memset(&image, 0, sizeof image);
    CborMapIteration map;
    OpenMap(reader, map);
    std::string key;
    while (NextMapKey(map, key)) {
        Diagnose<128>(sink, "[ListImages]   Field: '%s'\n", key.c_str());
        const uint8_t* bytes = nullptr;
        uint64_t length = 0;
        if (key == "slot") {
            CborReader value = reader;
            image.slot = static_cast<uint8_t>(ReadArgument(value));
        } else if (key == "version") {
            if (PeekDefiniteString(reader, kCborText, bytes, length)) {
                std::memcpy(image.version, bytes, std::min<uint64_t>(length, sizeof image.version - 1));
            }
        } else if (key == "hash") {
            if (PeekDefiniteString(reader, kCborBytes, bytes, length) && length == sizeof image.hash) {
                std::memcpy(image.hash, bytes, sizeof image.hash);
            }
        } else if (key == "confirmed" || key == "pending" || key == "active") {
            if (!reader.AtEnd() && reader.Peek() == kCborTrue) {
                image.flags |= key == "confirmed" ? MIVOBLE_IMAGE_FLAG_CONFIRMED
                               : key == "pending" ? MIVOBLE_IMAGE_FLAG_PENDING
                                                  : MIVOBLE_IMAGE_FLAG_ACTIVE;
            }
        }
        // Every value is finally skipped whole, whatever its kind, to keep the walk aligned.
        SkipItem(reader);
    }
}

// Walks the "images" array; returns the number of records filled (at most capacity - filled).
uint32_t ParseImages(CborReader& reader, MIVOBLE_IMAGE_STATE* images, uint32_t filled, uint32_t capacity,
                     DiagnosticSink sink) {
    const uint64_t count = ReadArgument(reader);
    const bool indefinite = count == kCborIndefinite;
    Diagnose<64>(sink, "[ListImages] Images array: %s\n", indefinite ? "indefinite" : "definite");
    for (uint64_t index = 0;; ++index) {
        if (reader.AtEnd()) break;
        if (indefinite) {
            if (reader.Peek() == kCborBreak) {
                ++reader.position;
                break;
            }
        } else if (index >= count) {
            break;
        }
        // Elements beyond the capacity, and elements that are not maps, are skipped.
        if (filled >= capacity || reader.PeekMajor() != kCborMap) {
            SkipItem(reader);
            continue;
        }
        MIVOBLE_IMAGE_STATE& image = images[filled];
        ParseImage(reader, image, sink);
        Diagnose<128>(sink, "[ListImages] Parsed image: slot=%d, version='%s'\n", int{image.slot}, image.version);
        ++filled;
    }
    return filled;
}

}  // namespace

void WriteDiagnosticLine(const char* line) {
    // Debugger output has no equivalent here; standard error is the channel.
    std::fputs(line, stderr);
}

uint32_t ParseImageStateResponse(const uint8_t* response, size_t length, MIVOBLE_IMAGE_STATE* images, uint32_t capacity,
                                 DiagnosticSink sink) {
    Diagnose<512>(sink, "[ListImages] Response size: %zu bytes\n", length);
    char hex[64 * 3 + 1] = {};
    const size_t shown = std::min<size_t>(length, 64);
    for (size_t i = 0; i < shown; ++i) std::snprintf(hex + 3 * i, 4, "%02X ", response[i]);
    Diagnose<512>(sink, "[ListImages] Data: %s\n", hex);

    if (length < kSmpHeaderSize + 1) throw ApiException("Invalid image state response.", -1);
    CborReader reader(response + kSmpHeaderSize, length - kSmpHeaderSize);
    const uint8_t first = reader.Peek();
    Diagnose<128>(sink, "[ListImages] CBOR len: %zu, first byte: 0x%02X (major type: %d)\n", reader.length,
                  unsigned{first}, first >> 5);
    CborMapIteration map;
    if (!OpenMap(reader, map)) {
        Diagnose<128>(sink, "[ListImages] ERROR: Not a map!\n");
        throw ApiException("Invalid CBOR: expected map.", -1);
    }
    Diagnose<64>(sink, "[ListImages] Map: %s (count=%llu)\n", map.indefinite ? "indefinite" : "definite",
                 static_cast<unsigned long long>(map.declaredCount));
    // A device error is a failure, not an empty list.
    if (const int32_t rc = ParseSmpResult(response, length); rc != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "List images failed: SMP rc=%d.", rc);
        throw ApiException(text, -1);
    }

    uint32_t filled = 0;
    std::string key;
    while (NextMapKey(map, key)) {
        Diagnose<128>(sink, "[ListImages] Key: '%s'\n", key.c_str());
        if (key != "images") {
            SkipItem(reader);
            continue;
        }
        if (reader.AtEnd() || reader.PeekMajor() != kCborArray) {
            Diagnose<128>(sink, "[ListImages] ERROR: images value is not an array!\n");
            SkipItem(reader);
            continue;
        }
        filled = ParseImages(reader, images, filled, capacity, sink);
    }
    return filled;
}

uint32_t ParseEchoResponse(const uint8_t* response, size_t length, char* buffer, uint32_t bufferSize) {
    if (length < kSmpHeaderSize + 1) throw ApiException("Invalid echo response format.", -1);
    CborReader reader(response + kSmpHeaderSize, length - kSmpHeaderSize);
    CborMapIteration map;
    if (!OpenMap(reader, map)) throw ApiException("Invalid echo response format.", -1);
    std::string key;
    while (NextMapKey(map, key)) {
        if (key == "r") {
            const std::string text = ReadTextString(reader);
            const auto copied = static_cast<uint32_t>(std::min<size_t>(text.size(), bufferSize - 1));
            std::memcpy(buffer, text.data(), copied);
            buffer[copied] = '\0';
            return copied;
        }
        SkipItem(reader);
    }
    throw ApiException("Echo response missing 'r' field.", -1);
}

void ListImages(IDevice& device, MIVOBLE_IMAGE_STATE* images, uint32_t* count, const SmpTimeouts& timeouts) {
    if (images == nullptr || count == nullptr) throw ApiException("Images array and count must not be null.", 4);
    const uint32_t capacity = *count;
    *count = 0;
    ManagementLock lock(&device);
    const auto response = Exchange(device, kSmpOpRead, kSmpGroupImage, kSmpImageState, EmptyMap(), timeouts.listImages);
    *count = ParseImageStateResponse(response.data(), response.size(), images, capacity);
}

void TestImage(IDevice& device, const uint8_t* hash, const SmpTimeouts& timeouts) {
    if (hash == nullptr) throw ApiException("Image hash must not be null.", 4);
    CborWriter body;
    body.WriteMapHeader(2);
    body.WriteText("hash");
    body.WriteBytes(hash, 32);
    body.WriteText("confirm");
    body.WriteBool(false);
    ManagementLock lock(&device);
    const auto response =
        Exchange(device, kSmpOpWrite, kSmpGroupImage, kSmpImageState, body.Bytes(), timeouts.testImage);
    if (ParseSmpResult(response) != 0) throw ApiException("Test image failed.", -1);
}

void ConfirmImage(IDevice& device, const SmpTimeouts& timeouts) {
    CborWriter body;
    body.WriteMapHeader(1);
    body.WriteText("confirm");
    body.WriteBool(true);
    ManagementLock lock(&device);
    const auto response =
        Exchange(device, kSmpOpWrite, kSmpGroupImage, kSmpImageState, body.Bytes(), timeouts.confirmImage);
    if (ParseSmpResult(response) != 0) throw ApiException("Confirm image failed.", -1);
}

void EraseImage(IDevice& device, const SmpTimeouts& timeouts) {
    ManagementLock lock(&device);
    const auto response =
        Exchange(device, kSmpOpWrite, kSmpGroupImage, kSmpImageErase, EmptyMap(), timeouts.eraseImage);
    if (ParseSmpResult(response) != 0) throw ApiException("Erase image failed.", -1);
}

void ResetDevice(IDevice& device, const SmpTimeouts& timeouts) {
    ManagementLock lock(&device);
    // An answer in time means the device took the reset, unless the answer is an error.
    const auto response = Exchange(device, kSmpOpWrite, kSmpGroupOs, kSmpOsReset, EmptyMap(), timeouts.resetDevice);
    if (SmpErrorCode(response) != 0) throw ApiException("Reset device failed.", -1);
}

void Echo(IDevice& device, const char* message, char* response, uint32_t* responseSize, const SmpTimeouts& timeouts) {
    if (message == nullptr) throw ApiException("Message must not be null.", 4);
    if (response == nullptr || responseSize == nullptr) {
        throw ApiException("Response buffer and size must not be null.", 4);
    }
    if (*responseSize == 0) throw ApiException("Response buffer size must be non-zero.", 4);
    const size_t length = strnlen(message, kEchoMaxMessage + 1);
    if (length > kEchoMaxMessage) throw ApiException("Message too long for echo.", 4);

    CborWriter body;
    body.WriteMapHeader(1);
    body.WriteText("d");
    body.WriteText(std::string_view(message, length));
    ManagementLock lock(&device);
    const auto reply = Exchange(device, kSmpOpWrite, kSmpGroupOs, kSmpOsEcho, body.Bytes(), timeouts.echo);
    *responseSize = ParseEchoResponse(reply.data(), reply.size(), response, *responseSize);
}

}  // namespace Mivo::BLE
