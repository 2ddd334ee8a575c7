#include "api/handle_registry.h"

#include <cstring>

#include "core/api_exception.h"

namespace Mivo::BLE {

HandleRegistry& HandleRegistry::Instance() {
    static HandleRegistry* const registry = new HandleRegistry();
    return *registry;
}

namespace {

bool HasSerialNumber(IDevice& device, const std::string& name) {
    const MIVOBLE_DEVICE_INFORMATION info = device.GetDeviceInformation();
    return strnlen(info.serialNumber, sizeof info.serialNumber) == name.size() &&
           std::memcmp(info.serialNumber, name.data(), name.size()) == 0;
}

}  // namespace

MIVOBLE_HANDLE HandleRegistry::FindByNameLocked(const std::string& name) const {
    for (const auto& [handle, slot] : devices_) {
        if (slot.name == name) return handle;
    }
    return 0;
}

MIVOBLE_HANDLE HandleRegistry::InsertLocked(std::shared_ptr<IDevice> device, const std::string& name) {
    const MIVOBLE_HANDLE handle = ++counter_;
    devices_.emplace(handle, Slot{std::move(device), name});
    return handle;
}

MIVOBLE_HANDLE HandleRegistry::Open(const std::string& name, const DeviceMaker& make) {
    {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            if (opening_.count(name) != 0) {
                ++openWaiters_;
                changed_.notify_all();
                changed_.wait(guard, [&] { return opening_.count(name) == 0; });
                --openWaiters_;
                continue;
            }
            if (const MIVOBLE_HANDLE existing = FindByNameLocked(name); existing != 0) return existing;
            // Serial numbers are asked without the registry lock (a device may take its own
            // locks, and device threads take the registry lock after theirs).
            std::vector<Entry> open;
            for (const auto& [handle, slot] : devices_) open.emplace_back(handle, slot.device);
            const uint64_t seen = counter_;
            guard.unlock();
            MIVOBLE_HANDLE match = 0;
            for (const auto& [handle, device] : open) {
                if (HasSerialNumber(*device, name)) {
                    match = handle;
                    break;
                }
            }
            open.clear();
            guard.lock();
            if (match != 0 && devices_.count(match) != 0) return match;
            // Checked against a registry that has not gained a device since: create it.
            if (counter_ == seen && opening_.count(name) == 0) break;
        }
        opening_.insert(name);
    }
    std::shared_ptr<IDevice> device;
    try {
        device = make();
    } catch (...) {
        std::lock_guard<std::mutex> guard(lock_);
        opening_.erase(name);
        changed_.notify_all();
        throw;
    }
    std::lock_guard<std::mutex> guard(lock_);
    opening_.erase(name);
    changed_.notify_all();
    return InsertLocked(std::move(device), name);
}

MIVOBLE_HANDLE HandleRegistry::Register(std::shared_ptr<IDevice> device, const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    return InsertLocked(std::move(device), name);
}

std::shared_ptr<IDevice> HandleRegistry::Lookup(MIVOBLE_HANDLE handle) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = devices_.find(handle);
    if (it == devices_.end()) throw ApiException("Invalid device handle.", 1);
    return it->second.device;
}

MIVOBLE_HANDLE HandleRegistry::FindHandle(const IDevice* device) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [handle, slot] : devices_) {
        if (slot.device.get() == device) return handle;
    }
    throw ApiException("Device not found.", 1);
}

HandleFinder HandleRegistry::Finder() const {
    return [this](const IDevice* device) { return FindHandle(device); };
}

std::shared_ptr<IDevice> HandleRegistry::Remove(MIVOBLE_HANDLE handle) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = devices_.find(handle);
    if (it == devices_.end()) throw ApiException("Invalid device handle.", 1);
    std::shared_ptr<IDevice> device = std::move(it->second.device);
    devices_.erase(it);
    return device;
}

std::vector<HandleRegistry::Entry> HandleRegistry::RemoveAll() {
    std::map<MIVOBLE_HANDLE, Slot> removed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        removed.swap(devices_);
    }
    std::vector<Entry> entries;
    entries.reserve(removed.size());
    for (auto& [handle, slot] : removed) entries.emplace_back(handle, std::move(slot.device));
    return entries;
}

std::vector<MIVOBLE_HANDLE> HandleRegistry::Handles() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<MIVOBLE_HANDLE> handles;
    for (const auto& entry : devices_) handles.push_back(entry.first);
    return handles;
}

void HandleRegistry::Leak(std::shared_ptr<IDevice> device) {
    std::lock_guard<std::mutex> guard(lock_);
    leaked_.push_back(std::move(device));
}

size_t HandleRegistry::LeakedCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return leaked_.size();
}

bool HandleRegistry::WaitForOpenWaiters(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return openWaiters_ >= count; });
}

}  // namespace Mivo::BLE
