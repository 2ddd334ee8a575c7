#include "platform/bluez/bluez_device.h"

#include "log/log.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

constexpr size_t kMaxAttributeValue = 512;
const char* kResolvedTimeout = "BlueZ did not resolve the GATT services of the device in time.";

// Cancelling the operation drops the reply of its call.
template <typename T>
void DropReplyOnCancel(const AsyncOp<T>& op, sdbus::PendingAsyncCall pending) {
    op->OnCancel([pending]() mutable { pending.cancel(); });
}

template <typename T>
bool FailWith(const AsyncOp<T>& op, const sdbus::Error& error) {
    return op->Fail(MapError(error.getName(), error.getMessage()));
}

}  // namespace

uint16_t MtuOf(const std::optional<Props>& characteristic) {
    if (!characteristic) return 23;
    auto mtu = Get<uint16_t>(*characteristic, "MTU");
    if (!mtu || *mtu < 23 || *mtu > 517) return 23;
    return *mtu;
}

// ---- BluezDevice ----

std::shared_ptr<BluezDevice> BluezDevice::Create(std::shared_ptr<BluezBus> bus, std::string path, uint64_t address, BluezTiming timing) {
    auto device = std::make_shared<BluezDevice>(std::move(bus), std::move(path), address, timing);
    device->reported_ = device->LinkUp() ? ConnectionStatus::Connected : ConnectionStatus::Disconnected;
    device->listenerId_ = device->bus_->AddListener(std::weak_ptr<BluezBus::Listener>(device));
    return device;
}

BluezDevice::BluezDevice(std::shared_ptr<BluezBus> bus, std::string path, uint64_t address, BluezTiming timing)
    : bus_(std::move(bus)), path_(std::move(path)), address_(address), timing_(timing) {}

BluezDevice::~BluezDevice() {
    bus_->RemoveListener(listenerId_);
    for (auto& [path, core] : characteristics_)
        if (auto id = core->acquired.exchange(0)) bus_->Reader().Remove(id);
    bus_->ReleaseLink(path_, this);
    if (wait_) bus_->Timer().Cancel(wait_->timer);
}

bool BluezDevice::LinkUp() { return bus_->Property<bool>(path_, kDevice1, "Connected").value_or(false); }

ConnectionStatus BluezDevice::GetConnectionStatus() { return LinkUp() ? ConnectionStatus::Connected : ConnectionStatus::Disconnected; }

EventToken BluezDevice::AddConnectionStatusChanged(std::function<void()> handler) { return statusChanged_.Add(std::move(handler)); }

void BluezDevice::RemoveConnectionStatusChanged(EventToken token) { statusChanged_.Remove(token); }

std::shared_ptr<CharacteristicCore> BluezDevice::CoreFor(const std::string& characteristicPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& core = characteristics_[characteristicPath];
    if (!core) core = std::make_shared<CharacteristicCore>(characteristicPath);
    return core;
}

AsyncOp<IBluetoothLEDevice::ServicesResult> BluezDevice::GetGattServicesAsync() {
    auto op = MakeAsyncOperation<ServicesResult>();
    auto wait = std::make_shared<ServicesWait>();
    wait->op = op;
    std::shared_ptr<ServicesWait> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replaced = std::move(wait_);
        wait_ = wait;
    }
    if (replaced) {
        bus_->Timer().Cancel(replaced->timer);
        replaced->connect.cancel();
        replaced->op->Fail(PlatformError{-1, "A newer service discovery of the device replaced this one."});
    }
    // This object now drives the link: only its notifications are delivered and only its
    // Close disconnects.
    bus_->ClaimLink(path_, this);
    std::weak_ptr<BluezDevice> weak = weak_from_this();
    op->OnCancel([weak, wait] {
        auto self = weak.lock();
        if (!self || !self->TakeWait(wait)) return;
        self->bus_->Timer().Cancel(wait->timer);
        wait->connect.cancel();
        // BlueZ cannot cancel a Connect; disconnecting aborts it.
        if (wait->connecting)
            self->bus_->Call(self->path_, kDevice1, "Disconnect", nullptr, self->timing_.call, [](sdbus::MethodReply*, const sdbus::Error*) {});
    });

    if (LinkUp()) {
        // Connected already (by this process or by another client): take the link over.
        WaitForResolved(wait);
        return op;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wait->connecting = true;
    }
    auto pending = bus_->Call(path_, kDevice1, "Connect", nullptr, timing_.call, [weak, wait](sdbus::MethodReply*, const sdbus::Error* error) {
        if (auto self = weak.lock())
            self->OnConnectReply(wait, error);
        else
            wait->op->Complete(ServicesResult{GattStatus::Unreachable, {}});
    });
    std::lock_guard<std::mutex> lock(mutex_);
    wait->connect = pending;
    return op;
}

std::shared_ptr<BluezDevice::ServicesWait> BluezDevice::TakeWait(const std::shared_ptr<ServicesWait>& wait) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!wait_ || (wait && wait_ != wait)) return nullptr;
    return std::move(wait_);
}

void BluezDevice::OnConnectReply(const std::shared_ptr<ServicesWait>& wait, const sdbus::Error* error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wait_ != wait) return;  // cancelled or replaced: a late reply
        wait->connecting = false;
    }
    if (error) {
        if (TakeWait(wait)) FailWith(wait->op, *error);
        return;
    }
    WaitForResolved(wait);
}

void BluezDevice::WaitForResolved(const std::shared_ptr<ServicesWait>& wait) {
    if (bus_->Property<bool>(path_, kDevice1, "ServicesResolved").value_or(false)) {
        if (TakeWait(wait)) wait->op->Complete(Enumerate());
        return;
    }
    std::weak_ptr<BluezDevice> weak = weak_from_this();
    auto id = bus_->Timer().After(timing_.servicesResolved, [weak, wait] {
        auto self = weak.lock();
        if (self && !self->TakeWait(wait)) return;
        LogMessage(kLogWarn, "bluez: %s", kResolvedTimeout);
        wait->op->Fail(PlatformError{-6, kResolvedTimeout});
    });
    std::lock_guard<std::mutex> lock(mutex_);
    if (wait_ == wait) wait->timer = id;
    else bus_->Timer().Cancel(id);
}

void BluezDevice::CheckServicesWait(bool linkDown) {
    std::shared_ptr<ServicesWait> wait;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!wait_) return;
        // During Connect the reply decides; a loss before it shows as its error.
        if (wait_->connecting && !linkDown) return;
        wait = wait_;
    }
    if (linkDown) {
        if (!TakeWait(wait)) return;
        bus_->Timer().Cancel(wait->timer);
        wait->connect.cancel();
        wait->op->Complete(ServicesResult{GattStatus::Unreachable, {}});
        return;
    }
    if (!bus_->Property<bool>(path_, kDevice1, "ServicesResolved").value_or(false)) return;
    if (!TakeWait(wait)) return;
    bus_->Timer().Cancel(wait->timer);
    wait->op->Complete(Enumerate());
}

IBluetoothLEDevice::ServicesResult BluezDevice::Enumerate() {
    ServicesResult result;
    auto self = shared_from_this();
    for (auto& [path, props] : bus_->ObjectsWith(path_, kGattService1)) {
        auto text = Get<std::string>(props, "UUID");
        auto uuid = text ? ParseUuid(*text) : std::nullopt;
        if (!uuid) {
            LogMessage(kLogWarn, "bluez: ignoring service %s without a valid UUID", path.c_str());
            continue;
        }
        result.services.push_back(std::make_shared<BluezService>(self, path, *uuid));
    }
    return result;
}

void BluezDevice::ReportLinkStatus() {
    ConnectionStatus now = GetConnectionStatus();
    AsyncOp<bool> linkDown;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (now == ConnectionStatus::Disconnected) linkDown = std::move(linkDown_);
    }
    if (linkDown) linkDown->Complete(true);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (now == reported_) return;
        reported_ = now;
        // BlueZ ends every notify session with the link.
        if (now == ConnectionStatus::Disconnected)
            for (auto& [path, core] : characteristics_) {
                core->notifying = false;
                if (auto id = core->acquired.exchange(0)) bus_->Reader().Remove(id);
            }
    }
    statusChanged_.Fire();
}

void BluezDevice::OnInterfacesAdded(const std::string& path, const Interfaces& added) {
    if (path == path_ && added.count(kDevice1)) ReportLinkStatus();
}

void BluezDevice::OnPropertiesChanged(const std::string& path, const std::string& iface, const Props& changed) {
    if (!PathIsWithin(path, path_)) return;
    if (path == path_ && iface == kDevice1) {
        bool linkDown = changed.count("Connected") && !Get<bool>(changed, "Connected").value_or(false);
        if (changed.count("Connected")) ReportLinkStatus();
        if (linkDown || changed.count("ServicesResolved")) CheckServicesWait(linkDown);
        return;
    }
    if (iface != kGattCharacteristic1) return;
    auto value = changed.find("Value");
    if (value == changed.end()) return;
    std::shared_ptr<CharacteristicCore> core;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = characteristics_.find(path);
        if (it == characteristics_.end()) return;
        core = it->second;
    }
    // Value also changes after reads: only a notify session of the object driving the link
    // turns it into notifications.
    if (!core->notifying || !bus_->OwnsLink(path_, this)) return;
    auto bytes = Get<std::vector<uint8_t>>(changed, "Value");
    if (!bytes) {
        LogMessage(kLogWarn, "bluez: ignoring a Value of %s that is not a byte array", path.c_str());
        return;
    }
    // No ATT value is longer than 512 bytes: anything longer is not a notification.
    if (bytes->size() > kMaxAttributeValue) {
        if (!core->oversizeLogged.exchange(true))
            LogMessage(kLogWarn, "bluez: ignoring a Value of %s longer than any ATT value (%zu bytes)", path.c_str(), bytes->size());
        return;
    }
    core->valueChanged.Fire(*bytes);
}

void BluezDevice::OnInterfacesRemoved(const std::string& path, const std::vector<std::string>& removed) {
    if (path != path_) return;
    bool deviceGone = false;
    for (auto& name : removed) deviceGone = deviceGone || name == kDevice1;
    if (!deviceGone) return;
    ReportLinkStatus();
    CheckServicesWait(true);
}

void BluezDevice::Close() {
    if (auto wait = TakeWait(nullptr)) {
        bus_->Timer().Cancel(wait->timer);
        wait->connect.cancel();
        wait->op->Complete(ServicesResult{GattStatus::Unreachable, {}});
    }
    std::vector<std::shared_ptr<CharacteristicCore>> cores;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [path, core] : characteristics_) cores.push_back(core);
    }
    // Only the object driving the link releases it: an older object closed in the
    // background after a link loss must not take down a newer connection.
    if (!bus_->OwnsLink(path_, this)) return;
    bool linkUp = LinkUp();
    for (auto& core : cores) EndNotify(core, linkUp);
    if (linkUp) {
        // Done when Connected=false (or the device's removal) arrives; the reply may come first.
        auto done = MakeAsyncOperation<bool>();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            linkDown_ = done;
        }
        if (!LinkUp()) done->Complete(true);
        bus_->Call(path_, kDevice1, "Disconnect", nullptr, timing_.call, [done, path = path_](sdbus::MethodReply*, const sdbus::Error* error) {
            if (!error) return;
            LogMessage(kLogWarn, "bluez: Disconnect of %s failed: %s: %s", path.c_str(), error->getName().c_str(),
                       error->getMessage().c_str());
            done->Complete(false);
        });
        // The loop thread cannot wait for its own reply.
        if (!bus_->OnLoopThread() && done->WaitFor(timing_.close) == AsyncStatus::Started)
            LogMessage(kLogWarn, "bluez: %s still connected %lld ms after Disconnect", path_.c_str(),
                       static_cast<long long>(timing_.close.count()));
    }
    bus_->ReleaseLink(path_, this);
}

void BluezDevice::EndNotify(const std::shared_ptr<CharacteristicCore>& core, bool stopNotify) {
    if (auto id = core->acquired.exchange(0)) bus_->Reader().Remove(id);
    if (core->notifying.exchange(false) && stopNotify)
        bus_->Call(core->path, kGattCharacteristic1, "StopNotify", nullptr, timing_.call, [](sdbus::MethodReply*, const sdbus::Error*) {});
}

// ---- BluezService ----

AsyncOp<IGattService::CharacteristicsResult> BluezService::GetCharacteristicsAsync() {
    // BlueZ resolved the GATT database before ServicesResolved; each characteristic's
    // properties are fetched afresh (its MTU changes after the exchange).
    CharacteristicsResult result;
    if (!device_->LinkUp()) {
        result.status = GattStatus::Unreachable;
        return CompletedOperation(std::move(result));
    }
    auto known = device_->Bus()->ObjectsWith(path_, kGattCharacteristic1);
    if (known.empty()) return CompletedOperation(std::move(result));
    struct Gather {
        std::mutex mutex;
        size_t left = 0;
        std::map<std::string, Props> fresh;
    };
    auto op = MakeAsyncOperation<CharacteristicsResult>();
    auto gather = std::make_shared<Gather>();
    gather->left = known.size();
    auto device = device_;
    auto finish = [op, gather, device] {
        CharacteristicsResult done;
        for (auto& [path, props] : gather->fresh) {
            auto text = Get<std::string>(props, "UUID");
            auto uuid = text ? ParseUuid(*text) : std::nullopt;
            if (!uuid) {
                LogMessage(kLogWarn, "bluez: ignoring characteristic %s without a valid UUID", path.c_str());
                continue;
            }
            done.characteristics.push_back(std::make_shared<BluezCharacteristic>(device, device->CoreFor(path), *uuid));
        }
        op->Complete(std::move(done));
    };
    std::vector<sdbus::PendingAsyncCall> pending;
    for (auto& [path, cached] : known) {
        pending.push_back(device_->Bus()->Call(
            path, kProperties, "GetAll", [](sdbus::MethodCall& call) { call << std::string(kGattCharacteristic1); },
            device_->Timing().call, [gather, finish, device, path = path](sdbus::MethodReply* reply, const sdbus::Error* error) {
                Props props;
                bool ok = !error;
                if (ok) {
                    try {
                        *reply >> props;
                    } catch (const sdbus::Error&) {
                        ok = false;
                    }
                }
                if (ok)
                    device->Bus()->MergeProperties(path, kGattCharacteristic1, props);
                else
                    LogMessage(kLogWarn, "bluez: characteristic %s left out: %s", path.c_str(),
                               error ? error->getMessage().c_str() : "properties of the wrong type");
                bool last = false;
                {
                    std::lock_guard<std::mutex> lock(gather->mutex);
                    if (ok) gather->fresh[path] = std::move(props);
                    last = --gather->left == 0;
                }
                if (last) finish();
            }));
    }
    op->OnCancel([pending]() mutable {
        for (auto& p : pending) p.cancel();
    });
    return op;
}

// ---- BluezCharacteristic ----

AsyncOp<IGattCharacteristic::ReadResult> BluezCharacteristic::ReadValueAsync() {
    auto op = MakeAsyncOperation<ReadResult>();
    auto pending = device_->Bus()->Call(
        core_->path, kGattCharacteristic1, "ReadValue", [](sdbus::MethodCall& call) { call << Props{}; }, device_->Timing().call,
        [op](sdbus::MethodReply* reply, const sdbus::Error* error) {
            if (error) {
                auto failure = MapGattError(error->getName(), error->getMessage());
                if (failure.isStatus)
                    op->Complete(ReadResult{failure.status, {}});
                else
                    op->Fail(failure.error);
                return;
            }
            ReadResult result;
            try {
                *reply >> result.value;
            } catch (const sdbus::Error& e) {
                op->Fail(PlatformError{-1, "BlueZ sent a ReadValue reply that is not a byte array: " + e.getMessage()});
                return;
            }
            op->Complete(std::move(result));
        });
    DropReplyOnCancel(op, pending);
    return op;
}

AsyncOp<GattStatus> BluezCharacteristic::CallForStatus(const std::string& method, const BluezBus::ArgsWriter& args,
                                                       std::function<void(bool)> after) {
    auto op = MakeAsyncOperation<GattStatus>();
    auto pending = device_->Bus()->Call(core_->path, kGattCharacteristic1, method, args, device_->Timing().call,
                                        [op, after](sdbus::MethodReply*, const sdbus::Error* error) {
                                            if (after) after(!error);
                                            if (!error) {
                                                op->Complete(GattStatus::Success);
                                                return;
                                            }
                                            auto failure = MapGattError(error->getName(), error->getMessage());
                                            if (failure.isStatus)
                                                op->Complete(failure.status);
                                            else
                                                op->Fail(failure.error);
                                        });
    DropReplyOnCancel(op, pending);
    return op;
}

AsyncOp<GattStatus> BluezCharacteristic::WriteValueWithResultAsync(Bytes value, WriteOption option) {
    // The type is always given: BlueZ would otherwise pick one from the flags.
    std::string type = option == WriteOption::WithResponse ? "request" : "command";
    return CallForStatus("WriteValue", [value = std::move(value), type](sdbus::MethodCall& call) {
        Props options{{"type", sdbus::Variant(type)}};
        call << value << options;
    });
}

AsyncOp<GattStatus> BluezCharacteristic::WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue value) {
    if (value == CccdValue::None) {
        // An acquired session ends with its socket; a StartNotify one by StopNotify.
        bool viaSocket = core_->acquired.load() != 0;
        device_->EndNotify(core_, false);
        if (viaSocket) return CompletedOperation(GattStatus::Success);
        return CallForStatus("StopNotify", nullptr);
    }
    if (core_->acquired.load() != 0) return CompletedOperation(GattStatus::Success);
    if (!device_->Timing().acquireNotify) {
        // Delivery starts with the request: a notification may come before the reply.
        core_->notifying = true;
        auto core = core_;
        return CallForStatus("StartNotify", nullptr, [core](bool ok) {
            if (!ok) core->notifying = false;
        });
    }
    // AcquireNotify first: a socket per session, one notification per packet, no Value
    // property traffic. Peripherals or stacks that refuse it get StartNotify.
    auto op = MakeAsyncOperation<GattStatus>();
    auto core = core_;
    auto device = device_;
    std::weak_ptr<BluezDevice> weakDevice = device_;
    auto pending = device_->Bus()->Call(
        core_->path, kGattCharacteristic1, "AcquireNotify", [](sdbus::MethodCall& call) { call << Props{}; }, device_->Timing().call,
        [op, core, device, weakDevice](sdbus::MethodReply* reply, const sdbus::Error* error) {
            if (op->Status() != AsyncStatus::Started) return;  // given up: the socket closes here
            sdbus::UnixFd fd;
            uint16_t mtu = 0;
            bool acquired = !error;
            if (acquired) {
                try {
                    *reply >> fd >> mtu;
                } catch (const sdbus::Error&) {
                    acquired = false;
                }
            }
            if (!acquired || fd.get() < 0) {
                LogMessage(kLogDebug, "bluez: AcquireNotify on %s refused (%s); using StartNotify", core->path.c_str(),
                           error ? error->getName().c_str() : "bad reply");
                // Delivery starts with the request: a notification may come before the reply.
                core->notifying = true;
                auto started = BluezCharacteristic(device, core, Uuid{}).CallForStatus("StartNotify", nullptr, [core](bool ok) {
                    if (!ok) core->notifying = false;
                });
                started->SetCompleted([op, started](AsyncStatus status) {
                    if (status == AsyncStatus::Completed)
                        op->Complete(started->GetResults());
                    else if (status == AsyncStatus::Error) {
                        try {
                            started->GetResults();
                        } catch (const PlatformError& e) {
                            op->Fail(e);
                        }
                    } else {
                        op->MarkCanceled();
                    }
                });
                op->OnCancel([started] { started->Cancel(); });
                return;
            }
            auto deliver = [weakDevice, core](const Bytes& value) {
                auto d = weakDevice.lock();
                if (!d || !d->Bus()->OwnsLink(d->Path(), d.get())) return;
                core->valueChanged.Fire(value);
            };
            auto ended = [core] { core->acquired = 0; };
            uint64_t id = device->Bus()->Reader().Add(fd.release(), deliver, ended);
            if (id == 0) {
                op->Fail(PlatformError{-1, "The notification socket from BlueZ could not be watched."});
                return;
            }
            core->acquired = id;
            op->Complete(GattStatus::Success);
        });
    op->OnCancel([pending]() mutable { pending.cancel(); });
    return op;
}

EventToken BluezCharacteristic::AddValueChanged(std::function<void(const Bytes&)> handler) {
    return core_->valueChanged.Add(std::move(handler));
}

void BluezCharacteristic::RemoveValueChanged(EventToken token) { core_->valueChanged.Remove(token); }

uint16_t BluezCharacteristic::GetMtu() {
    auto mtu = device_->Bus()->Property<uint16_t>(core_->path, kGattCharacteristic1, "MTU");
    if (!mtu || *mtu < 23 || *mtu > 517) return 23;
    return *mtu;
}

}  // namespace Mivo::BLE::Platform::Bluez
