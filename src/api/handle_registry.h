#pragma once
// The process-wide map from device handle to open device. Handles count up from 1 and are
// never reused; 0 is never issued. Devices are held by shared_ptr so every export can keep
// the device alive for its whole call, even when another thread closes the handle.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/i_device.h"
#include "mivoble/mivoble.h"

namespace Mivo::BLE {

class HandleRegistry {
public:
    using Entry = std::pair<MIVOBLE_HANDLE, std::shared_ptr<IDevice>>;
    using DeviceMaker = std::function<std::shared_ptr<IDevice>()>;

    HandleRegistry() = default;
    HandleRegistry(const HandleRegistry&) = delete;
    HandleRegistry& operator=(const HandleRegistry&) = delete;

    // The process-wide registry. It is never destroyed: devices still open at process exit
    // are not torn down by static destruction.
    static HandleRegistry& Instance();

    // The handle of the open device with this name (its open name or its serial number), or
    // a new handle for the device `make` creates. No device is called with the registry lock
    // held: `make` and the serial-number queries run without it; a
    // concurrent open of the same name waits for it and then gets the same handle. When
    // `make` throws, nothing is registered, no handle is consumed, and the exception
    // propagates (a waiting open of the same name then makes its own attempt).
    MIVOBLE_HANDLE Open(const std::string& name, const DeviceMaker& make);

    // Registers a device and issues the next handle.
    MIVOBLE_HANDLE Register(std::shared_ptr<IDevice> device, const std::string& name = {});

    // Throws ApiException("Invalid device handle.", 1) for an unknown handle.
    std::shared_ptr<IDevice> Lookup(MIVOBLE_HANDLE handle) const;

    // The handle under which `device` is registered; throws ApiException("Device not found.", 1)
    // while it is being opened or after its handle was removed. Device callbacks use it.
    MIVOBLE_HANDLE FindHandle(const IDevice* device) const;
    // FindHandle of this registry as a function, for the devices it will hold.
    HandleFinder Finder() const;

    // Removes the handle and returns its device; throws "Invalid device handle." (1).
    std::shared_ptr<IDevice> Remove(MIVOBLE_HANDLE handle);

    // Removes every handle; the entries come back in handle order.
    std::vector<Entry> RemoveAll();

    // The open handles in order (for diagnostics and tests).
    std::vector<MIVOBLE_HANDLE> Handles() const;

    // Keeps one reference to a device that cannot be destroyed safely, for the life of the process.
    void Leak(std::shared_ptr<IDevice> device);
    size_t LeakedCount() const;

    // Waits until at least `count` opens are waiting for another open of the same name.
    bool WaitForOpenWaiters(size_t count, std::chrono::milliseconds timeout) const;

private:
    MIVOBLE_HANDLE FindByNameLocked(const std::string& name) const;
    MIVOBLE_HANDLE InsertLocked(std::shared_ptr<IDevice> device, const std::string& name);

    struct Slot {
        std::shared_ptr<IDevice> device;
        std::string name;  // the name it was opened with
    };

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::map<MIVOBLE_HANDLE, Slot> devices_;
    uint64_t counter_ = 0;
    std::set<std::string> opening_;  // names whose device is being created
    size_t openWaiters_ = 0;
    std::vector<std::shared_ptr<IDevice>> leaked_;
};

}  // namespace Mivo::BLE
