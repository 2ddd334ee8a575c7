#include "smp/image_management.h"

#include "api/api_exception.h"

namespace Mivo::BLE {
namespace {
[[noreturn]] void NotYet() { throw ApiException("Device management is not available yet.", -1); }
}  // namespace

int32_t ListImagesExport(MIVOBLE_HANDLE, MIVOBLE_IMAGE_STATE*, uint32_t*) { NotYet(); }
int32_t UploadImageExport(MIVOBLE_HANDLE, const uint8_t*, uint32_t, UploadProgressCallback, void*) { NotYet(); }
int32_t TestImageExport(MIVOBLE_HANDLE, const uint8_t*) { NotYet(); }
int32_t ConfirmImageExport(MIVOBLE_HANDLE) { NotYet(); }
int32_t EraseImageExport(MIVOBLE_HANDLE) { NotYet(); }
int32_t ResetDeviceExport(MIVOBLE_HANDLE) { NotYet(); }
int32_t EchoExport(MIVOBLE_HANDLE, const char*, char*, uint32_t*) { NotYet(); }

}  // namespace Mivo::BLE
