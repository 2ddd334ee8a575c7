#pragma once
// The scanner as the C boundary sees it; BleScanner implements it.
#include <cstdint>

#include "mivoble/mivoble.h"

namespace Mivo::BLE {

class IAdapter {
public:
    virtual ~IAdapter() = default;
    virtual void StartScanning() = 0;
    virtual void StopScanning() = 0;
    virtual bool IsScanning() = 0;
    virtual void Shutdown() = 0;
    virtual void SetDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) = 0;
    virtual void SetDeviceListChangedCallback(DeviceListChangedCallback callback) = 0;
    virtual int32_t GetDiscoveredDeviceCount() = 0;
    // 0, or 4 for a null buffer, size 0 or an index not below the count.
    virtual int32_t GetDiscoveredDeviceName(uint32_t index, char* buffer, uint32_t size) = 0;
};

}  // namespace Mivo::BLE
