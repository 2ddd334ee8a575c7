#pragma once
// Image and OS management commands on one device object. The exports resolve the handle and
// call these; each checks its arguments, runs its exchange under the device's management lock
// and throws ApiException (or the transport's error) on failure.
#include <cstddef>
#include <cstdint>

#include "mivoble/mivoble.h"

namespace Mivo::BLE {

class IDevice;

// Response time-outs of the commands, in milliseconds.
struct SmpTimeouts {
    uint32_t listImages = 5000;
    uint32_t uploadChunk = 2000;
    uint32_t testImage = 5000;
    uint32_t confirmImage = 5000;
    uint32_t eraseImage = 30000;
    uint32_t echo = 5000;
    uint32_t resetDevice = 2000;
    uint32_t parameters = 1000;  // the MCUmgr parameters question before an upload
};

inline constexpr uint32_t kUploadFirstChunk = 156;
inline constexpr uint32_t kUploadLaterChunk = 216;
inline constexpr size_t kEchoMaxMessage = 255;

void ListImages(IDevice& device, MIVOBLE_IMAGE_STATE* images, uint32_t* count, const SmpTimeouts& timeouts = {});
void UploadImage(IDevice& device, MIVOBLE_HANDLE handle, const uint8_t* data, uint32_t size,
                 UploadProgressCallback progress, void* userData, const SmpTimeouts& timeouts = {});
void TestImage(IDevice& device, const uint8_t* hash, const SmpTimeouts& timeouts = {});
void ConfirmImage(IDevice& device, const SmpTimeouts& timeouts = {});
void EraseImage(IDevice& device, const SmpTimeouts& timeouts = {});
void ResetDevice(IDevice& device, const SmpTimeouts& timeouts = {});
void Echo(IDevice& device, const char* message, char* response, uint32_t* responseSize,
          const SmpTimeouts& timeouts = {});

// Where the image-list diagnostic lines go; the default writes them to standard error.
using DiagnosticSink = void (*)(const char* line);
void WriteDiagnosticLine(const char* line);

// Response readers, separate from the exchange so that untrusted responses can be checked
// on their own. Both throw ApiException for a response they cannot use.
//
// Fills at most `capacity` records from an image-state response and returns how many.
uint32_t ParseImageStateResponse(const uint8_t* response, size_t length, MIVOBLE_IMAGE_STATE* images, uint32_t capacity,
                                 DiagnosticSink sink = WriteDiagnosticLine);
// Copies the echoed text (cut to bufferSize - 1 bytes, NUL added) and returns its length.
uint32_t ParseEchoResponse(const uint8_t* response, size_t length, char* buffer, uint32_t bufferSize);

}  // namespace Mivo::BLE
