#include "smp/management_lock.h"

#include <unordered_map>

namespace Mivo::BLE {
namespace {

struct Entry {
    std::shared_ptr<std::mutex> mutex;
    size_t users = 0;
};

struct LockTable {
    std::mutex guard;
    std::unordered_map<const IDevice*, Entry> entries;
};

LockTable& Table() {
    static LockTable* table = new LockTable;  // never destroyed: usable until process exit
    return *table;
}

}  // namespace

ManagementLock::ManagementLock(const IDevice* device) : device_(device) {
    LockTable& table = Table();
    {
        std::lock_guard<std::mutex> guard(table.guard);
        Entry& entry = table.entries[device];
        if (!entry.mutex) entry.mutex = std::make_shared<std::mutex>();
        ++entry.users;
        mutex_ = entry.mutex;
    }
    mutex_->lock();
}

ManagementLock::~ManagementLock() {
    mutex_->unlock();
    LockTable& table = Table();
    std::lock_guard<std::mutex> guard(table.guard);
    auto it = table.entries.find(device_);
    if (it != table.entries.end() && --it->second.users == 0) table.entries.erase(it);
}

size_t ManagementLock::EntriesForTesting() {
    LockTable& table = Table();
    std::lock_guard<std::mutex> guard(table.guard);
    return table.entries.size();
}

size_t ManagementLock::UsersForTesting(const IDevice* device) {
    LockTable& table = Table();
    std::lock_guard<std::mutex> guard(table.guard);
    auto it = table.entries.find(device);
    return it == table.entries.end() ? 0 : it->second.users;
}

}  // namespace Mivo::BLE
