#pragma once
// Image and OS management over SMP: the bodies of the seven management exports. Each looks
// the handle up itself, checks its arguments, throws ApiException on failure and returns 0.
#include <cstdint>

#include "mivoble/mivoble.h"

namespace Mivo::BLE {

int32_t ListImagesExport(MIVOBLE_HANDLE handle, MIVOBLE_IMAGE_STATE* images, uint32_t* count);
int32_t UploadImageExport(MIVOBLE_HANDLE handle, const uint8_t* data, uint32_t size, UploadProgressCallback progress,
                          void* userData);
int32_t TestImageExport(MIVOBLE_HANDLE handle, const uint8_t* hash);
int32_t ConfirmImageExport(MIVOBLE_HANDLE handle);
int32_t EraseImageExport(MIVOBLE_HANDLE handle);
int32_t ResetDeviceExport(MIVOBLE_HANDLE handle);
int32_t EchoExport(MIVOBLE_HANDLE handle, const char* message, char* response, uint32_t* responseSize);

}  // namespace Mivo::BLE
