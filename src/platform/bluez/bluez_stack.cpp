// The BlueZ backend: adapter and radio from Adapter1, the watcher from discovery and the
// device objects' signals, devices by object path.
#include "platform/bluez/bluez_stack.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "log/log.h"
#include "platform/backend.h"
#include "platform/bluez/bluez_bus.h"
#include "platform/bluez/bluez_device.h"
#include "platform/event_source.h"
#include "platform/thread_pool.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

const char* kNoAdapter = "No Bluetooth adapter found.";

Props DiscoveryFilter(bool on) {
    if (!on) return {};
    // DuplicateData is always given: its documented default is not what BlueZ does.
    return Props{{"Transport", sdbus::Variant(std::string("le"))}, {"DuplicateData", sdbus::Variant(true)}};
}

// SetDiscoveryFilter, then StartDiscovery; `done` gets StartDiscovery's error or nullptr
// (InProgress, meaning this connection discovers already, counts as started).
void StartDiscovery(const std::shared_ptr<BluezBus>& bus, const std::string& adapter, BluezTiming timing,
                    std::function<void(const sdbus::Error*)> done) {
    bus->Call(adapter, kAdapter1, "SetDiscoveryFilter", [](sdbus::MethodCall& call) { call << DiscoveryFilter(true); }, timing.call,
              [bus, adapter, timing, done](sdbus::MethodReply*, const sdbus::Error* error) {
                  if (error)
                      LogMessage(kLogWarn, "bluez: SetDiscoveryFilter failed: %s: %s", error->getName().c_str(), error->getMessage().c_str());
                  bus->Call(adapter, kAdapter1, "StartDiscovery", nullptr, timing.call, [done](sdbus::MethodReply*, const sdbus::Error* error) {
                      done(error && error->getName() != "org.bluez.Error.InProgress" ? error : nullptr);
                  });
              });
}

void StopDiscovery(const std::shared_ptr<BluezBus>& bus, const std::string& adapter, BluezTiming timing) {
    bus->Call(adapter, kAdapter1, "StopDiscovery", nullptr, timing.call, [bus, adapter, timing](sdbus::MethodReply*, const sdbus::Error*) {
        // "No discovery started" after a power cycle is fine: the filter goes either way.
        bus->Call(adapter, kAdapter1, "SetDiscoveryFilter", [](sdbus::MethodCall& call) { call << DiscoveryFilter(false); }, timing.call,
                  [](sdbus::MethodReply*, const sdbus::Error*) {});
    });
}

class BluezRadio final : public IRadio {
public:
    BluezRadio(std::shared_ptr<BluezBus> bus, std::string adapter) : bus_(std::move(bus)), adapter_(std::move(adapter)) {}
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
        : bus_(std::move(bus)), path_(std::move(path)), timing_(timing) {}
    AsyncOp<std::shared_ptr<IRadio>> GetRadioAsync() override {
        auto op = MakeAsyncOperation<std::shared_ptr<IRadio>>();
        auto bus = bus_;
        auto path = path_;
        auto pending = bus_->Call(
            path_, kProperties, "GetAll", [](sdbus::MethodCall& call) { call << std::string(kAdapter1); }, timing_.call,
            [op, bus, path](sdbus::MethodReply* reply, const sdbus::Error* error) {
                if (error) {
                    if (MeansAbsent(error->getName()))
                        op->Complete(nullptr);
                    else
                        op->Fail(MapError(error->getName(), error->getMessage()));
                    return;
                }
                Props props;
                try {
                    *reply >> props;
                } catch (const sdbus::Error& e) {
                    op->Fail(PlatformError{-1, "BlueZ sent adapter properties of the wrong type: " + e.getMessage()});
                    return;
                }
                bus->MergeProperties(path, kAdapter1, props);
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

// Advertisements: a device object appearing, then a PropertiesChanged for every report
// (DuplicateData keeps them coming). The name is Device1.Name, never Alias, which falls
// back to the address.
class BluezWatcher final : public IAdvertisementWatcher, public BluezBus::Listener, public std::enable_shared_from_this<BluezWatcher> {
public:
    BluezWatcher(std::shared_ptr<BluezBus> bus, BluezTiming timing) : bus_(std::move(bus)), timing_(timing) {}
    ~BluezWatcher() override {
        if (bus_) bus_->RemoveListener(listenerId_);
        ReleaseDiscovery();
    }
    void Attach() {
        if (bus_) listenerId_ = bus_->AddListener(std::weak_ptr<BluezBus::Listener>(shared_from_this()));
    }

    void SetScanningMode(ScanningMode mode) override {
        std::lock_guard<std::mutex> lock(mutex_);
        mode_ = mode;
    }
    EventToken AddReceived(std::function<void(const AdvertisementEvent&)> handler) override { return received_.Add(std::move(handler)); }
    void RemoveReceived(EventToken token) override { received_.Remove(token); }
    WatcherStatus Status() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }

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
        if (bus_->AcquireDiscovery()) {
            auto started = MakeAsyncOperation<bool>();
            StartDiscovery(bus_, adapter, timing_, [started](const sdbus::Error* error) {
                if (error)
                    started->Fail(MapError(error->getName(), error->getMessage()));
                else
                    started->Complete(true);
            });
            if (bus_->OnLoopThread()) {
                started->Cancel();
            } else if (started->WaitFor(timing_.startDiscovery) == AsyncStatus::Started) {
                started->Cancel();
                bus_->ReleaseDiscovery();
                throw PlatformError{-6, "BlueZ did not start discovery in time."};
            }
            if (started->Status() == AsyncStatus::Error) {
                bus_->ReleaseDiscovery();
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
        }
        std::lock_guard<std::mutex> lock(mutex_);
        adapter_ = adapter;
        holdsDiscovery_ = true;
        status_ = WatcherStatus::Started;
    }

    void Stop() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ != WatcherStatus::Started) return;
            status_ = WatcherStatus::Stopped;
        }
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
        // Reports from the air; a change of Connected or ServicesResolved is not one.
        static const char* kAdvertised[] = {"RSSI", "ManufacturerData", "ServiceData", "TxPower", "Name", "UUIDs"};
        bool advertised = false;
        for (auto* name : kAdvertised) advertised = advertised || changed.count(name);
        if (!advertised) return;
        auto props = bus_->Properties(path, kDevice1);
        if (props) Report(path, *props);
    }
    void OnInterfacesRemoved(const std::string& path, const std::vector<std::string>& removed) override {
        for (auto& name : removed)
            if (name == kAdapter1) Abort(path);
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
        ReleaseDiscovery();
    }

    void ReleaseDiscovery() {
        std::string adapter;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!holdsDiscovery_) return;
            holdsDiscovery_ = false;
            adapter = adapter_;
        }
        if (bus_->ReleaseDiscovery()) StopDiscovery(bus_, adapter, timing_);
    }

    void Report(const std::string& path, const Props& props) {
        AdvertisementEvent event;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ != WatcherStatus::Started || !PathIsWithin(path, adapter_) || path == adapter_) return;
        }
        auto address = Get<std::string>(props, "Address");
        auto value = address ? ParseAddress(*address) : std::nullopt;
        if (!value) return;  // not an address this library can use
        event.address = *value;
        event.localName = Get<std::string>(props, "Name").value_or("");
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
    EventSource<const AdvertisementEvent&> received_;
};

// BlueZ keeps device objects only while it has seen them recently: after bluetoothd
// restarts or an object expired, a device is found again by discovering until its object
// appears (or the bound passes).
class DeviceFinder final : public BluezBus::Listener, public std::enable_shared_from_this<DeviceFinder> {
public:
    static void Find(const std::shared_ptr<BluezBus>& bus, const std::string& adapter, const std::string& path, BluezTiming timing,
                     std::function<void(bool)> done) {
        auto finder = std::make_shared<DeviceFinder>(bus, adapter, path, timing, std::move(done));
        finder->listener_ = bus->AddListener(std::weak_ptr<BluezBus::Listener>(finder));
        if (bus->AcquireDiscovery()) {
            StartDiscovery(bus, adapter, timing, [path](const sdbus::Error* error) {
                if (error)
                    LogMessage(kLogWarn, "bluez: discovery to find %s failed: %s: %s", path.c_str(), error->getName().c_str(),
                               error->getMessage().c_str());
            });
        }
        finder->timer_ = bus->Timer().After(timing.findDevice, [finder] { finder->Finish(false); });
        if (bus->HasInterface(path, kDevice1)) finder->Finish(true);
    }

    DeviceFinder(std::shared_ptr<BluezBus> bus, std::string adapter, std::string path, BluezTiming timing, std::function<void(bool)> done)
        : bus_(std::move(bus)), adapter_(std::move(adapter)), path_(std::move(path)), timing_(timing), done_(std::move(done)) {}

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
        bus_->Timer().Cancel(timer_);
        bus_->RemoveListener(listener_);
        if (bus_->ReleaseDiscovery()) StopDiscovery(bus_, adapter_, timing_);
        done_(found);
    }

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
void LookUpDevice(const AsyncOp<std::shared_ptr<IBluetoothLEDevice>>& op, const std::shared_ptr<BluezBus>& bus, BluezTiming timing,
                  const std::string& adapter, uint64_t address, bool mayFind) {
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
                        else
                            op->Complete(nullptr);
                    });
                }
                return;
            }
            Props props;
            try {
                *reply >> props;
            } catch (const sdbus::Error& e) {
                op->Fail(PlatformError{-1, "BlueZ sent device properties of the wrong type: " + e.getMessage()});
                return;
            }
            bus->MergeProperties(path, kDevice1, props);
            op->Complete(BluezDevice::Create(bus, path, address, timing));
        });
    op->OnCancel([pending]() mutable { pending.cancel(); });
}

class BluezStack final : public IStack {
public:
    explicit BluezStack(BluezTiming timing) : timing_(timing) {
        std::string failure;
        bus_ = BluezBus::Connect(failure);
        if (!bus_) LogMessage(kLogWarn, "bluez: no D-Bus system bus (%s); no Bluetooth adapter available", failure.c_str());
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
                if (MeansAbsent(error->getName()))
                    op->Complete(nullptr);
                else
                    op->Fail(MapError(error->getName(), error->getMessage()));
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

std::shared_ptr<IStack> MakeBluezStack(BluezTiming timing) { return std::make_shared<BluezStack>(timing); }

}  // namespace Mivo::BLE::Platform::Bluez

namespace Mivo::BLE::Platform {

std::shared_ptr<IStack> CreateBluezStack() {
    Bluez::BluezTiming timing;
    const char* notify = std::getenv("MIVOBLE_BLUEZ_NOTIFY");
    timing.acquireNotify = notify && std::string(notify) == "acquire";
    return Bluez::MakeBluezStack(timing);
}

}  // namespace Mivo::BLE::Platform
