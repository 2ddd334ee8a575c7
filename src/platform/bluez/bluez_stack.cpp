// The BlueZ backend: adapter and radio from Adapter1, the watcher from discovery and the
// device objects' signals, devices by object path.
#include "platform/bluez/bluez_stack.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "log/log.h"
#include "platform/backend.h"
#include "platform/bluez/bluez_bus.h"
#include "platform/bluez/bluez_device.h"
#include "platform/event_source.h"
#include "platform/thread_pool.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

const char* kNoAdapter = "No Bluetooth adapter found.";

// Reads the properties of a GetAll reply for `path` into the bus's cache of `iface`. A reply of
// the wrong type fails `op` ("BlueZ sent <what> properties of the wrong type: ...") and
// gives false.
template <typename T>
bool MergeReplyProperties(sdbus::MethodReply& reply, BluezBus& bus, const std::string& path, const char* iface,
                          const char* what, const AsyncOp<T>& op) {
    Props props;
    try {
        reply >> props;
    } catch (const sdbus::Error& e) {
        op->Fail(
            PlatformError{-1, std::string("BlueZ sent ") + what + " properties of the wrong type: " + e.getMessage()});
        return false;
    }
    bus.MergeProperties(path, iface, props);
    return true;
}

// Settles `op` after an error reply: none when the error means the object is absent, the
// mapped error otherwise.
template <typename T>
void CompleteAbsentOrFail(const AsyncOp<std::shared_ptr<T>>& op, const sdbus::Error& error) {
    if (MeansAbsent(error.getName())) op->Complete(nullptr);
    else op->Fail(MapError(error.getName(), error.getMessage()));
}

class BluezRadio final : public IRadio {
public:
    BluezRadio(std::shared_ptr<BluezBus> bus, std::string adapter)
        : bus_(std::move(bus)), adapter_(std::move(adapter)) {}
    RadioState State() override {
        auto powered = bus_->Property<bool>(adapter_, kAdapter1, "Powered");
        if (!powered) return RadioState::Unknown;
        return *powered ? RadioState::On : RadioState::Off;
    }

private:
    std::shared_ptr<BluezBus> bus_;
    std::string adapter_;
};

class BluezAdapter final : public IBluetoothAdapter {
public:
    BluezAdapter(std::shared_ptr<BluezBus> bus, std::string path, BluezTiming timing)
        : bus_(std::move(bus)), path_(std::move(path)), timing_(std::move(timing)) {}
    AsyncOp<std::shared_ptr<IRadio>> GetRadioAsync() override {
        auto op = MakeAsyncOperation<std::shared_ptr<IRadio>>();
        auto bus = bus_;
        auto path = path_;
        auto pending = bus_->Call(
            path_, kProperties, "GetAll", [](sdbus::MethodCall& call) { call << std::string(kAdapter1); }, timing_.call,
            [op, bus, path](sdbus::MethodReply* reply, const sdbus::Error* error) {
                if (error) {
                    CompleteAbsentOrFail(op, *error);
                    return;
                }
                if (!MergeReplyProperties(*reply, *bus, path, kAdapter1, "adapter", op)) return;
                op->Complete(std::make_shared<BluezRadio>(bus, path));
            });
        op->OnCancel([pending]() mutable { pending.cancel(); });
        return op;
    }

private:
    std::shared_ptr<BluezBus> bus_;
    std::string path_;
    BluezTiming timing_;
};

// Advertisements: a device object appearing, then a PropertiesChanged for every report the
// controller passes on, which with its duplicate filter is one per discovery cycle. The name is
// Device1.Name, never Alias, which falls back to the address. A device BlueZ holds connected
// (left behind by another process, or opened here) no longer advertises: it is reported when
// the scan starts and once per cycle while connected, under its Serial Number String, since
// bluetoothd replaces Name by the GAP Device Name once connected.
class BluezWatcher final : public IAdvertisementWatcher,
                           public BluezBus::Listener,
                           public std::enable_shared_from_this<BluezWatcher> {
public:
    BluezWatcher(std::shared_ptr<BluezBus> bus, BluezTiming timing)
        : bus_(std::move(bus)), timing_(std::move(timing)) {}
    ~BluezWatcher() override {
        if (bus_) {
            bus_->RemoveListener(listenerId_);
            bus_->Timer().Cancel(cycleTimer_);
        }
        ReleaseDiscovery();
    }
    void Attach() {
        if (bus_) listenerId_ = bus_->AddListener(std::weak_ptr<BluezBus::Listener>(shared_from_this()));
    }

    void SetScanningMode(ScanningMode mode) override {
        std::lock_guard<std::mutex> lock(mutex_);
        mode_ = mode;
    }
    EventToken AddReceived(std::function<void(const AdvertisementEvent&)> handler) override {
        return received_.Add(std::move(handler));
    }
    void RemoveReceived(EventToken token) override { received_.Remove(token); }
    WatcherStatus Status() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }
    std::chrono::milliseconds ReportInterval() override { return timing_.reportCycle; }

    void Start() override {
        std::string adapter = bus_ ? bus_->AdapterPath() : std::string();
        if (adapter.empty()) throw PlatformError{-1, kNoAdapter};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ == WatcherStatus::Started) return;
        }
        auto powered = bus_->Property<bool>(adapter, kAdapter1, "Powered");
        if (!powered.value_or(false)) {
            SetStatus(WatcherStatus::Aborted);
            return;
        }
        auto started = MakeAsyncOperation<bool>();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            adapter_ = adapter;
            holdsDiscovery_ = true;
        }
        bus_->Discovery().Acquire(adapter, timing_, [started](const sdbus::Error* error) {
            if (error) started->Fail(MapError(error->getName(), error->getMessage()));
            else started->Complete(true);
        });
        if (bus_->OnLoopThread()) {
            started->Cancel();
        } else if (started->WaitFor(timing_.startDiscovery) == AsyncStatus::Started) {
            started->Cancel();
            ReleaseDiscovery();
            throw PlatformError{-6, "BlueZ did not start discovery in time."};
        }
        if (started->Status() == AsyncStatus::Error) {
            ReleaseDiscovery();
            try {
                started->GetResults();
            } catch (const PlatformError& e) {
                if (e.message.find("org.bluez.Error.NotReady") != std::string::npos) {
                    SetStatus(WatcherStatus::Aborted);
                    return;
                }
                throw;
            }
        }
        SetStatus(WatcherStatus::Started);
        ReportConnectedDevices();
        ScheduleCycle();
    }

    void Stop() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ != WatcherStatus::Started) return;
            status_ = WatcherStatus::Stopped;
        }
        bus_->Timer().Cancel(cycleTimer_);
        ReleaseDiscovery();
    }

    void OnInterfacesAdded(const std::string& path, const Interfaces& added) override {
        auto device = added.find(kDevice1);
        if (device != added.end()) Report(path, device->second);
    }
    void OnPropertiesChanged(const std::string& path, const std::string& iface, const Props& changed) override {
        if (iface == kAdapter1 && changed.count("Powered") && !Get<bool>(changed, "Powered").value_or(false)) {
            Abort(path);
            return;
        }
        if (iface != kDevice1) return;
        if (changed.count("Connected") && !Get<bool>(changed, "Connected").value_or(false)) {
            std::lock_guard<std::mutex> lock(mutex_);
            serials_.erase(path);
        }
        // Reports from the air, and a connected device whose services (with its serial number) are known.
        static const char* kAdvertised[] = {"RSSI", "ManufacturerData", "ServiceData", "TxPower", "Name", "UUIDs"};
        bool report = Get<bool>(changed, "ServicesResolved").value_or(false);
        for (auto* name : kAdvertised) report = report || changed.count(name);
        if (!report) return;
        auto props = bus_->Properties(path, kDevice1);
        if (props) Report(path, *props);
    }
    void OnInterfacesRemoved(const std::string& path, const std::vector<std::string>& removed) override {
        for (auto& name : removed) {
            if (name == kAdapter1) Abort(path);
            if (name == kDevice1) {
                std::lock_guard<std::mutex> lock(mutex_);
                serials_.erase(path);
            }
        }
    }

private:
    void SetStatus(WatcherStatus status) {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
    }

    void Abort(const std::string& adapter) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ != WatcherStatus::Started || adapter != adapter_) return;
            status_ = WatcherStatus::Aborted;
        }
        bus_->Timer().Cancel(cycleTimer_);
        ReleaseDiscovery();
    }

    void ReleaseDiscovery() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!holdsDiscovery_) return;
            holdsDiscovery_ = false;
        }
        bus_->Discovery().Release();
    }

    // Once per discovery cycle, the connected devices are reported again: they do not advertise.
    void ScheduleCycle() {
        std::weak_ptr<BluezWatcher> weak = weak_from_this();
        auto id = bus_->Timer().After(timing_.reportCycle, [weak] {
            auto self = weak.lock();
            if (!self || self->Status() != WatcherStatus::Started) return;
            self->ReportConnectedDevices();
            self->ScheduleCycle();
        });
        std::lock_guard<std::mutex> lock(mutex_);
        cycleTimer_ = id;
    }

    void ReportConnectedDevices() {
        std::string adapter;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            adapter = adapter_;
        }
        for (auto& [path, props] : bus_->ObjectsWith(adapter, kDevice1))
            if (Get<bool>(props, "Connected").value_or(false)) Report(path, props);
    }

    void Report(const std::string& path, const Props& props) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ != WatcherStatus::Started || !PathIsWithin(path, adapter_) || path == adapter_) return;
        }
        auto address = Get<std::string>(props, "Address");
        auto value = address ? ParseAddress(*address) : std::nullopt;
        if (!value) {
            // Not an address this library can use: BlueZ never sends one, so it is said once.
            std::lock_guard<std::mutex> lock(mutex_);
            if (malformed_.insert(path).second)
                LogMessage(kLogWarn, "bluez: ignoring device %s without a valid Address", path.c_str());
            return;
        }
        if (!Get<bool>(props, "Connected").value_or(false))
            return Fire(*value, Get<std::string>(props, "Name").value_or(""));
        ReportConnected(path, *value, Get<std::string>(props, "Name").value_or(""));
    }

    // A connected device under its Serial Number String (read once per connection), or under
    // its name while that is not known.
    void ReportConnected(const std::string& path, uint64_t address, const std::string& name) {
        std::string serial;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto known = serials_.find(path);
            if (known != serials_.end()) serial = known->second;
        }
        if (!serial.empty()) return Fire(address, serial);
        std::string serialPath;
        for (auto& [chrc, props] : bus_->ObjectsWith(path, kGattCharacteristic1)) {
            auto text = Get<std::string>(props, "UUID");
            auto uuid = text ? ParseUuid(*text) : std::nullopt;
            if (uuid && *uuid == Uuid::FromShort(0x2A25)) serialPath = chrc;
        }
        if (serialPath.empty()) return Fire(address, name);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!reading_.insert(path).second) return;
        }
        std::weak_ptr<BluezWatcher> weak = weak_from_this();
        bus_->Call(
            serialPath, kGattCharacteristic1, "ReadValue", [](sdbus::MethodCall& call) { call << Props{}; },
            timing_.call,
            [weak, path, address, name](sdbus::MethodReply* reply, const sdbus::Error* error) {
                auto self = weak.lock();
                if (!self) return;
                std::vector<uint8_t> bytes;
                bool ok = !error;
                if (ok) {
                    try {
                        *reply >> bytes;
                    } catch (const sdbus::Error&) {
                        ok = false;
                    }
                }
                std::string serial(bytes.begin(), bytes.end());
                serial = serial.substr(0, serial.find('\0'));
                {
                    std::lock_guard<std::mutex> lock(self->mutex_);
                    self->reading_.erase(path);
                    if (ok && !serial.empty()) self->serials_[path] = serial;
                }
                self->Fire(address, ok && !serial.empty() ? serial : name);
            });
    }

    void Fire(uint64_t address, const std::string& name) {
        if (Status() != WatcherStatus::Started) return;
        AdvertisementEvent event;
        event.address = address;
        event.localName = name;
        // BlueZ does not expose the connectable flag: Connect decides.
        event.connectable = true;
        received_.Fire(event);
    }

    std::shared_ptr<BluezBus> bus_;
    BluezTiming timing_;
    uint64_t listenerId_ = 0;
    std::mutex mutex_;
    ScanningMode mode_ = ScanningMode::Passive;
    WatcherStatus status_ = WatcherStatus::Created;
    std::string adapter_;
    bool holdsDiscovery_ = false;
    DeadlineTimer::Id cycleTimer_ = 0;
    std::map<std::string, std::string> serials_;  // device path -> Serial Number String, while connected
    std::set<std::string> reading_;               // device paths whose serial number is being read
    std::set<std::string> malformed_;             // device paths logged as unusable
    EventSource<const AdvertisementEvent&> received_;
};

// BlueZ keeps device objects only while it has seen them recently: after bluetoothd
// restarts or an object expired, a device is found again by discovering until its object
// appears (or the bound passes).
class DeviceFinder final : public BluezBus::Listener, public std::enable_shared_from_this<DeviceFinder> {
public:
    static void Find(const std::shared_ptr<BluezBus>& bus, const std::string& adapter, const std::string& path,
                     const BluezTiming& timing, std::function<void(bool)> done) {
        auto finder = std::make_shared<DeviceFinder>(bus, adapter, path, timing, std::move(done));
        // The lock orders this setup before a Finish on the timer thread; no call to BlueZ is
        // made under it (sd-bus holds its own lock while it runs our handlers).
        {
            std::lock_guard<std::mutex> lock(finder->mutex_);
            finder->listener_ = bus->AddListener(std::weak_ptr<BluezBus::Listener>(finder));
        }
        bus->Discovery().Acquire(adapter, timing, [path](const sdbus::Error* error) {
            if (error)
                LogMessage(kLogWarn, "bluez: discovery to find %s failed: %s: %s", path.c_str(),
                           error->getName().c_str(), error->getMessage().c_str());
        });
        {
            std::lock_guard<std::mutex> lock(finder->mutex_);
            finder->timer_ = bus->Timer().After(timing.findDevice, [finder] { finder->Finish(false); });
        }
        if (bus->HasInterface(path, kDevice1)) finder->Finish(true);
    }

    DeviceFinder(std::shared_ptr<BluezBus> bus, std::string adapter, std::string path, BluezTiming timing,
                 std::function<void(bool)> done)
        : bus_(std::move(bus)),
          adapter_(std::move(adapter)),
          path_(std::move(path)),
          timing_(std::move(timing)),
          done_(std::move(done)) {}

    void OnInterfacesAdded(const std::string& path, const Interfaces& added) override {
        if (path == path_ && added.count(kDevice1)) Finish(true);
    }
    void OnPropertiesChanged(const std::string&, const std::string&, const Props&) override {}
    void OnInterfacesRemoved(const std::string& path, const std::vector<std::string>&) override {
        if (path == adapter_) Finish(false);
    }

private:
    void Finish(bool found) {
        if (finished_.exchange(true)) return;
        DeadlineTimer::Id timer = 0;
        uint64_t listener = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            timer = timer_;
            listener = listener_;
        }
        bus_->Timer().Cancel(timer);
        bus_->RemoveListener(listener);
        bus_->Discovery().Release();
        done_(found);
    }

    std::mutex mutex_;  // guards timer_ and listener_
    std::shared_ptr<BluezBus> bus_;
    std::string adapter_, path_;
    BluezTiming timing_;
    std::function<void(bool)> done_;
    uint64_t listener_ = 0;
    DeadlineTimer::Id timer_ = 0;
    std::atomic<bool> finished_{false};
};

// Fresh properties from BlueZ: the object exists only while BlueZ knows the device. An
// absent one is looked for once by discovery.
void LookUpDevice(const AsyncOp<std::shared_ptr<IBluetoothLEDevice>>& op, const std::shared_ptr<BluezBus>& bus,
                  const BluezTiming& timing, const std::string& adapter, uint64_t address, bool mayFind) {
    std::string path = DevicePath(adapter, address);
    auto pending = bus->Call(
        path, kProperties, "GetAll", [](sdbus::MethodCall& call) { call << std::string(kDevice1); }, timing.call,
        [op, bus, timing, path, address, adapter, mayFind](sdbus::MethodReply* reply, const sdbus::Error* error) {
            if (error) {
                if (!MeansAbsent(error->getName())) {
                    op->Fail(MapError(error->getName(), error->getMessage()));
                } else if (!mayFind || op->Status() != AsyncStatus::Started) {
                    op->Complete(nullptr);
                } else {
                    DeviceFinder::Find(bus, adapter, path, timing, [op, bus, timing, adapter, address](bool found) {
                        if (found && op->Status() == AsyncStatus::Started)
                            LookUpDevice(op, bus, timing, adapter, address, false);
                        else op->Complete(nullptr);
                    });
                }
                return;
            }
            if (!MergeReplyProperties(*reply, *bus, path, kDevice1, "device", op)) return;
            op->Complete(BluezDevice::Create(bus, path, address, timing));
        });
    op->OnCancel([pending]() mutable { pending.cancel(); });
}

class BluezStack final : public IStack {
public:
    explicit BluezStack(const BluezTiming& timing) : timing_(timing) {
        std::string failure;
        bus_ = BluezBus::Connect(failure, timing.adapter);
        if (!bus_)
            LogMessage(kLogWarn, "bluez: no D-Bus system bus (%s); no Bluetooth adapter available", failure.c_str());
    }
    ~BluezStack() override {
        pool_.Shutdown();
        if (bus_) bus_->Shutdown();
    }

    AsyncOp<std::shared_ptr<IBluetoothAdapter>> GetDefaultAdapterAsync() override {
        using Result = std::shared_ptr<IBluetoothAdapter>;
        if (!bus_) return CompletedOperation<Result>(nullptr);
        auto op = MakeAsyncOperation<Result>();
        auto bus = bus_;
        auto timing = timing_;
        auto pending = bus_->Refresh([op, bus, timing](const sdbus::Error* error) {
            if (error) {
                CompleteAbsentOrFail(op, *error);
                return;
            }
            std::string path = bus->AdapterPath();
            op->Complete(path.empty() ? nullptr : std::make_shared<BluezAdapter>(bus, path, timing));
        });
        op->OnCancel([pending]() mutable { pending.cancel(); });
        return op;
    }

    std::shared_ptr<IAdvertisementWatcher> CreateAdvertisementWatcher() override {
        auto watcher = std::make_shared<BluezWatcher>(bus_, timing_);
        watcher->Attach();
        return watcher;
    }

    AsyncOp<std::shared_ptr<IBluetoothLEDevice>> FromBluetoothAddressAsync(uint64_t address) override {
        using Result = std::shared_ptr<IBluetoothLEDevice>;
        if (!bus_) return CompletedOperation<Result>(nullptr);
        auto op = MakeAsyncOperation<Result>();
        auto bus = bus_;
        auto timing = timing_;
        auto lookUp = [op, bus, timing, address] {
            std::string adapter = bus->AdapterPath();
            if (adapter.empty()) {
                op->Complete(nullptr);
                return;
            }
            LookUpDevice(op, bus, timing, adapter, address, true);
        };
        if (!bus_->AdapterPath().empty()) {
            lookUp();
            return op;
        }
        auto pending = bus_->Refresh([op, lookUp](const sdbus::Error* error) {
            if (error && !MeansAbsent(error->getName())) {
                op->Fail(MapError(error->getName(), error->getMessage()));
                return;
            }
            lookUp();
        });
        op->OnCancel([pending]() mutable { pending.cancel(); });
        return op;
    }

    bool RunOnThreadPool(std::function<void()> work) override { return pool_.Submit(std::move(work)); }

private:
    BluezTiming timing_;
    std::shared_ptr<BluezBus> bus_;
    ThreadPool pool_{2};
};

}  // namespace

std::shared_ptr<IStack> MakeBluezStack(const BluezTiming& timing) { return std::make_shared<BluezStack>(timing); }

}  // namespace Mivo::BLE::Platform::Bluez

namespace Mivo::BLE::Platform {

std::shared_ptr<IStack> CreateBluezStack() {
    Bluez::BluezTiming timing;
    const char* notify = std::getenv("MIVOBLE_BLUEZ_NOTIFY");
    const std::string path = notify ? notify : "";
    if (path == "signal") timing.acquireNotify = false;
    else if (!path.empty() && path != "acquire")
        LogMessage(kLogError, "bluez: unknown MIVOBLE_BLUEZ_NOTIFY '%s' (acquire or signal); using acquire",
                   path.c_str());
    if (const char* adapter = std::getenv("MIVOBLE_ADAPTER")) timing.adapter = adapter;
    return Bluez::MakeBluezStack(timing);
}

}  // namespace Mivo::BLE::Platform
