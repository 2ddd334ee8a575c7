#include "smp/image_management.h"

#include "api/handle_registry.h"
#include "smp/management_commands.h"

namespace Mivo::BLE {

// Each export keeps its own reference to the device for the whole exchange, so a close on
// another thread cannot free the device under it.

int32_t ListImagesExport(MIVOBLE_HANDLE handle, MIVOBLE_IMAGE_STATE* images, uint32_t* count) {
    const auto device = HandleRegistry::Instance().Lookup(handle);
    ListImages(*device, images, count);
    return 0;
}

int32_t UploadImageExport(MIVOBLE_HANDLE handle, const uint8_t* data, uint32_t size, UploadProgressCallback progress,
                          void* userData) {
    const auto device = HandleRegistry::Instance().Lookup(handle);
    UploadImage(*device, handle, data, size, progress, userData);
    return 0;
}

int32_t TestImageExport(MIVOBLE_HANDLE handle, const uint8_t* hash) {
    const auto device = HandleRegistry::Instance().Lookup(handle);
    TestImage(*device, hash);
    return 0;
}

int32_t ConfirmImageExport(MIVOBLE_HANDLE handle) {
    const auto device = HandleRegistry::Instance().Lookup(handle);
    ConfirmImage(*device);
    return 0;
}

int32_t EraseImageExport(MIVOBLE_HANDLE handle) {
    const auto device = HandleRegistry::Instance().Lookup(handle);
    EraseImage(*device);
    return 0;
}

int32_t ResetDeviceExport(MIVOBLE_HANDLE handle) {
    const auto device = HandleRegistry::Instance().Lookup(handle);
    ResetDevice(*device);
    return 0;
}

int32_t EchoExport(MIVOBLE_HANDLE handle, const char* message, char* response, uint32_t* responseSize) {
    const auto device = HandleRegistry::Instance().Lookup(handle);
    Echo(*device, message, response, responseSize);
    return 0;
}

}  // namespace Mivo::BLE
