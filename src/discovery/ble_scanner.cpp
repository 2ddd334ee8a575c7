#include "discovery/ble_scanner.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "core/api_exception.h"
#include "log/log.h"
#include "platform/backend.h"
#include "runtime/await_bounded.h"
#include "runtime/bluetooth_executor.h"
#include "runtime/platform_errors.h"

namespace Mivo::BLE {
namespace {

constexpr size_t kNameSlot = MIVOBLE_DEVICENAME_LENGTH_MAX;  // 14 bytes + terminating zero

}  // namespace

// Owns the process-wide scanner. Neither is ever destroyed: backend threads and Bluetooth
// tasks may still reach the scanner while static destruction runs at process exit.
class ScannerInstanceHolder {
public:
    static ScannerInstanceHolder& Get() {
        static ScannerInstanceHolder* const holder = new ScannerInstanceHolder();
        return *holder;
    }
    std::mutex mutex;
    BleScanner* scanner = nullptr;
};

BleScanner& BleScanner::Instance() {
    ScannerInstanceHolder& holder = ScannerInstanceHolder::Get();
    std::lock_guard<std::mutex> lock(holder.mutex);
    if (!holder.scanner) {
        auto created = std::make_unique<BleScanner>();
        BleScanner* raw = created.get();
        created->Executor().Run("CheckRadio", created->timing_.taskBudgetMs, [raw] { raw->CheckRadio(); });
        holder.scanner = created.release();
    }
    return *holder.scanner;
}

void BleScanner::ReleaseInstanceAtExit() {
    ScannerInstanceHolder& holder = ScannerInstanceHolder::Get();
    BleScanner* scanner = nullptr;
    {
        std::lock_guard<std::mutex> lock(holder.mutex);
        scanner = holder.scanner;
    }
    if (scanner) scanner->ReleaseAtExit();
}

BleScanner::BleScanner(ScannerTiming timing, BluetoothExecutor* executor, Clock clock)
    : timing_(timing), executor_(executor), clock_(std::move(clock)) {}

BleScanner::~BleScanner() {
    // Only scanners made for tests get here; make sure the watcher stops calling us.
    try {
        StopWatcher();
    } catch (...) {
    }
}

BluetoothExecutor& BleScanner::Executor() { return executor_ ? *executor_ : BluetoothExecutor::Instance(); }

int64_t BleScanner::Now() const {
    if (clock_) return clock_();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double BleScanner::AgeMs(int64_t now, int64_t lastSeen) const { return static_cast<double>(now - lastSeen) / 1e6; }

bool BleScanner::MatchesSerialPattern(const std::string& name) {
    return name.size() == 13 && name[2] == '-' && name[7] == '.' && name[10] == '.';
}

// ---- radio and watcher (executor thread) ----

void BleScanner::CheckRadio() {
    auto stack = Platform::GetStack();
    auto adapter = TranslatingPlatformErrors(
        [&] { return AwaitBounded(stack->GetDefaultAdapterAsync(), timing_.adapterBoundMs, "GetDefaultAdapter"); });
    if (!adapter) throw ApiException("No Bluetooth adapter found.", 2);
    auto radio = TranslatingPlatformErrors(
        [&] { return AwaitBounded(adapter->GetRadioAsync(), timing_.radioBoundMs, "GetRadio"); });
    if (!radio || radio->State() != Platform::RadioState::On) throw ApiException("Bluetooth adapter not enabled.", 2);
}

void BleScanner::StopWatcher() {
    std::shared_ptr<Platform::IAdvertisementWatcher> watcher = std::move(watcher_);
    watcher_.reset();
    const Platform::EventToken token = receivedToken_;
    receivedToken_ = 0;
    if (!watcher) return;
    // Every step is tried and the watcher released even when the platform refuses one;
    // the first failure is reported afterwards.
    std::exception_ptr failure;
    if (token != 0) {
        try {
            watcher->RemoveReceived(token);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    try {
        if (watcher->Status() == Platform::WatcherStatus::Started) watcher->Stop();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
}

void BleScanner::StartWatcher() {
    StopWatcher();
    auto watcher = Platform::GetStack()->CreateAdvertisementWatcher();
    if (!watcher) throw ApiException("Could not create an advertisement watcher.", 3);
    watcher->SetScanningMode(Platform::ScanningMode::Active);
    Platform::EventToken token =
        watcher->AddReceived([this](const Platform::AdvertisementEvent& event) { HandleAdvertisement(event); });
    try {
        watcher->Start();
    } catch (...) {
        // No half-started watcher is kept: its handler goes with it.
        try {
            watcher->RemoveReceived(token);
        } catch (...) {
        }
        throw;
    }
    const double interval = static_cast<double>(watcher->ReportInterval().count());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reportIntervalMs_ = interval;
    }
    watcher_ = std::move(watcher);
    receivedToken_ = token;
}

bool BleScanner::WatcherStarted() { return watcher_ && watcher_->Status() == Platform::WatcherStatus::Started; }

void BleScanner::StartScanning() {
    Executor().Run("StartScanning", timing_.taskBudgetMs, [this] {
        TranslatingPlatformErrors([this] {
            CheckRadio();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                devices_.clear();
            }
            StartWatcher();
        });
    });
    LogMessage(kLogDebug, "scanner: advertisement watcher started");
}

void BleScanner::StopScanning() {
    Executor().Run("StopScanning", timing_.taskBudgetMs,
                   [this] { TranslatingPlatformErrors([this] { StopWatcher(); }); });
    LogMessage(kLogDebug, "scanner: advertisement watcher stopped");
}

bool BleScanner::IsScanning() {
    return Executor().Run("IsScanning", timing_.taskBudgetMs,
                          [this] { return TranslatingPlatformErrors([this] { return WatcherStarted(); }); });
}

bool BleScanner::EnsureScanning() {
    bool started = Executor().Run("EnsureScanning", timing_.taskBudgetMs, [this] {
        return TranslatingPlatformErrors([this] {
            if (WatcherStarted()) return false;
            CheckRadio();
            StartWatcher();
            return true;
        });
    });
    if (started) LogMessage(kLogDebug, "scanner: advertisement watcher started (reconnect)");
    return started;
}

void BleScanner::Shutdown() {
    try {
        Executor().Run("DestroyWatcher", timing_.taskBudgetMs, [this] { StopWatcher(); });
    } catch (...) {
        // Shutting down goes on whatever the watcher or the executor says.
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        devices_.clear();
        discoveredCallback_ = nullptr;
        listChangedCallback_ = nullptr;
        callbacks_.WaitForEarlierCalls(lock);
    }
    Executor().Stop();
}

void BleScanner::ReleaseAtExit() {
    std::unique_lock<std::mutex> lock(mutex_);
    devices_.clear();
    discoveredCallback_ = nullptr;
    listChangedCallback_ = nullptr;
    // The watcher is left alone: a Bluetooth task may be using it, and the stack stops
    // delivering advertisements at exit anyway.
    callbacks_.WaitForEarlierCalls(lock);
}

// ---- list (any thread) ----

void BleScanner::HandleAdvertisement(const Platform::AdvertisementEvent& event) {
    try {
        const int64_t now = Now();
        uint32_t count = 0;
        std::vector<std::string> names;
        DeviceListChangedCallback listChanged = nullptr;
        DeviceDiscoveredCallback discovered = nullptr;
        CallbackGate::Ticket ticket;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto known = std::find_if(devices_.begin(), devices_.end(),
                                      [&](const DiscoveredDevice& d) { return d.name == event.localName; });
            // The filter is asked before anything changes, so a throwing filter leaves the list as it was.
            const bool acceptable =
                known == devices_.end() && (filter_ ? filter_(event.localName) : MatchesSerialPattern(event.localName));
            if (known != devices_.end()) {
                known->address = event.address;
                known->connectable = event.connectable;
                known->lastSeen = now;
            }
            bool changed = false;
            for (size_t i = devices_.size(); i-- > 0;) {
                if (AgeMs(now, devices_[i].lastSeen) > StaleAfterMsLocked()) {
                    devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(i));
                    changed = true;
                }
            }
            if (acceptable) {
                devices_.push_back({event.localName, event.address, event.connectable, now});
                changed = true;
            }
            if (!changed) return;
            count = static_cast<uint32_t>(devices_.size());
            names.reserve(devices_.size());
            for (const auto& device : devices_) names.push_back(device.name);
            listChanged = listChangedCallback_;
            discovered = discoveredCallback_;
            if (!listChanged && !discovered) return;
            ticket = callbacks_.EnterLocked();
        }
        // Leaves the gate however the calls end, so a replacement never waits for a call gone.
        struct Leave {
            BleScanner* self;
            CallbackGate::Ticket ticket;
            ~Leave() {
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->callbacks_.LeaveLocked(ticket);
            }
        } leave{this, ticket};
        if (listChanged) listChanged(count);
        if (discovered) {
            std::vector<char> slots(names.size() * kNameSlot, '\0');
            for (size_t i = 0; i < names.size(); ++i) {
                std::memcpy(&slots[i * kNameSlot], names[i].data(), std::min(names[i].size(), kNameSlot - 1));
            }
            discovered(slots.data(), count);
        }
    } catch (...) {
        // An advertisement that cannot be handled is dropped; nothing reaches the backend.
    }
}

BleScanner::FindResult BleScanner::FindAddress(const std::string& name) {
    const int64_t now = Now();
    double staleAge = 0.0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d.name == name; });
        if (it == devices_.end()) return {};
        const double age = AgeMs(now, it->lastSeen);
        if (age <= StaleAfterMsLocked()) return {true, it->address, it->connectable};
        staleAge = age;
    }
    LogMessage(kLogWarn, "scanner: ignoring stale address for '%s' (last advertised %.0f ms ago)", name.c_str(),
               staleAge);
    return {};
}

int32_t BleScanner::GetDiscoveredDeviceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int32_t>(devices_.size());
}

int32_t BleScanner::GetDiscoveredDeviceName(uint32_t index, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) return MIVOBLE_ERROR_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= devices_.size()) return MIVOBLE_ERROR_INVALID_ARGUMENT;
    const std::string& name = devices_[index].name;
    const size_t n = std::min<size_t>(size - 1, name.size());
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
    return MIVOBLE_OK;
}

void BleScanner::SetDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) {
    std::unique_lock<std::mutex> lock(mutex_);
    discoveredCallback_ = callback;
    callbacks_.WaitForEarlierCalls(lock);
}

void BleScanner::SetDeviceListChangedCallback(DeviceListChangedCallback callback) {
    std::unique_lock<std::mutex> lock(mutex_);
    listChangedCallback_ = callback;
    callbacks_.WaitForEarlierCalls(lock);
}

void BleScanner::SetNameFilter(NameFilter filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    filter_ = std::move(filter);
}

}  // namespace Mivo::BLE
