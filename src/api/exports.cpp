// The 31 C exports. Each checks its arguments, finds its object and forwards; Boundary()
// turns every failure into a result code and the thread's last-error text.
#include <algorithm>
#include <cstring>
#include <string>

#include "api/ble_factory.h"
#include "api/boundary.h"
#include "api/device_close.h"
#include "api/handle_registry.h"
#include "core/api_exception.h"
#include "log/log.h"
#include "mivoble/mivoble.h"
#include "protocol/data_callback_scope.h"
#include "protocol/default_generation.h"
#include "protocol/send_frame.h"
#include "smp/management_commands.h"

using namespace Mivo::BLE;

namespace {

#define MIVOBLE_STRINGIFY_(x) #x
#define MIVOBLE_STRINGIFY(x) MIVOBLE_STRINGIFY_(x)
constexpr const char* kApiVersion = MIVOBLE_STRINGIFY(MIVOBLE_VERSION_MAJOR) "." MIVOBLE_STRINGIFY(
    MIVOBLE_VERSION_MINOR) "." MIVOBLE_STRINGIFY(MIVOBLE_VERSION_PATCH) ".0";

// Every export keeps its own reference to the device for its whole call, so a close on
// another thread cannot free the device under it.
std::shared_ptr<IDevice> Device(MIVOBLE_HANDLE handle) { return HandleRegistry::Instance().Lookup(handle); }

// A data callback runs on the thread that delivers its device's notifications, with the
// stream of that device held. Calls that wait for Bluetooth work would stall that stream
// (their answers can queue behind the callback); they are refused at once from inside one.
void RefuseInsideDataCallback(const char* exportName) {
    if (DataCallbackScope::CurrentHandle() == 0) return;
    throw ApiException(std::string(exportName) + " cannot be called from a data callback.",
                       MIVOBLE_ERROR_INVALID_ARGUMENT);
}

// The stream settings of the device whose callback is running take effect when the callback
// returns; another device's would wait for that device's stream, which may be waiting for
// this one.
void RefuseForAnotherDevice(const char* exportName, MIVOBLE_HANDLE handle) {
    const MIVOBLE_HANDLE current = DataCallbackScope::CurrentHandle();
    if (current == 0 || current == handle) return;
    throw ApiException(std::string(exportName) + " cannot be called from a data callback of another device.",
                       MIVOBLE_ERROR_INVALID_ARGUMENT);
}

// Runs `work` on the scanner while holding the factory that owns it.
template <typename Work>
auto WithAdapter(Work&& work) {
    const std::shared_ptr<BLEFactory> factory = AcquireFactory();
    return work(factory->GetAdapter());
}

}  // namespace

extern "C" {

MIVOBLE_API const char* MIVOBLE_GetApiVersion(void) { return kApiVersion; }

MIVOBLE_API const char* MIVOBLE_GetLastErrorText(void) { return LastErrorText(); }

MIVOBLE_API int32_t MIVOBLE_SetDefaultGeneration(uint32_t generation) {
    if (generation > MIVOBLE_GENERATION_LEGACY) return MIVOBLE_ERROR_INVALID_ARGUMENT;
    SetDefaultGeneration(generation);
    return MIVOBLE_OK;
}

MIVOBLE_API int32_t MIVOBLE_GetDefaultGeneration(void) { return static_cast<int32_t>(GetDefaultGeneration()); }

MIVOBLE_API int32_t MIVOBLE_StartScanning(void) {
    return Boundary([] {
        RefuseInsideDataCallback("MIVOBLE_StartScanning");
        WithAdapter([](IAdapter& adapter) {
            if (!adapter.IsScanning()) adapter.StartScanning();
        });
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_StopScanning(void) {
    return Boundary([] {
        RefuseInsideDataCallback("MIVOBLE_StopScanning");
        WithAdapter([](IAdapter& adapter) {
            if (adapter.IsScanning()) adapter.StopScanning();
        });
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_GetDiscoveredDeviceCount(void) {
    static constexpr int32_t kNone = 0;
    return Boundary([] { return WithAdapter([](IAdapter& adapter) { return adapter.GetDiscoveredDeviceCount(); }); },
                    &kNone);
}

MIVOBLE_API int32_t MIVOBLE_GetDiscoveredDeviceName(uint32_t index, char* buffer, uint32_t size) {
    return Boundary([&] {
        return WithAdapter([&](IAdapter& adapter) { return adapter.GetDiscoveredDeviceName(index, buffer, size); });
    });
}

MIVOBLE_API int32_t MIVOBLE_RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_RegisterDeviceDiscoveredCallback");
        WithAdapter([&](IAdapter& adapter) { adapter.SetDeviceDiscoveredCallback(callback); });
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_RegisterDeviceListChangedCallback(DeviceListChangedCallback callback) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_RegisterDeviceListChangedCallback");
        WithAdapter([&](IAdapter& adapter) { adapter.SetDeviceListChangedCallback(callback); });
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_OpenDevice(const char* name, MIVOBLE_HANDLE* handle) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_OpenDevice");
        if (handle == nullptr) throw ApiException("Handle must not be null.", MIVOBLE_ERROR_GENERAL);
        if (name == nullptr) throw ApiException("Device name must not be null.", MIVOBLE_ERROR_GENERAL);
        const std::string serial(name);
        *handle = HandleRegistry::Instance().Open(serial, [&] {
            const std::shared_ptr<BLEFactory> factory = AcquireFactory();
            return factory->CreateDevice(serial, nullptr);
        });
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_CloseDevice(MIVOBLE_HANDLE* handle) {
    return Boundary([&] {
        if (handle == nullptr) throw ApiException("Handle must not be null", MIVOBLE_ERROR_INVALID_HANDLE);
        const MIVOBLE_HANDLE value = *handle;
        *handle = 0;  // the caller's variable is cleared whatever happens next
        if (DataCallbackScope::CurrentHandle() != 0) {
            // The handle goes now (no row is delivered under it any more); the close itself
            // waits for the delivery under way, so it runs on another thread.
            CloseRemovedDeviceLater(value, HandleRegistry::Instance().Remove(value));
        } else {
            CloseRemovedDevice(value, HandleRegistry::Instance().Remove(value), true);
        }
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_Shutdown(void) {
    return Boundary([] {
        RefuseInsideDataCallback("MIVOBLE_Shutdown");
        ShutdownAll();
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_GetDeviceInformation(MIVOBLE_HANDLE handle, MIVOBLE_DEVICE_INFORMATION* info) {
    return Boundary([&] {
        const auto device = Device(handle);
        if (info == nullptr) throw ApiException("info must not be null", MIVOBLE_ERROR_INVALID_ARGUMENT);
        *info = device->GetDeviceInformation();
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_GetChannelConfiguration(MIVOBLE_HANDLE handle, MIVOBLE_CHANNEL_CONFIGURATION* channels,
                                                    uint32_t* channelCount) {
    return Boundary([&] {
        if (channelCount == nullptr) {
            throw ApiException("channelCount must not be null", MIVOBLE_ERROR_INVALID_ARGUMENT);
        }
        const auto entries = Device(handle)->GetChannelConfiguration();
        const uint32_t capacity = *channelCount;
        *channelCount = static_cast<uint32_t>(entries.size());
        if (channels == nullptr) return MIVOBLE_OK;
        if (capacity < entries.size()) {
            throw ApiException("channels buffer too small for the reported channel count",
                               MIVOBLE_ERROR_INVALID_ARGUMENT);
        }
        for (size_t i = 0; i < entries.size(); ++i) channels[i] = entries[i];
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_RegisterDataAvailableCallback(MIVOBLE_HANDLE handle, DataAvailableCallback callback) {
    return Boundary([&] {
        RefuseForAnotherDevice("MIVOBLE_RegisterDataAvailableCallback", handle);
        Device(handle)->SetDataAvailableCallback(callback);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_RegisterDataAvailableBatchedCallback(MIVOBLE_HANDLE handle,
                                                                 DataAvailableBatchedCallback callback) {
    return Boundary([&] {
        RefuseForAnotherDevice("MIVOBLE_RegisterDataAvailableBatchedCallback", handle);
        Device(handle)->SetDataAvailableBatchedCallback(callback);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_SetFramesPerCallback(MIVOBLE_HANDLE handle, uint32_t frames) {
    return Boundary([&] {
        Device(handle)->SetFramesPerCallback(frames);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_RegisterConnectionStateCallback(MIVOBLE_HANDLE handle, ConnectionStateCallback callback) {
    return Boundary([&] {
        Device(handle)->SetConnectionStateCallback(callback);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_SendFrame(MIVOBLE_HANDLE handle, uint8_t command, const uint8_t* payload,
                                      uint16_t payloadLength, uint8_t* status, uint8_t* response,
                                      uint16_t* responseLength, uint32_t timeoutMs) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_SendFrame");
        const auto device = Device(handle);
        return SendFrameOnDevice(*device, command, payload, payloadLength, status, response, responseLength, timeoutMs);
    });
}

MIVOBLE_API int32_t MIVOBLE_SetActiveLayout(MIVOBLE_HANDLE handle, uint8_t channelCount, uint16_t framesPerPayload,
                                            uint8_t bytesPerSample, uint8_t littleEndian, uint16_t samplingRate) {
    return Boundary([&] {
        RefuseForAnotherDevice("MIVOBLE_SetActiveLayout", handle);
        return Device(handle)->SetActiveLayout(channelCount, framesPerPayload, bytesPerSample, littleEndian != 0,
                                               samplingRate);
    });
}

MIVOBLE_API int32_t MIVOBLE_ListImages(MIVOBLE_HANDLE handle, MIVOBLE_IMAGE_STATE* images, uint32_t* count) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_ListImages");
        const auto device = Device(handle);
        ListImages(*device, images, count);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_UploadImage(MIVOBLE_HANDLE handle, const uint8_t* data, uint32_t size, uint32_t /*unused*/,
                                        UploadProgressCallback progress, void* userData) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_UploadImage");
        const auto device = Device(handle);
        UploadImage(*device, handle, data, size, progress, userData);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_TestImage(MIVOBLE_HANDLE handle, const uint8_t* hash) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_TestImage");
        const auto device = Device(handle);
        TestImage(*device, hash);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_ConfirmImage(MIVOBLE_HANDLE handle) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_ConfirmImage");
        const auto device = Device(handle);
        ConfirmImage(*device);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_EraseImage(MIVOBLE_HANDLE handle) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_EraseImage");
        const auto device = Device(handle);
        EraseImage(*device);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_ResetDevice(MIVOBLE_HANDLE handle) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_ResetDevice");
        const auto device = Device(handle);
        ResetDevice(*device);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_Echo(MIVOBLE_HANDLE handle, const char* message, char* response, uint32_t* responseSize) {
    return Boundary([&] {
        RefuseInsideDataCallback("MIVOBLE_Echo");
        const auto device = Device(handle);
        Echo(*device, message, response, responseSize);
        return MIVOBLE_OK;
    });
}

MIVOBLE_API void MIVOBLE_Log(int32_t level, const char* sourceFile, int32_t line, const char* function,
                             const char* message) {
    static constexpr const char* kLabels[] = {kLogDebug, kLogInfo, kLogWarn, kLogError};
    try {
        const char* label = (level >= 0 && level < 4) ? kLabels[level] : "?    ";
        WriteLine(label, sourceFile, line, function, message);
    } catch (...) {
        // Logging never fails the caller.
    }
}

MIVOBLE_API int32_t MIVOBLE_SetLogFile(const char* path) {
    return Boundary([&] {
        if (path == nullptr || *path == '\0') {
            throw ApiException("MIVOBLE_SetLogFile: path is null/empty", MIVOBLE_ERROR_GENERAL);
        }
        if (!SetLogFilePath(path)) {
            throw ApiException("MIVOBLE_SetLogFile: could not open log file", MIVOBLE_ERROR_GENERAL);
        }
        return MIVOBLE_OK;
    });
}

MIVOBLE_API int32_t MIVOBLE_GetLogFile(char* buffer, uint32_t size) {
    return Boundary([&] {
        if (buffer == nullptr || size == 0) {
            throw ApiException("MIVOBLE_GetLogFile: invalid buffer", MIVOBLE_ERROR_GENERAL);
        }
        const std::string path = GetLogFilePath();
        const size_t count = std::min<size_t>(path.size(), size - 1);
        std::memcpy(buffer, path.data(), count);
        buffer[count] = '\0';
        return MIVOBLE_OK;
    });
}

}  // extern "C"
