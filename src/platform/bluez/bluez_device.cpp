#include "platform/bluez/bluez_device.h"

#include <unistd.h>

#include <algorithm>

#include "log/log.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

constexpr size_t kMaxAttributeValue = 512;
const char* kResolvedTimeout = "BlueZ did not resolve the GATT services of the device in time.";

template <typename T>
bool FailWith(const AsyncOp<T>& op, const sdbus::Error& error) {
    return op->Fail(MapError(error.getName(), error.getMessage()));
}

// How a failed Connect may be retried: an abort (every failed LE connect in BlueZ 5.62 and
// later says "le-connection-abort-by-local", earlier ones the text of ECONNABORTED; frequent
// while the controller scans) once the link has fallen back to disconnected, as bleak does; a
// connect already under way (5.66 answers Failed "Operation already in progress", later
// versions InProgress) once the link state has changed.
bool ConnectMayBeRetried(const sdbus::Error& error) {
    const std::string& name = error.getName();
    const std::string& text = error.getMessage();
    if (name == "org.bluez.Error.InProgress") return true;
    return name == "org.bluez.Error.Failed" &&
           (text == "le-connection-abort-by-local" || text == "Software caused connection abort" ||
            text == "Operation already in progress");
}

bool HasFlag(const Props& props, const std::string& flag) {
    auto flags = Get<std::vector<std::string>>(props, "Flags");
    return flags && std::find(flags->begin(), flags->end(), flag) != flags->end();
}

void Ignore(sdbus::MethodReply*, const sdbus::Error*) {}

}  // namespace

uint16_t MtuOf(const std::optional<Props>& characteristic) {
    if (!characteristic) return 23;
    auto mtu = Get<uint16_t>(*characteristic, "MTU");
    if (!mtu || *mtu < 23 || *mtu > 517) return 23;
    return *mtu;
}

// ---- BluezDevice ----

std::shared_ptr<BluezDevice> BluezDevice::Create(std::shared_ptr<BluezBus> bus, std::string path, uint64_t address,
                                                 const BluezTiming& timing) {
    auto device = std::make_shared<BluezDevice>(std::move(bus), std::move(path), address, timing);
    device->reported_ = device->LinkUp() ? ConnectionStatus::Connected : ConnectionStatus::Disconnected;
    device->listenerId_ = device->bus_->AddListener(std::weak_ptr<BluezBus::Listener>(device));
    return device;
}

BluezDevice::BluezDevice(std::shared_ptr<BluezBus> bus, std::string path, uint64_t address, BluezTiming timing)
    : bus_(std::move(bus)), path_(std::move(path)), address_(address), timing_(std::move(timing)) {}

BluezDevice::~BluezDevice() {
    bus_->RemoveListener(listenerId_);
    bus_->ClearValueRoutes(this);
    for (auto& [path, core] : characteristics_)
        if (auto id = core->acquired.exchange(0)) bus_->Reader().Remove(id);
    bus_->ReleaseLink(path_, this);
    if (wait_) {
        bus_->Timer().Cancel(wait_->timer);
        if (wait_->paused) bus_->Discovery().Resume();
    }
}

bool BluezDevice::LinkUp() { return bus_->Property<bool>(path_, kDevice1, "Connected").value_or(false); }

ConnectionStatus BluezDevice::GetConnectionStatus() {
    return LinkUp() ? ConnectionStatus::Connected : ConnectionStatus::Disconnected;
}

EventToken BluezDevice::AddConnectionStatusChanged(std::function<void()> handler) {
    return statusChanged_.Add(std::move(handler));
}

void BluezDevice::RemoveConnectionStatusChanged(EventToken token) { statusChanged_.Remove(token); }

std::shared_ptr<CharacteristicCore> BluezDevice::CoreFor(const std::string& characteristicPath) {
    std::shared_ptr<CharacteristicCore> core;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& entry = characteristics_[characteristicPath];
        if (!entry) entry = std::make_shared<CharacteristicCore>(characteristicPath);
        core = entry;
    }
    // The newest device object of a path receives its notifications (objects of a path are
    // made anew for each connection, and each enumerates its characteristics).
    std::weak_ptr<CharacteristicCore> weak = core;
    bus_->SetValueRoute(characteristicPath, this, [weak](const Bytes& value) {
        auto c = weak.lock();
        // Value also changes after reads: only a notify session turns it into notifications.
        if (!c || !c->notifying.load(std::memory_order_relaxed)) return;
        // No ATT value is longer than 512 bytes: anything longer is not a notification.
        if (value.size() > kMaxAttributeValue) {
            if (!c->oversizeLogged.exchange(true))
                LogMessage(kLogWarn, "bluez: ignoring a Value of %s longer than any ATT value (%zu bytes)",
                           c->path.c_str(), value.size());
            return;
        }
        c->valueChanged.Fire(value);
    });
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
        EndConnecting(replaced);
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
        bool connecting = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            connecting = wait->connecting;
        }
        self->EndConnecting(wait);
        // BlueZ cannot cancel a Connect; disconnecting aborts it.
        if (connecting) self->bus_->Call(self->path_, kDevice1, "Disconnect", nullptr, self->timing_.call, Ignore);
    });

    if (LinkUp()) {
        // Connected already (by this process or by another client): take the link over.
        WaitForResolved(wait);
        return op;
    }
    StartConnect(wait);
    return op;
}

std::shared_ptr<BluezDevice::ServicesWait> BluezDevice::TakeWait(const std::shared_ptr<ServicesWait>& wait) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!wait_ || (wait && wait_ != wait)) return nullptr;
    return std::move(wait_);
}

void BluezDevice::StartConnect(const std::shared_ptr<ServicesWait>& wait) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wait->connecting = true;
        wait->paused = true;
    }
    // Our own discovery stops for the connect: many controllers abort a connection they are
    // asked to make during an active scan.
    std::weak_ptr<BluezDevice> weak = weak_from_this();
    bus_->Discovery().Pause([weak, wait] {
        if (auto self = weak.lock()) self->SendConnect(wait);
    });
}

void BluezDevice::SendConnect(const std::shared_ptr<ServicesWait>& wait) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wait_ != wait) return;  // given up meanwhile
        wait->settling = false;
    }
    std::weak_ptr<BluezDevice> weak = weak_from_this();
    auto pending = bus_->Call(path_, kDevice1, "Connect", nullptr, timing_.call,
                              [weak, wait](sdbus::MethodReply*, const sdbus::Error* error) {
                                  if (auto self = weak.lock()) self->OnConnectReply(wait, error);
                                  else wait->op->Complete(ServicesResult{GattStatus::Unreachable, {}});
                              });
    std::lock_guard<std::mutex> lock(mutex_);
    wait->connect = pending;
}

void BluezDevice::OnConnectReply(const std::shared_ptr<ServicesWait>& wait, const sdbus::Error* error) {
    bool retry = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wait_ != wait) return;  // cancelled or replaced: a late reply
        if (error && ConnectMayBeRetried(*error) && wait->retries < timing_.connectRetries) {
            ++wait->retries;
            wait->settling = true;
            retry = true;
        }
    }
    if (retry) {
        LogMessage(kLogDebug, "bluez: connect of %s failed (%s: %s); retrying once the link has settled", path_.c_str(),
                   error->getName().c_str(), error->getMessage().c_str());
        // An aborted connect shows as Connected true, then false: the retry waits for the
        // false (or for the bound, when BlueZ sends nothing more).
        if (!LinkUp() && error->getName() == "org.bluez.Error.Failed" &&
            error->getMessage() != "Operation already in progress")
            return SendConnect(wait);
        std::weak_ptr<BluezDevice> weak = weak_from_this();
        auto id = bus_->Timer().After(timing_.connectSettle, [weak, wait] {
            if (auto self = weak.lock()) self->RetryAfterSettling(wait);
        });
        std::lock_guard<std::mutex> lock(mutex_);
        if (wait_ == wait && wait->settling) wait->timer = id;
        else bus_->Timer().Cancel(id);
        return;
    }
    EndConnecting(wait);
    if (error) {
        if (TakeWait(wait)) FailWith(wait->op, *error);
        return;
    }
    WaitForResolved(wait);
}

void BluezDevice::RetryAfterSettling(const std::shared_ptr<ServicesWait>& wait) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wait_ != wait || !wait->settling) return;
        bus_->Timer().Cancel(wait->timer);
        wait->timer = 0;
    }
    SendConnect(wait);
}

void BluezDevice::EndConnecting(const std::shared_ptr<ServicesWait>& wait) {
    bool resume = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wait->connecting = wait->settling = false;
        resume = std::exchange(wait->paused, false);
    }
    if (resume) bus_->Discovery().Resume();
    // Link-status changes while connecting were the attempts' own; report where it ended.
    ReportLinkStatus();
}

void BluezDevice::WaitForResolved(const std::shared_ptr<ServicesWait>& wait) {
    if (bus_->Property<bool>(path_, kDevice1, "ServicesResolved").value_or(false)) return CompleteResolved(wait);
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

void BluezDevice::CompleteResolved(const std::shared_ptr<ServicesWait>& wait) {
    // BlueZ before 5.62 tells the MTU only through AcquireWrite and AcquireNotify: an
    // AcquireWrite on a characteristic taking write commands costs no radio traffic, and its
    // socket is closed at once.
    std::string probe;
    bool known = LinkMtu() != 0;
    for (auto& [path, props] : bus_->ObjectsWith(path_, kGattCharacteristic1)) {
        if (props.count("MTU")) known = true;
        if (probe.empty() && HasFlag(props, "write-without-response")) probe = path;
    }
    if (known || probe.empty()) {
        if (TakeWait(wait)) wait->op->Complete(Enumerate());
        return;
    }
    std::weak_ptr<BluezDevice> weak = weak_from_this();
    auto pending = bus_->Call(
        probe, kGattCharacteristic1, "AcquireWrite", [](sdbus::MethodCall& call) { call << Props{}; }, timing_.call,
        [weak, wait](sdbus::MethodReply* reply, const sdbus::Error* error) {
            auto self = weak.lock();
            if (!self) return;
            if (!error) {
                sdbus::UnixFd fd;
                uint16_t mtu = 0;
                try {
                    *reply >> fd >> mtu;
                    self->SetLinkMtu(mtu);
                } catch (const sdbus::Error&) {
                }
            }
            if (self->TakeWait(wait)) wait->op->Complete(self->Enumerate());
        });
    std::lock_guard<std::mutex> lock(mutex_);
    if (wait_ == wait) wait->connect = pending;
}

void BluezDevice::SetLinkMtu(uint16_t mtu) {
    if (mtu >= 23 && mtu <= 517) linkMtu_ = mtu;
}

void BluezDevice::CheckServicesWait(bool linkDown, bool removed) {
    std::shared_ptr<ServicesWait> wait;
    bool settled = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!wait_) return;
        wait = wait_;
        settled = wait->settling;
        // While connecting the reply decides; only the device's removal ends the wait early.
        if (wait->connecting && !settled && !removed) return;
    }
    if (settled && !removed) return RetryAfterSettling(wait);
    if (linkDown || removed) {
        if (!TakeWait(wait)) return;
        bus_->Timer().Cancel(wait->timer);
        wait->connect.cancel();
        EndConnecting(wait);
        wait->op->Complete(ServicesResult{GattStatus::Unreachable, {}});
        return;
    }
    if (!bus_->Property<bool>(path_, kDevice1, "ServicesResolved").value_or(false)) return;
    bus_->Timer().Cancel(wait->timer);
    CompleteResolved(wait);
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
    std::vector<std::shared_ptr<CharacteristicCore>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The flicker of an aborted connect attempt is not a link of its own.
        if (wait_ && wait_->connecting) return;
        if (now == reported_) return;
        reported_ = now;
        if (now == ConnectionStatus::Disconnected) {
            linkMtu_ = 0;
            for (auto& [path, core] : characteristics_) ended.push_back(core);
        }
    }
    // bluetoothd keeps StartNotify sessions over a link loss and arms them itself at the next
    // connect, before this library subscribes again: they are ended now.
    for (auto& core : ended) EndNotify(core);
    statusChanged_.Fire();
}

void BluezDevice::OnInterfacesAdded(const std::string& path, const Interfaces& added) {
    if (path == path_ && added.count(kDevice1)) ReportLinkStatus();
}

void BluezDevice::OnPropertiesChanged(const std::string& path, const std::string& iface, const Props& changed) {
    if (!PathIsWithin(path, path_)) return;
    if (path != path_ || iface != kDevice1) return;
    bool linkDown = changed.count("Connected") && !Get<bool>(changed, "Connected").value_or(false);
    if (changed.count("Connected")) ReportLinkStatus();
    if (changed.count("Connected") || changed.count("ServicesResolved")) CheckServicesWait(linkDown);
}

void BluezDevice::OnInterfacesRemoved(const std::string& path, const std::vector<std::string>& removed) {
    if (path != path_) return;
    bool deviceGone = false;
    for (auto& name : removed) deviceGone = deviceGone || name == kDevice1;
    if (!deviceGone) return;
    ReportLinkStatus();
    CheckServicesWait(true, true);
}

void BluezDevice::Close() {
    if (auto wait = TakeWait(nullptr)) {
        bus_->Timer().Cancel(wait->timer);
        wait->connect.cancel();
        EndConnecting(wait);
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
    for (auto& core : cores) EndNotify(core);
    if (LinkUp()) {
        // Done when Connected=false (or the device's removal) arrives; the reply may come first.
        auto done = MakeAsyncOperation<bool>();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            linkDown_ = done;
        }
        if (!LinkUp()) done->Complete(true);
        bus_->Call(path_, kDevice1, "Disconnect", nullptr, timing_.call,
                   [done, path = path_](sdbus::MethodReply*, const sdbus::Error* error) {
                       if (!error) return;
                       LogMessage(kLogWarn, "bluez: Disconnect of %s failed: %s: %s", path.c_str(),
                                  error->getName().c_str(), error->getMessage().c_str());
                       done->Complete(false);
                   });
        // The loop thread cannot wait for its own reply.
        if (!bus_->OnLoopThread() && done->WaitFor(timing_.close) == AsyncStatus::Started)
            LogMessage(kLogWarn, "bluez: %s still connected %lld ms after Disconnect", path_.c_str(),
                       static_cast<long long>(timing_.close.count()));
    }
    bus_->ReleaseLink(path_, this);
}

void BluezDevice::EndNotify(const std::shared_ptr<CharacteristicCore>& core) {
    // An acquired session ends with its socket; StopNotify makes BlueZ end it at once rather
    // than when it notices the socket closed, so that the next AcquireNotify is not refused.
    bool acquired = false;
    if (auto id = core->acquired.exchange(0)) {
        bus_->Reader().Remove(id);
        acquired = true;
    }
    if (core->notifying.exchange(false) || (acquired && LinkUp()))
        bus_->Call(core->path, kGattCharacteristic1, "StopNotify", nullptr, timing_.call, Ignore);
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
    pending.reserve(known.size());
    for (auto& [path, cached] : known) {
        pending.push_back(device_->Bus()->Call(
            path, kProperties, "GetAll", [](sdbus::MethodCall& call) { call << std::string(kGattCharacteristic1); },
            device_->Timing().call,
            [gather, finish, device, path = path](sdbus::MethodReply* reply, const sdbus::Error* error) {
                Props props;
                bool ok = !error;
                if (ok) {
                    try {
                        *reply >> props;
                    } catch (const sdbus::Error&) {
                        ok = false;
                    }
                }
                if (ok) device->Bus()->MergeProperties(path, kGattCharacteristic1, props);
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

namespace {

// BlueZ answers InProgress while an earlier operation of the characteristic is pending (a
// write this library gave up on is still on its way), and NotPermitted "Write acquired" while
// it has not yet seen an AcquireWrite socket closed: both pass. A call answered so is made
// again after a pause, as mature clients do, until it goes through, fails otherwise, or the
// operation is given up.
bool Busy(const sdbus::Error& error) {
    return error.getName() == "org.bluez.Error.InProgress" ||
           (error.getName() == "org.bluez.Error.NotPermitted" && error.getMessage() == "Write acquired");
}

template <typename T>
class CallWhileBusy : public std::enable_shared_from_this<CallWhileBusy<T>> {
public:
    static void Start(const std::shared_ptr<BluezDevice>& device, AsyncOp<T> op, std::string path, std::string method,
                      BluezBus::ArgsWriter args, BluezBus::ReplyHandler handler) {
        auto call = std::make_shared<CallWhileBusy>(device->Bus(), device->Timing(), std::move(op), std::move(path),
                                                    std::move(method), std::move(args), std::move(handler));
        std::weak_ptr<CallWhileBusy> weak = call;
        call->op_->OnCancel([weak] {
            if (auto self = weak.lock()) self->Cancel();
        });
        call->Attempt();
    }

    CallWhileBusy(std::shared_ptr<BluezBus> bus, BluezTiming timing, AsyncOp<T> op, std::string path,
                  std::string method, BluezBus::ArgsWriter args, BluezBus::ReplyHandler handler)
        : bus_(std::move(bus)),
          timing_(std::move(timing)),
          op_(std::move(op)),
          path_(std::move(path)),
          method_(std::move(method)),
          args_(std::move(args)),
          handler_(std::move(handler)) {}

private:
    void Attempt() {
        auto self = this->shared_from_this();
        auto pending = bus_->Call(path_, kGattCharacteristic1, method_, args_, timing_.call,
                                  [self](sdbus::MethodReply* reply, const sdbus::Error* error) {
                                      if (error && Busy(*error) && self->op_->Status() == AsyncStatus::Started)
                                          return self->Later();
                                      self->handler_(reply, error);
                                  });
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = pending;
    }
    void Later() {
        auto self = this->shared_from_this();
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_) return;
        timer_ = bus_->Timer().After(timing_.busyRetry, [self] { self->Attempt(); });
    }
    void Cancel() {
        sdbus::PendingAsyncCall pending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;
            pending = pending_;
            bus_->Timer().Cancel(timer_);
        }
        pending.cancel();  // takes sd-bus's lock: never under ours
    }

    std::shared_ptr<BluezBus> bus_;
    const BluezTiming timing_;
    AsyncOp<T> op_;
    const std::string path_, method_;
    const BluezBus::ArgsWriter args_;
    const BluezBus::ReplyHandler handler_;
    std::mutex mutex_;
    sdbus::PendingAsyncCall pending_;
    DeadlineTimer::Id timer_ = 0;
    bool cancelled_ = false;
};

template <typename T>
void FailOrStatus(const AsyncOp<T>& op, const sdbus::Error& error, const std::function<void(GattStatus)>& status) {
    auto failure = MapGattError(error.getName(), error.getMessage());
    if (failure.isStatus) status(failure.status);
    else op->Fail(failure.error);
}

}  // namespace

AsyncOp<IGattCharacteristic::ReadResult> BluezCharacteristic::ReadValueAsync() {
    auto op = MakeAsyncOperation<ReadResult>();
    CallWhileBusy<ReadResult>::Start(
        device_, op, core_->path, "ReadValue", [](sdbus::MethodCall& call) { call << Props{}; },
        [op](sdbus::MethodReply* reply, const sdbus::Error* error) {
            if (error)
                return FailOrStatus(op, *error, [op](GattStatus status) { op->Complete(ReadResult{status, {}}); });
            ReadResult result;
            try {
                *reply >> result.value;
            } catch (const sdbus::Error& e) {
                op->Fail(PlatformError{-1, "BlueZ sent a ReadValue reply that is not a byte array: " + e.getMessage()});
                return;
            }
            op->Complete(std::move(result));
        });
    return op;
}

AsyncOp<GattStatus> BluezCharacteristic::CallForStatus(const std::shared_ptr<BluezDevice>& device,
                                                       const std::string& path, const std::string& method,
                                                       BluezBus::ArgsWriter args, std::function<void(bool)> after) {
    auto op = MakeAsyncOperation<GattStatus>();
    CallWhileBusy<GattStatus>::Start(device, op, path, method, std::move(args),
                                     [op, after = std::move(after)](sdbus::MethodReply*, const sdbus::Error* error) {
                                         if (after) after(!error);
                                         if (!error) {
                                             op->Complete(GattStatus::Success);
                                             return;
                                         }
                                         FailOrStatus(op, *error, [op](GattStatus status) { op->Complete(status); });
                                     });
    return op;
}

AsyncOp<GattStatus> BluezCharacteristic::WriteValueWithResultAsync(Bytes value, WriteOption option) {
    // The type is always given: BlueZ would otherwise pick one from the flags.
    std::string type = option == WriteOption::WithResponse ? "request" : "command";
    return CallForStatus(device_, core_->path, "WriteValue", [value = std::move(value), type](sdbus::MethodCall& call) {
        Props options{{"type", sdbus::Variant(type)}};
        call << value << options;
    });
}

AsyncOp<GattStatus> BluezCharacteristic::WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue value) {
    if (value == CccdValue::None) {
        device_->EndNotify(core_);
        return CompletedOperation(GattStatus::Success);
    }
    if (core_->acquired.load() != 0) return CompletedOperation(GattStatus::Success);
    if (core_->stream && device_->Timing().acquireNotify) return AcquireNotify();
    return StartNotify();
}

AsyncOp<GattStatus> BluezCharacteristic::StartNotify() {
    // Delivery starts with the request: a notification may come before the reply.
    core_->notifying = true;
    auto op = MakeAsyncOperation<GattStatus>();
    auto core = core_;
    std::weak_ptr<BluezDevice> weak = device_;
    auto started = CallForStatus(device_, core_->path, "StartNotify", nullptr);
    started->SetCompleted([op, started, core, weak](AsyncStatus status) {
        if (status != AsyncStatus::Completed) {
            core->notifying = false;
            try {
                started->GetResults();
            } catch (const PlatformError& e) {
                op->Fail(e);
            }
            return;
        }
        GattStatus result = started->GetResults();
        auto device = weak.lock();
        if (result == GattStatus::Success && device && !device->LinkUp()) {
            // Without a link BlueZ only registers the session (and would arm it at the next
            // connect): it is of no use, so it ends now.
            device->EndNotify(core);
            result = GattStatus::Unreachable;
        }
        if (result != GattStatus::Success) core->notifying = false;
        op->Complete(result);
    });
    op->OnCancel([started] { started->Cancel(); });
    return op;
}

AsyncOp<GattStatus> BluezCharacteristic::AcquireNotify() {
    // A socket per session, one notification per packet, no Value signals: the cheaper path.
    // BlueZ refuses it while a StartNotify session exists (InProgress) or another client holds
    // the socket ("Notify acquired"); StartNotify then decides.
    auto op = MakeAsyncOperation<GattStatus>();
    auto core = core_;
    auto device = device_;
    auto pending = device_->Bus()->Call(
        core_->path, kGattCharacteristic1, "AcquireNotify", [](sdbus::MethodCall& call) { call << Props{}; },
        device_->Timing().call,
        [op, core, device](sdbus::MethodReply* reply, const sdbus::Error* error) {
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
                if (error && error->getMessage() == "Notify acquired")
                    LogMessage(kLogWarn, "bluez: another client holds the notifications of %s (Notify acquired)",
                               core->path.c_str());
                else
                    LogMessage(kLogDebug, "bluez: AcquireNotify on %s refused (%s); using StartNotify",
                               core->path.c_str(), error ? error->getName().c_str() : "bad reply");
                auto started = BluezCharacteristic(device, core, Uuid{}).StartNotify();
                started->SetCompleted([op, started](AsyncStatus status) {
                    if (status == AsyncStatus::Completed) op->Complete(started->GetResults());
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
            device->SetLinkMtu(mtu);
            // The socket is this session's own: whatever comes through it is a notification.
            auto deliver = [core](const Bytes& value) { core->valueChanged.Fire(value); };
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
    // BlueZ before 5.62 has no MTU property: the MTU AcquireNotify or AcquireWrite returned,
    // else the smallest, which every link carries.
    auto mtu = device_->Bus()->Property<uint16_t>(core_->path, kGattCharacteristic1, "MTU");
    if (mtu && *mtu >= 23 && *mtu <= 517) return *mtu;
    if (uint16_t learnt = device_->LinkMtu()) return learnt;
    return 23;
}

}  // namespace Mivo::BLE::Platform::Bluez
