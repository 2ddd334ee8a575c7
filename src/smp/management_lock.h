#pragma once
// Serialises management commands per device: an upload holds it over all of its chunks, so no
// other command can reset the device's SMP response buffer in between. Entries exist only
// while a command holds or waits for them.
#include <cstddef>
#include <memory>
#include <mutex>

namespace Mivo::BLE {

class IDevice;

class ManagementLock {
public:
    explicit ManagementLock(const IDevice* device);
    ~ManagementLock();
    ManagementLock(const ManagementLock&) = delete;
    ManagementLock& operator=(const ManagementLock&) = delete;

    // Number of devices that currently have an entry (for leak checks in tests).
    static size_t EntriesForTesting();
    // Commands holding or waiting for the lock of `device`.
    static size_t UsersForTesting(const IDevice* device);

private:
    const IDevice* device_;
    std::shared_ptr<std::mutex> mutex_;
};

}  // namespace Mivo::BLE
