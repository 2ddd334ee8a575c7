#pragma once
// The process-wide advertisement scanner and its list of recently seen amplifiers.
//
// The list is keyed by advertised local name (the amplifier's serial number) in insertion
// order. Advertisements arrive on backend threads; the list logic runs there under one
// mutex, and the two host callbacks are called outside it; replacing or clearing one returns
// only once no call of the old one is running or about to run (except a call on the replacing
// thread itself). Everything that touches the platform watcher runs as a named task on the
// Bluetooth executor.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/i_adapter.h"
#include "platform/stack.h"
#include "runtime/callback_gate.h"

namespace Mivo::BLE {

class BluetoothExecutor;

struct ScannerTiming {
    // An entry older than this (strictly) is stale, plus the watcher's report interval when the
    // stack passes reports on only that often.
    double staleAfterMs = 10000.0;
    uint32_t taskBudgetMs = 15000;   // budget of every scanner task
    uint32_t adapterBoundMs = 5000;  // bound of the default-adapter query
    uint32_t radioBoundMs = 5000;    // bound of the radio query
};

class BleScanner final : public IAdapter {
public:
    using NameFilter = std::function<bool(const std::string&)>;
    using Clock = std::function<int64_t()>;  // monotonic time in nanoseconds

    struct FindResult {
        bool found = false;
        uint64_t address = 0;
        bool connectable = false;
    };

    // The process-wide scanner. Its first use runs the radio check as task "CheckRadio";
    // a failed check leaves no scanner and the next call checks again.
    static BleScanner& Instance();
    // Process exit: the process-wide scanner (if any) calls no host callback from here on.
    static void ReleaseInstanceAtExit();

    // A scanner of its own (tests). `executor` null means the process-wide executor;
    // an empty `clock` means the steady clock.
    explicit BleScanner(ScannerTiming timing = {}, BluetoothExecutor* executor = nullptr, Clock clock = {});
    ~BleScanner() override;
    BleScanner(const BleScanner&) = delete;
    BleScanner& operator=(const BleScanner&) = delete;

    // IAdapter
    void StartScanning() override;
    void StopScanning() override;
    bool IsScanning() override;
    void Shutdown() override;
    void SetDeviceDiscoveredCallback(DeviceDiscoveredCallback callback) override;
    void SetDeviceListChangedCallback(DeviceListChangedCallback callback) override;
    int32_t GetDiscoveredDeviceCount() override;
    int32_t GetDiscoveredDeviceName(uint32_t index, char* buffer, uint32_t size) override;

    // An empty filter restores the serial-number pattern.
    void SetNameFilter(NameFilter filter);

    // Throws ApiException (2) when there is no adapter or its radio is not on. Runs on the
    // calling thread; callers are executor tasks.
    void CheckRadio();
    // Starts a watcher unless one is running, keeping the list; true when this call started it.
    bool EnsureScanning();
    // The address of a listed, fresh entry; a stale entry is refused with a WARN line.
    FindResult FindAddress(const std::string& name);

    // The watcher's received handler: updates the list and reports changes. Never throws.
    void HandleAdvertisement(const Platform::AdvertisementEvent& event);

    // Exactly 13 bytes with '-' at index 2 and '.' at indexes 7 and 10.
    static bool MatchesSerialPattern(const std::string& name);

private:
    friend class ScannerInstanceHolder;

    struct DiscoveredDevice {
        std::string name;
        uint64_t address = 0;
        bool connectable = false;
        int64_t lastSeen = 0;  // ns
    };

    BluetoothExecutor& Executor();
    int64_t Now() const;
    double AgeMs(int64_t now, int64_t lastSeen) const;
    double StaleAfterMsLocked() const { return timing_.staleAfterMs + reportIntervalMs_; }
    // Executor-thread helpers for the watcher.
    void StartWatcher();
    void StopWatcher();
    bool WatcherStarted();
    // Process exit: forget list and callbacks, waiting for calls of the callbacks in progress.
    void ReleaseAtExit();

    const ScannerTiming timing_;
    BluetoothExecutor* executor_;
    Clock clock_;

    // Touched only inside executor tasks (and by the destructor).
    std::shared_ptr<Platform::IAdvertisementWatcher> watcher_;
    Platform::EventToken receivedToken_ = 0;

    std::mutex mutex_;  // guards everything below
    std::vector<DiscoveredDevice> devices_;
    double reportIntervalMs_ = 0.0;  // of the last watcher started
    DeviceDiscoveredCallback discoveredCallback_ = nullptr;
    DeviceListChangedCallback listChangedCallback_ = nullptr;
    NameFilter filter_;
    // Calls of the two callbacks in progress; replacing a callback waits for them.
    CallbackGate callbacks_;
};

}  // namespace Mivo::BLE
