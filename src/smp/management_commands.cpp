#include "smp/management_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/api_exception.h"
#include "api/i_device.h"
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

std::vector<uint8_t> Exchange(IDevice& device, SmpCommandKind kind, uint8_t op, uint16_t group, uint8_t commandId,
                              const std::vector<uint8_t>& body, uint32_t timeoutMs) {
    const auto frame = BuildSmpFrame(op, group, SequenceFor(kind).Next(), commandId, body);
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

std::string FormatUploadFailure(const char* format, uint32_t offset, uint32_t size, int32_t rc = 0) {
    char text[256];
    std::snprintf(text, sizeof text, format, offset, size, rc);
    return text;
}

}  // namespace

void WriteDiagnosticLine(const char* line) {
    // Debugger output has no equivalent here; standard error is the channel.
    std::fputs(line, stderr);
}

uint32_t ParseImageStateResponse(const uint8_t* response, size_t length, MIVOBLE_IMAGE_STATE* images,
                                 uint32_t capacity, DiagnosticSink sink) {
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
    const auto response = Exchange(device, SmpCommandKind::ListImages, kSmpOpRead, kSmpGroupImage, kSmpImageState,
                                   EmptyMap(), timeouts.listImages);
    *count = ParseImageStateResponse(response.data(), response.size(), images, capacity);
}

void UploadImage(IDevice& device, MIVOBLE_HANDLE handle, const uint8_t* data, uint32_t size,
                 UploadProgressCallback progress, void* userData, const SmpTimeouts& timeouts) {
    if (data == nullptr || size == 0) throw ApiException("Image data and size must be valid.", 4);
    ManagementLock lock(&device);
    const auto sha = ComputeSha256(data, size);

    // The device steers the offsets and may send the upload back; a device that never lets it
    // finish is given up on after a generous number of requests instead of looping forever.
    const uint64_t minimumChunks =
        size <= kUploadFirstChunk ? 1 : 1 + (uint64_t{size} - kUploadFirstChunk + kUploadLaterChunk - 1) / kUploadLaterChunk;
    const uint64_t maximumRequests = 4 * minimumChunks + 16;
    uint64_t requests = 0;

    uint32_t offset = 0;
    while (offset < size) {
        if (++requests > maximumRequests) {
            throw ApiException(
                FormatUploadFailure("Upload failed at offset %u/%u: the device does not let the upload finish.",
                                    offset, size),
                -1);
        }
        const uint32_t limit = offset == 0 ? kUploadFirstChunk : kUploadLaterChunk;
        const uint32_t chunk = std::min(size - offset, limit);
        CborWriter body;
        if (offset == 0) {
            body.WriteMapHeader(4);
            body.WriteText("data");
            body.WriteBytes(data, chunk);
            body.WriteText("len");
            body.WriteUnsigned(size);
            body.WriteText("off");
            body.WriteUnsigned(0);
            body.WriteText("sha");
            body.WriteBytes(sha.data(), sha.size());
        } else {
            body.WriteMapHeader(2);
            body.WriteText("data");
            body.WriteBytes(data + offset, chunk);
            body.WriteText("off");
            body.WriteUnsigned(offset);
        }
        const auto response = Exchange(device, SmpCommandKind::UploadImage, kSmpOpWrite, kSmpGroupImage,
                                       kSmpImageUpload, body.Bytes(), timeouts.uploadChunk);
        uint32_t next = offset + chunk;
        const int32_t rc = ParseSmpResult(response, &next);
        if (rc != 0) {
            throw ApiException(
                FormatUploadFailure("Upload failed at offset %u/%u: SMP rc=%d (MCUboot: 1=EINVAL, 2=ENOENT, 5=EIO, "
                                    "8=ENOMEM, 22=BAD_FORMAT, 28=ENOSPC)",
                                    offset, size, rc),
                -1);
        }
        offset = next;
        if (progress != nullptr) progress(handle, offset, size, userData);
    }
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
    const auto response = Exchange(device, SmpCommandKind::TestImage, kSmpOpWrite, kSmpGroupImage, kSmpImageState,
                                   body.Bytes(), timeouts.testImage);
    if (ParseSmpResult(response) != 0) throw ApiException("Test image failed.", -1);
}

void ConfirmImage(IDevice& device, const SmpTimeouts& timeouts) {
    CborWriter body;
    body.WriteMapHeader(1);
    body.WriteText("confirm");
    body.WriteBool(true);
    ManagementLock lock(&device);
    const auto response = Exchange(device, SmpCommandKind::ConfirmImage, kSmpOpWrite, kSmpGroupImage,
                                   kSmpImageState, body.Bytes(), timeouts.confirmImage);
    if (ParseSmpResult(response) != 0) throw ApiException("Confirm image failed.", -1);
}

void EraseImage(IDevice& device, const SmpTimeouts& timeouts) {
    ManagementLock lock(&device);
    const auto response = Exchange(device, SmpCommandKind::EraseImage, kSmpOpWrite, kSmpGroupImage, kSmpImageErase,
                                   EmptyMap(), timeouts.eraseImage);
    if (ParseSmpResult(response) != 0) throw ApiException("Erase image failed.", -1);
}

void ResetDevice(IDevice& device, const SmpTimeouts& timeouts) {
    ManagementLock lock(&device);
    // Any answer in time means the device took the reset; its content does not matter.
    Exchange(device, SmpCommandKind::ResetDevice, kSmpOpWrite, kSmpGroupOs, kSmpOsReset, EmptyMap(),
             timeouts.resetDevice);
}

void Echo(IDevice& device, const char* message, char* response, uint32_t* responseSize,
          const SmpTimeouts& timeouts) {
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
    const auto reply =
        Exchange(device, SmpCommandKind::Echo, kSmpOpWrite, kSmpGroupOs, kSmpOsEcho, body.Bytes(), timeouts.echo);
    *responseSize = ParseEchoResponse(reply.data(), reply.size(), response, *responseSize);
}

}  // namespace Mivo::BLE
