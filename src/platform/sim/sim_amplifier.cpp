#include "platform/sim/sim_amplifier.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <future>

#include "log/log.h"
#include "platform/sim/sim_gatt.h"
#include "platform/sim/sim_stack_core.h"

namespace Mivo::BLE::Sim::Detail {

using namespace Platform;

// ---- UUIDs ----

namespace {
constexpr uint64_t kMivoNode = 0xB887924B81E8ull;
Uuid Mivo(uint32_t d1) { return Uuid::FromGroups(d1, 0x449F, 0x4BA0, 0xA651, kMivoNode); }
Uuid Nus(uint32_t d1) { return Uuid::FromGroups(d1, 0xB5A3, 0xF393, 0xE0A9, 0xE50E24DCCA9Eull); }

constexpr uint8_t kNusEcho = 0x01, kNusAnswer = 0x10, kNusLayout = 0x20;
// ATT: the smallest MTU, the header of a notification or write command, the longest value.
constexpr size_t kMinAttMtu = 23, kAttHeader = 3, kMaxAttValue = 512;
constexpr uint8_t kChannelTypeSignal = 1, kChannelTypeCounter = 5;
// Raw-unit scale of a signal channel: microvolts per count of a 24-bit converter at gain 24.
constexpr float kSignalScale = 0.02235174f;
}  // namespace

namespace Uuids {
Uuid DeviceInformation() { return Uuid::FromShort(0x180A); }
Uuid BatteryService() { return Uuid::FromShort(0x180F); }
Uuid DataService() { return Mivo(0xB5211405); }
Uuid NusService() { return Nus(0x6E400001); }
Uuid SmpService() { return Uuid::FromGroups(0x8D53DC1D, 0x1DB7, 0x4CD3, 0x868B, 0x8A527460AA84ull); }
}  // namespace Uuids

Uuid UuidOf(Attr attr) {
    switch (attr) {
    case Attr::Model: return Uuid::FromShort(0x2A24);
    case Attr::Serial: return Uuid::FromShort(0x2A25);
    case Attr::Firmware: return Uuid::FromShort(0x2A26);
    case Attr::Hardware: return Uuid::FromShort(0x2A27);
    case Attr::Maker: return Uuid::FromShort(0x2A29);
    case Attr::Battery: return Uuid::FromShort(0x2A19);
    case Attr::Sample: return Mivo(0xB5211406);
    case Attr::AmpConfig: return Mivo(0xB5211407);
    case Attr::PayloadConfig: return Mivo(0xB5211408);
    case Attr::ChannelConfig: return Mivo(0xB5211409);
    case Attr::FilterConfig: return Mivo(0xB521140A);
    case Attr::NusRx: return Nus(0x6E400002);
    case Attr::NusTx: return Nus(0x6E400003);
    case Attr::Smp: return Uuid::FromGroups(0xDA2E7828, 0xFBCE, 0x4E01, 0xAE9E, 0x261174997C48ull);
    }
    return {};
}

bool ParseUuidText(const std::string& text, Uuid& uuid) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string full = text;
    if (text.size() == 4) full = "0000" + text + "-0000-1000-8000-00805F9B34FB";
    if (full.size() != 36) return false;
    Uuid out;
    size_t b = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (full[i] != '-') return false;
            ++i;
            continue;
        }
        int hi = hex(full[i]), lo = hex(full[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.bytes[b++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    uuid = out;
    return true;
}

std::string UuidText(const Uuid& uuid) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += digits[uuid.bytes[i] >> 4];
        s += digits[uuid.bytes[i] & 0xF];
    }
    return s;
}

}  // namespace Mivo::BLE::Sim::Detail

namespace Mivo::BLE::Sim {

CharacteristicProperties PropertiesOf(const Platform::Uuid& characteristic) {
    using Detail::Attr;
    CharacteristicProperties p;
    for (Attr a : {Attr::Model, Attr::Serial, Attr::Firmware, Attr::Hardware, Attr::Maker, Attr::Battery, Attr::Sample, Attr::AmpConfig,
                   Attr::ChannelConfig, Attr::PayloadConfig, Attr::FilterConfig, Attr::NusRx, Attr::NusTx, Attr::Smp}) {
        if (Detail::UuidOf(a) != characteristic) continue;
        switch (a) {
        case Attr::Model: case Attr::Serial: case Attr::Firmware: case Attr::Hardware: case Attr::Maker: case Attr::AmpConfig:
            p.read = true;
            break;
        case Attr::Battery: p.read = p.notify = true; break;
        case Attr::Sample: case Attr::ChannelConfig: case Attr::PayloadConfig: case Attr::FilterConfig: case Attr::NusTx:
            p.notify = true;
            break;
        case Attr::NusRx: p.write = p.writeWithoutResponse = true; break;
        case Attr::Smp: p.writeWithoutResponse = p.notify = true; break;
        }
    }
    return p;
}

}  // namespace Mivo::BLE::Sim

namespace Mivo::BLE::Sim::Detail {

// ---- construction ----

AmplifierCore::AmplifierCore(AmplifierConfig config, std::weak_ptr<StackCore> stack)
    : stack_(std::move(stack)),
      config_(config),
      name_(config.name),
      address_(config.addr ? *config.addr : AddressFromName(config.name)),
      advertising_(config.advertising),
      connectable_(config.connectable),
      interval_(config.interval),
      dropEvery_(config.dropEvery),
      battery_(config.battery),
      firmware_(config.fw),
      refuseRemaining_(config.refuseConnects),
      dropNotifyEvery_(config.dropNotifyEvery),
      corruptNext_(config.corrupt),
      shortenNext_(config.shorten),
      smp_(SmpServer::Options{config.slotSize, config.smpRcZero, config.smpParams, config.smpBufCount, config.smpBufSize}),
      smpSplit_(std::max<size_t>(1, config.smpSplit)),
      link_("sim-link"),
      events_("sim-events") {
    if (!config.hang.empty()) {
        auto colon = config.hang.find(':');
        if (colon == std::string::npos) Hang(config.hang, "");
        else Hang(config.hang.substr(0, colon), config.hang.substr(colon + 1));
    }
    if (!config.delay.empty()) {  // "Op:ms" or "Op:UUID:ms", checked by the configuration reader
        auto first = config.delay.find(':'), last = config.delay.rfind(':');
        long ms = std::strtol(config.delay.c_str() + last + 1, nullptr, 10);
        Delay(config.delay.substr(0, first), Milliseconds(ms), first == last ? "" : config.delay.substr(first + 1, last - first - 1));
    }
    if (!config.nus.empty()) {
        NusResponseScript every;
        every.requests = std::numeric_limits<int>::max();
        if (config.nus.rfind("late:", 0) == 0) every.delay = Milliseconds(std::strtol(config.nus.c_str() + 5, nullptr, 10));
        else if (config.nus == "never") every.never = true;
        else if (config.nus == "badcrc") every.badCrc = true;
        else if (config.nus == "trailing") every.trailing = {0x00};
        else if (config.nus == "unsolicited") every.unsolicited = Wire::BuildResponseFrame(0x7E, 0x00, {});  // an event frame of its own
        ScriptNusResponse(every);
    }
    if (config.gen == Generation::Legacy) {
        const size_t payload = static_cast<size_t>(config.channels + (config.counter ? 1 : 0)) * config.frames * 3;
        if (payload > PacketPayloadLocked())
            LogMessage(kLogWarn, "sim: '%s' sample payloads of %zu bytes exceed one packet (MTU %zu - 3); they go out cut",
                       config.name.c_str(), payload, config.mtu);
    }
}

AmplifierCore::~AmplifierCore() { Shutdown(); }

void AmplifierCore::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (config_.batteryEvery.count() > 0) {
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        link_.PostAfter(config_.batteryEvery, [weak] {
            if (auto self = weak.lock()) self->BatteryTick();
        });
    }
}

void AmplifierCore::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_) return;
        shutdown_ = true;
    }
    Disconnect();
    link_.Stop();
    // Deliver what is queued (the link-status event of the drop) before the thread stops.
    if (!events_.OnThisThread()) {
        auto delivered = std::make_shared<std::promise<void>>();
        auto future = delivered->get_future();
        if (events_.Post([delivered] { delivered->set_value(); })) future.wait_for(std::chrono::seconds(2));
    }
    events_.Stop();
}

bool AmplifierCore::IsShutDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shutdown_;
}

bool AmplifierCore::StackAvailable() {
    auto stack = stack_.lock();
    return stack && stack->AdapterPresent() && stack->RadioOn();
}

void AmplifierCore::CompleteLater(std::function<void()> completion) {
    auto stack = stack_.lock();
    if (stack && stack->SubmitCompletion(completion)) return;
    completion();  // the stack is gone: complete here, on the simulator thread
}

// ---- identity ----

AmplifierCore::Advert AmplifierCore::CurrentAdvert() {
    std::lock_guard<std::mutex> lock(mutex_);
    Advert a;
    a.on = advertising_ && !shutdown_ && Clock::now() >= rebootingUntil_;
    a.name = name_;
    a.address = address_;
    a.connectable = connectable_;
    a.interval = config_.adv;
    return a;
}

void AmplifierCore::CountAdvertisement() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++advertisements_;
}

std::string AmplifierCore::Name() {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

uint64_t AmplifierCore::Address() {
    std::lock_guard<std::mutex> lock(mutex_);
    return address_;
}

AmplifierConfig AmplifierCore::Config() {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

// ---- GATT table ----

std::vector<ServiceDef> AmplifierCore::Services() {
    std::vector<ServiceDef> services;
    services.push_back({Uuids::DeviceInformation(), {Attr::Model, Attr::Serial, Attr::Firmware, Attr::Hardware, Attr::Maker}});
    services.push_back({Uuids::BatteryService(), {Attr::Battery}});
    Generation gen = config_.gen;
    if (gen == Generation::Legacy || gen == Generation::Both)
        services.push_back({Uuids::DataService(), {Attr::Sample, Attr::AmpConfig, Attr::PayloadConfig, Attr::ChannelConfig, Attr::FilterConfig}});
    else if (gen == Generation::Nus)
        services.push_back({Uuids::DataService(), {Attr::Sample}});
    if (gen == Generation::Nus || gen == Generation::Both) services.push_back({Uuids::NusService(), {Attr::NusRx, Attr::NusTx}});
    services.push_back({Uuids::SmpService(), {Attr::Smp}});
    return services;
}

bool AmplifierCore::IsAttached(const SimDevice* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return false;
    for (auto& a : attached_)
        if (a.raw == device && !a.weak.expired()) return true;
    return false;
}

std::vector<std::weak_ptr<SimDevice>> AmplifierCore::AttachedWeakLocked() const {
    std::vector<std::weak_ptr<SimDevice>> out;
    for (auto& a : attached_) out.push_back(a.weak);
    return out;
}

// ---- link timing ----

Clock::time_point AmplifierCore::NextEventLocked(Clock::time_point t) const {
    if (!connected_ || interval_.count() <= 0 || t <= connStart_) return std::max(t, connStart_);
    auto since = t - connStart_;
    auto step = std::chrono::duration_cast<Clock::duration>(interval_);
    auto k = (since + step - Clock::duration(1)) / step;
    return connStart_ + k * step;
}

Clock::time_point AmplifierCore::ReserveLinkSlot(Clock::time_point earliest) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return earliest + interval_;
    auto start = NextEventLocked(std::max(earliest, busyUntil_));
    busyUntil_ = start + interval_;
    return busyUntil_;
}

// ---- faults ----

AmplifierCore::OpFault AmplifierCore::FaultFor(const std::string& operation, std::optional<Attr> attr) {
    std::lock_guard<std::mutex> lock(mutex_);
    OpFault out;
    for (auto& f : faults_) {
        if (f.operation != operation) continue;
        if (f.uuid && (!attr || UuidOf(*attr) != *f.uuid)) continue;
        if (f.hang) out.hang = true;
        out.delay += f.delay;
    }
    return out;
}

namespace {
bool KnownOperation(const std::string& op) {
    return op == kOpRead || op == kOpServices || op == kOpCharacteristics || op == kOpWrite || op == kOpCccd ||
           op == kOpFromAddress;
}
}  // namespace

void AmplifierCore::Hang(const std::string& operation, const std::string& characteristic) {
    Fault f;
    f.operation = operation;
    f.hang = true;
    if (!KnownOperation(operation)) LogMessage(kLogWarn, "sim: hang of unknown operation '%s' has no effect", operation.c_str());
    if (!characteristic.empty()) {
        Uuid u;
        if (!ParseUuidText(characteristic, u)) {
            LogMessage(kLogError, "sim: bad characteristic UUID '%s' for hang", characteristic.c_str());
            return;
        }
        f.uuid = u;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(f);
}

void AmplifierCore::Delay(const std::string& operation, Milliseconds delay, const std::string& characteristic) {
    Fault f;
    f.operation = operation;
    f.delay = delay;
    if (!KnownOperation(operation)) LogMessage(kLogWarn, "sim: delay of unknown operation '%s' has no effect", operation.c_str());
    if (!characteristic.empty()) {
        Uuid u;
        if (!ParseUuidText(characteristic, u)) {
            LogMessage(kLogError, "sim: bad characteristic UUID '%s' for delay", characteristic.c_str());
            return;
        }
        f.uuid = u;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(f);
}

void AmplifierCore::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    refuseRemaining_ = 0;
    dropNotifyEvery_ = corruptNext_ = shortenNext_ = 0;
    dropEvery_ = Milliseconds(0);
    if (dropTask_) link_.Cancel(dropTask_);
    dropTask_ = 0;
    nusScripts_.clear();
    recordScripts_.clear();
}

// ---- connect, disconnect ----

void AmplifierCore::Connect(std::shared_ptr<SimDevice> device, AsyncOp<IBluetoothLEDevice::ServicesResult> op,
                            std::function<IBluetoothLEDevice::ServicesResult()> services) {
    if (IsShutDown()) {
        op->Fail(PlatformError{-1, "The device is no longer available."});
        return;
    }
    auto fault = FaultFor(kOpServices, std::nullopt);
    auto token = BeginPending(op);
    if (fault.hang) return;
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    auto finish = [weak, op, token](IBluetoothLEDevice::ServicesResult result) {
        auto self = weak.lock();
        if (!self) return;
        self->EndPending(token);
        self->CompleteLater([op, result = std::move(result)]() mutable { op->Complete(std::move(result)); });
    };
    bool posted = link_.PostAfter(fault.delay, [weak, device, op, finish, services] {
        auto self = weak.lock();
        if (!self) return;
        if (op->Status() != AsyncStatus::Started) return finish({});
        auto now = Clock::now();
        bool notify = false;
        Clock::time_point done;
        bool ok = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            bool available = !self->shutdown_ && self->StackAvailable();
            if (self->connected_) {
                ok = available;
                bool attached = false;
                for (auto& a : self->attached_)
                    if (a.raw == device.get()) attached = true;
                if (ok && !attached) {
                    self->attached_.push_back({device.get(), device});
                    notify = true;
                }
            } else {
                bool reachable = available && self->advertising_ && self->connectable_ && device->BluetoothAddress() == self->address_ &&
                                 now >= self->rebootingUntil_;
                if (reachable && self->refuseRemaining_ > 0) {
                    --self->refuseRemaining_;
                    ++self->refused_;
                    reachable = false;
                }
                if (reachable) {
                    self->connected_ = true;
                    ++self->linkEpoch_;
                    self->connStart_ = now;
                    self->busyUntil_ = now;
                    ++self->connects_;
                    self->attached_ = {{device.get(), device}};
                    self->cccd_.clear();
                    self->cutWarned_.clear();
                    self->smpBuffer_.clear();
                    self->airUsed_.clear();
                    self->serverQueue_.clear();
                    self->serverFree_ = self->lastSmpNotify_ = self->lastSmpWrite_ = now;
                    self->ScheduleDropLocked();
                    notify = true;
                    ok = true;
                }
            }
            if (ok) {
                // Discovery of the services takes a few round trips.
                auto start = self->NextEventLocked(std::max(now, self->busyUntil_));
                done = start + 2 * self->interval_;
                self->busyUntil_ = done;
            } else {
                done = now + self->config_.connectFail;
            }
        }
        if (notify) {
            std::weak_ptr<SimDevice> wd = device;
            self->events_.Post([wd] {
                if (auto d = wd.lock()) d->FireStatusChanged();
            });
        }
        self->link_.PostAt(done, [weak, ok, finish, services] {
            IBluetoothLEDevice::ServicesResult result;
            auto self = weak.lock();
            if (ok && self && !self->shutdown_) result = services();
            else result.status = GattStatus::Unreachable;
            finish(std::move(result));
        });
    });
    if (!posted) {
        EndPending(token);
        op->Fail(PlatformError{-1, "The device is no longer available."});
    }
}

void AmplifierCore::Detach(const SimDevice* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_.erase(std::remove_if(attached_.begin(), attached_.end(),
                                   [&](const Attached& a) { return a.raw == device || a.weak.expired(); }),
                    attached_.end());
    if (connected_ && attached_.empty()) {
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        uint64_t epoch = linkEpoch_;
        link_.Post([weak, epoch] {
            auto self = weak.lock();
            if (!self) return;
            {
                std::lock_guard<std::mutex> l(self->mutex_);
                if (self->linkEpoch_ != epoch || !self->attached_.empty()) return;
            }
            self->Disconnect();
        });
    }
}

void AmplifierCore::Disconnect() {
    std::vector<std::weak_ptr<SimDevice>> devices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return;
        connected_ = false;
        ++linkEpoch_;
        cccd_.clear();
        streaming_ = false;
        ++streamEpoch_;
        smpBuffer_.clear();
        if (dropTask_) link_.Cancel(dropTask_);
        dropTask_ = 0;
        devices = AttachedWeakLocked();
        attached_.clear();
    }
    events_.Post([devices] {
        for (auto& w : devices)
            if (auto d = w.lock()) d->FireStatusChanged();
    });
}

void AmplifierCore::ScheduleDropLocked() {
    if (dropTask_) link_.Cancel(dropTask_);
    dropTask_ = 0;
    Milliseconds after = dropEvery_;
    if (!dropOnceDone_ && config_.dropOnce.count() > 0 && connected_) {
        dropOnceDone_ = true;
        after = config_.dropOnce;
    }
    if (!connected_ || after.count() <= 0) return;
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    uint64_t epoch = linkEpoch_;
    const auto due = Clock::now() + after;
    dropTask_ = link_.PostAt(due, [weak, epoch, due] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->linkEpoch_ != epoch) return;
            self->dropTask_ = 0;
        }
        // Tasks run in due order, so the stream stopped at the due time even when this thread
        // ran late: the lateness tells when the drop happened on the amplifier's time line.
        const auto late = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - due);
        LogMessage(kLogDebug, "sim: '%s' drops the link as scripted (%lld us late)", self->Name().c_str(),
                   static_cast<long long>(late.count()));
        self->Disconnect();
    });
}

void AmplifierCore::DropLink() {
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    link_.Post([weak] {
        if (auto self = weak.lock()) self->Disconnect();
    });
}

void AmplifierCore::SetDropEvery(Milliseconds period) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropEvery_ = period;
    ScheduleDropLocked();
}

void AmplifierCore::RefuseConnects(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuseRemaining_ = std::max(0, n);
}

void AmplifierCore::SetInterval(Microseconds interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_ = std::max(Microseconds(0), interval);
}

// ---- read, write, CCCD ----

std::optional<Bytes> AmplifierCore::ReadValueLocked(Attr attr) {
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    switch (attr) {
    case Attr::Model: return text(config_.model);
    case Attr::Serial: return text(name_);
    case Attr::Firmware: return text(firmware_);
    case Attr::Hardware: return text(config_.hw);
    case Attr::Maker: return text(config_.maker);
    case Attr::Battery: return Bytes{battery_};
    case Attr::AmpConfig: return Wire::EncodeAmplifierRecord(AmpRecordLocked());
    default: return std::nullopt;  // not readable
    }
}

void AmplifierCore::Read(std::shared_ptr<SimDevice> device, Attr attr, AsyncOp<IGattCharacteristic::ReadResult> op) {
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    RunOperation<IGattCharacteristic::ReadResult>(kOpRead, attr, op, [weak, device, attr] {
        IGattCharacteristic::ReadResult result;
        auto self = weak.lock();
        if (!self || !self->IsAttached(device.get())) {
            result.status = GattStatus::Unreachable;
            return result;
        }
        std::lock_guard<std::mutex> lock(self->mutex_);
        auto value = self->ReadValueLocked(attr);
        if (!value) result.status = GattStatus::ProtocolError;
        else result.value = std::move(*value);
        return result;
    });
}

void AmplifierCore::Write(std::shared_ptr<SimDevice> device, Attr attr, Bytes value, WriteOption option, AsyncOp<GattStatus> op) {
    // Both kinds are accepted by the writable characteristics; an SMP write command is queued
    // by the host's stack and rides the link's packet budget.
    if (attr == Attr::Smp && option == WriteOption::WithoutResponse) return WriteSmpCommand(device, std::move(value), op);
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    RunOperation<GattStatus>(kOpWrite, attr, op, [weak, device, attr, option, value = std::move(value)] {
        auto self = weak.lock();
        if (!self || !self->IsAttached(device.get())) return GattStatus::Unreachable;
        // A write command travels in one packet; a write request may be a long write, up to
        // the longest attribute value.
        size_t limit = kMaxAttValue;
        if (option == WriteOption::WithoutResponse) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            limit = self->PacketPayloadLocked();
        }
        if (value.size() > limit) {
            LogMessage(kLogWarn, "sim: '%s' refuses a write %s response of %zu bytes (at most %zu)", self->Name().c_str(),
                       option == WriteOption::WithoutResponse ? "without" : "with", value.size(), limit);
            return GattStatus::ProtocolError;
        }
        auto now = Clock::now();
        if (attr == Attr::NusRx) self->HandleNus(value, now);
        else if (attr == Attr::Smp) self->HandleSmp(value, now);
        else return GattStatus::ProtocolError;  // write not permitted
        return GattStatus::Success;
    });
}

void AmplifierCore::WriteCccd(std::shared_ptr<SimDevice> device, Attr attr, CccdValue value, AsyncOp<GattStatus> op) {
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    RunOperation<GattStatus>(kOpCccd, attr, op, [weak, device, attr, value] {
        auto self = weak.lock();
        if (!self || !self->IsAttached(device.get())) return GattStatus::Unreachable;
        bool notifiable = attr == Attr::Battery || attr == Attr::Sample || attr == Attr::ChannelConfig ||
                          attr == Attr::PayloadConfig || attr == Attr::FilterConfig || attr == Attr::NusTx || attr == Attr::Smp;
        if (!notifiable) return GattStatus::ProtocolError;
        self->OnCccd(attr, value == CccdValue::Notify, Clock::now());
        return GattStatus::Success;
    });
}

// ---- notifications ----

size_t AmplifierCore::PacketPayloadLocked() const { return std::max(config_.mtu, kMinAttMtu) - kAttHeader; }

bool AmplifierCore::SendNotification(Attr attr, const Bytes& original, uint64_t epoch) {
    std::vector<std::weak_ptr<SimDevice>> devices;
    Bytes value = original;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_ || linkEpoch_ != epoch || !cccd_.count(attr)) return false;
        devices = AttachedWeakLocked();
        // A notification carries the first MTU - 3 bytes of the value and no more.
        const size_t packet = PacketPayloadLocked();
        if (value.size() > packet) {
            value.resize(packet);
            ++cutNotifications_;
            if (cutWarned_.insert(attr).second)
                LogMessage(kLogWarn, "sim: '%s' cuts a notification of %zu bytes to %zu (MTU %zu)", name_.c_str(),
                           original.size(), packet, config_.mtu);
        }
    }
    events_.Post([devices, attr, value = std::move(value)] {
        for (auto& w : devices)
            if (auto d = w.lock()) d->FireValueChanged(attr, value);
    });
    return true;
}

void AmplifierCore::ScheduleNotification(Clock::time_point at, Attr attr, Bytes value) {
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        epoch = linkEpoch_;
    }
    link_.PostAt(at, [weak, attr, value = std::move(value), epoch] {
        if (auto self = weak.lock()) self->SendNotification(attr, value, epoch);
    });
}

void AmplifierCore::OnCccd(Attr attr, bool on, Clock::time_point at) {
    std::vector<Bytes> records;
    Clock::time_point first;
    Microseconds step;
    bool started = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return;
        bool was = cccd_.count(attr) > 0;
        if (on) cccd_.insert(attr);
        else cccd_.erase(attr);
        step = interval_;
        first = NextEventLocked(at) + step;
        if (attr == Attr::Sample) {
            if (on && !was) {
                streaming_ = true;
                ++streamEpoch_;
                streamFrame_ = 0;
                payloadCounter_ = 0;
                tickBase_ = at;
                ticksSinceBase_ = 0;
                ScheduleNextTickLocked();
                started = true;
            } else if (!on) {
                streaming_ = false;
                ++streamEpoch_;
            }
        }
        if (on) {
            if (attr == Attr::ChannelConfig) records = RecordSequenceLocked(RecordKind::Channel);
            if (attr == Attr::PayloadConfig) records = RecordSequenceLocked(RecordKind::Payload);
            if (attr == Attr::FilterConfig) records = RecordSequenceLocked(RecordKind::Filter);
        }
    }
    if (started) {
        // As for a drop: when the stream starts on the amplifier's time line (negative: ahead).
        const auto late = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - at);
        LogMessage(kLogDebug, "sim: '%s' starts streaming (%lld us late)", Name().c_str(),
                   static_cast<long long>(late.count()));
    }
    for (size_t k = 0; k < records.size(); ++k) ScheduleNotification(first + k * step, attr, std::move(records[k]));
}

// ---- configuration records ----

SampleLayout AmplifierCore::LayoutLocked() const {
    if (config_.gen == Generation::Legacy || config_.gen == Generation::Neither) {
        SampleLayout l;
        l.channels = config_.channels;
        l.frames = config_.frames;
        l.bytesPerSample = 3;
        l.littleEndian = false;
        l.rate = config_.rate;
        l.counter = config_.counter;
        return l;
    }
    return nusLayout_;
}

SampleLayout AmplifierCore::Layout() {
    std::lock_guard<std::mutex> lock(mutex_);
    return LayoutLocked();
}

Wire::AmplifierRecord AmplifierCore::AmpRecordLocked() const {
    SampleLayout l = LayoutLocked();
    int channels = l.channels + (l.counter ? 1 : 0);
    Wire::AmplifierRecord r;
    r.samplingRate = static_cast<uint16_t>(l.rate);
    r.declaredChannelCount = static_cast<uint16_t>(channels);
    r.channelCount = static_cast<uint16_t>(channels);
    r.valuesPerPayload = static_cast<uint16_t>(channels * l.frames);
    r.payloadSize = static_cast<uint16_t>(channels * l.frames * l.bytesPerSample);
    r.filterCount = static_cast<uint16_t>(config_.filters);
    return r;
}

size_t AmplifierCore::RecordCountLocked(RecordKind kind) const {
    auto r = AmpRecordLocked();
    switch (kind) {
    case RecordKind::Channel: return r.channelCount;
    case RecordKind::Payload: return r.valuesPerPayload;
    case RecordKind::Filter: return r.filterCount;
    }
    return 0;
}

Bytes AmplifierCore::NaturalRecordLocked(RecordKind kind, size_t index) const {
    SampleLayout l = LayoutLocked();
    size_t perFrame = static_cast<size_t>(l.channels) + (l.counter ? 1 : 0);
    switch (kind) {
    case RecordKind::Channel: {
        uint16_t id = static_cast<uint16_t>(index + 1);
        bool counter = l.counter && index == static_cast<size_t>(l.channels);
        return Wire::EncodeChannelRecord(id, counter ? kChannelTypeCounter : kChannelTypeSignal, static_cast<uint8_t>(index),
                                         counter ? 1.0f : kSignalScale);
    }
    case RecordKind::Payload:
        return Wire::EncodePayloadRecord(static_cast<uint16_t>(index % perFrame + 1), static_cast<uint16_t>(index / perFrame));
    case RecordKind::Filter: {
        // key, then type (1 high-pass, 2 low-pass, 3 notch), order, cut-off in 0.01 Hz, rest zero
        static const uint32_t cutoffs[] = {10, 10000, 5000};
        uint8_t rest[14] = {};
        rest[0] = static_cast<uint8_t>(index % 3 + 1);
        rest[1] = 2;
        uint32_t c = cutoffs[index % 3];
        for (int i = 0; i < 4; ++i) rest[2 + i] = static_cast<uint8_t>(c >> (8 * i));
        return Wire::EncodeFilterRecord(static_cast<uint16_t>(index + 1), rest);
    }
    }
    return {};
}

Bytes AmplifierCore::NaturalRecord(RecordKind kind, size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return NaturalRecordLocked(kind, index);
}

Bytes AmplifierCore::AmplifierConfigurationRecord() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Wire::EncodeAmplifierRecord(AmpRecordLocked());
}

std::vector<Bytes> AmplifierCore::RecordSequenceLocked(RecordKind kind) const {
    std::vector<Bytes> out;
    auto it = recordScripts_.find(kind);
    if (it == recordScripts_.end()) {
        size_t n = RecordCountLocked(kind);
        for (size_t i = 0; i < n; ++i) out.push_back(NaturalRecordLocked(kind, i));
        return out;
    }
    for (auto& item : it->second) {
        if (item.raw) {
            out.push_back(*item.raw);
            continue;
        }
        Bytes b = NaturalRecordLocked(kind, item.index);
        if (item.length && *item.length < b.size()) b.resize(*item.length);
        out.push_back(std::move(b));
    }
    return out;
}

void AmplifierCore::SetConfigRecordScript(RecordKind kind, std::vector<ScriptedRecord> records) {
    std::lock_guard<std::mutex> lock(mutex_);
    recordScripts_[kind] = std::move(records);
}

void AmplifierCore::ClearConfigRecordScripts() {
    std::lock_guard<std::mutex> lock(mutex_);
    recordScripts_.clear();
}

// ---- samples ----

namespace {
// A sine of its own frequency per channel plus a little seeded noise, in raw units.
int32_t SignalModel(uint64_t seed, int rate, int channel, uint64_t frame, int bytesPerSample) {
    double t = static_cast<double>(frame) / (rate > 0 ? rate : 1);
    double frequency = 2.0 + 1.5 * channel;
    double amplitude = 20000.0 + 5000.0 * (channel % 16);
    uint64_t h = (seed * 0x9E3779B97F4A7C15ull) ^ (static_cast<uint64_t>(channel) << 48) ^ frame;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    int64_t noise = static_cast<int64_t>(h % 201) - 100;
    int64_t v = std::llround(amplitude * std::sin(2.0 * M_PI * frequency * t)) + noise;
    int64_t limit = bytesPerSample == 3 ? 0x7FFFFF : 0x7FFFFFFF;
    return static_cast<int32_t>(std::clamp<int64_t>(v, -limit - 1, limit));
}
}  // namespace

int32_t AmplifierCore::SignalValue(int channel, uint64_t frame, int bytesPerSample) {
    std::lock_guard<std::mutex> lock(mutex_);
    return SignalModel(config_.seed, LayoutLocked().rate, channel, frame, bytesPerSample);
}

Bytes AmplifierCore::BuildPayloadLocked(const SampleLayout& l, uint64_t firstFrame, uint32_t counter) const {
    Bytes out;
    for (int f = 0; f < l.frames; ++f) {
        for (int c = 0; c < l.channels; ++c)
            Wire::AppendSample(out, SignalModel(config_.seed, l.rate, c, firstFrame + static_cast<uint64_t>(f), l.bytesPerSample),
                               l.bytesPerSample, l.littleEndian);
        if (l.counter) Wire::AppendSample(out, static_cast<int32_t>(counter), 3, false);
    }
    return out;
}

void AmplifierCore::ScheduleNextTickLocked() {
    SampleLayout l = LayoutLocked();
    double period = static_cast<double>(std::max(1, l.frames)) / std::max(1, l.rate);
    auto due = tickBase_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period * static_cast<double>(ticksSinceBase_ + 1)));
    due = NextEventLocked(due);
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    uint64_t epoch = streamEpoch_;
    link_.PostAt(due, [weak, epoch] {
        if (auto self = weak.lock()) self->StreamTick(epoch);
    });
}

void AmplifierCore::StreamTick(uint64_t epoch) {
    Bytes payload;
    uint64_t linkEpoch;
    bool drop = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (epoch != streamEpoch_ || !streaming_ || !connected_) return;
        if (samplesHeld_) {
            // The stream keeps its pace and sends nothing.
            ++ticksSinceBase_;
            ScheduleNextTickLocked();
            return;
        }
        SampleLayout l = LayoutLocked();
        ++payloadCounter_;
        payload = BuildPayloadLocked(l, streamFrame_, payloadCounter_);
        streamFrame_ += static_cast<uint64_t>(l.frames);
        ++ticksSinceBase_;
        ++sampleNotifications_;
        if (dropNotifyEvery_ > 0 && sampleNotifications_ % static_cast<uint64_t>(dropNotifyEvery_) == 0) drop = true;
        if (!drop && corruptNext_ > 0) {
            --corruptNext_;
            for (size_t i = 0; i < payload.size(); i += 3) payload[i] ^= 0xA5;
        }
        if (!drop && shortenNext_ > 0 && !payload.empty()) {
            --shortenNext_;
            payload.pop_back();
        }
        if (drop) ++dropped_;
        linkEpoch = linkEpoch_;
        ScheduleNextTickLocked();
    }
    if (!drop && SendNotification(Attr::Sample, payload, linkEpoch)) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++sent_;
    }
}

void AmplifierCore::DropNotifyEvery(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropNotifyEvery_ = std::max(0, n);
}

uint32_t AmplifierCore::HoldSamples() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        samplesHeld_ = true;
    }
    // Through the link thread, so that a stream tick under way has sent its payload, then
    // through the event thread, so that every notification sent before has been handed over.
    auto handedOver = std::make_shared<std::promise<void>>();
    std::future<void> done = handedOver->get_future();
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    link_.Post([weak, handedOver] {
        if (auto self = weak.lock()) self->events_.Post([handedOver] { handedOver->set_value(); });
    });
    // A stopped amplifier drops the tasks (and with them the promise): nothing is in flight then.
    done.wait_for(std::chrono::seconds(10));
    std::lock_guard<std::mutex> lock(mutex_);
    return payloadCounter_;
}

void AmplifierCore::ReleaseSamples() {
    std::lock_guard<std::mutex> lock(mutex_);
    samplesHeld_ = false;
}

void AmplifierCore::CorruptNextPayloads(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    corruptNext_ = std::max(0, n);
}

void AmplifierCore::ShortenNextPayloads(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    shortenNext_ = std::max(0, n);
}

// ---- battery ----

void AmplifierCore::BatteryTick() {
    uint64_t epoch;
    uint8_t level;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_) return;
        if (battery_ > 1) --battery_;
        level = battery_;
        epoch = linkEpoch_;
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        link_.PostAfter(config_.batteryEvery, [weak] {
            if (auto self = weak.lock()) self->BatteryTick();
        });
    }
    SendNotification(Attr::Battery, Bytes{level}, epoch);
}

void AmplifierCore::SetBattery(uint8_t percent) {
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        battery_ = std::min<uint8_t>(percent, 100);
        epoch = linkEpoch_;
        percent = battery_;
    }
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    link_.Post([weak, percent, epoch] {
        if (auto self = weak.lock()) self->SendNotification(Attr::Battery, Bytes{percent}, epoch);
    });
}

// ---- advertising and identity knobs ----

void AmplifierCore::SetAdvertising(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    advertising_ = on;
}

void AmplifierCore::SetConnectable(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    connectable_ = on;
}

void AmplifierCore::SetAdvertisedName(std::string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::move(name);
}

void AmplifierCore::SetAddress(uint64_t address) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        address_ = address & 0xFFFFFFFFFFFFull;
    }
    DropLink();
}

// ---- NUS ----

void AmplifierCore::HandleNus(const Bytes& value, Clock::time_point at) {
    Bytes response;
    NusResponseScript script;
    script.requests = 0;
    Clock::time_point first;
    Microseconds step;
    size_t packet = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++nusRequests_;
        auto request = Wire::ParseRequestFrame(value);
        if (!request) {
            LogMessage(kLogDebug, "sim: '%s' ignores a malformed NUS frame of %zu bytes", name_.c_str(), value.size());
            return;
        }
        uint8_t status = 0;
        Bytes payload;
        switch (request->command) {
        case kNusEcho: payload = request->payload; break;
        case kNusAnswer: payload = {0x2A}; break;
        case kNusLayout: {
            const Bytes& p = request->payload;
            bool ok = p.size() == 7;
            SampleLayout l;
            if (ok) {
                l.channels = p[0];
                l.frames = (p[1] << 8) | p[2];
                l.bytesPerSample = p[3];
                l.littleEndian = p[4] != 0;
                l.rate = (p[5] << 8) | p[6];
                ok = l.channels >= 1 && l.frames >= 1 && (l.bytesPerSample == 3 || l.bytesPerSample == 4) && p[4] <= 1 && l.rate >= 1 &&
                     static_cast<size_t>(l.channels) * static_cast<size_t>(l.frames) * static_cast<size_t>(l.bytesPerSample) <=
                         PacketPayloadLocked();  // a payload goes out in one notification
            }
            if (ok) {
                nusLayout_ = l;
                tickBase_ = at;  // the stream goes on at the new rate from here
                ticksSinceBase_ = 0;
                if (streaming_) {
                    ++streamEpoch_;
                    ScheduleNextTickLocked();
                }
            } else {
                status = 1;
            }
            break;
        }
        default: status = 0xFF; break;
        }
        response = Wire::BuildResponseFrame(request->command, status, payload);
        if (!nusScripts_.empty()) {
            script = nusScripts_.front();
            if (--nusScripts_.front().requests <= 0) nusScripts_.pop_front();
        }
        step = interval_;
        first = NextEventLocked(at) + step;
        packet = PacketPayloadLocked();
    }
    if (script.never) return;
    if (script.badCrc) response.back() ^= 0xFF;
    response.insert(response.end(), script.trailing.begin(), script.trailing.end());
    // TX notifications leave in order, one per connection event: an answer longer than one
    // packet goes out in pieces, and the next answer starts after the last of them.
    std::vector<std::pair<Clock::time_point, Bytes>> out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto when = std::max(first, nusTxFree_);
        if (script.unsolicited) {
            out.emplace_back(when, *script.unsolicited);
            when += step;
        }
        when += script.delay;
        for (size_t offset = 0; offset < response.size(); offset += packet, when += step) {
            const size_t n = std::min(packet, response.size() - offset);
            out.emplace_back(when, Bytes(response.begin() + static_cast<std::ptrdiff_t>(offset),
                                         response.begin() + static_cast<std::ptrdiff_t>(offset + n)));
        }
        nusTxFree_ = when;
    }
    for (auto& [when, bytes] : out) ScheduleNotification(when, Attr::NusTx, std::move(bytes));
}

void AmplifierCore::ScriptNusResponse(NusResponseScript script) {
    if (script.requests <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    nusScripts_.push_back(std::move(script));
}

void AmplifierCore::SendNusUnsolicited(Bytes value) {
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        epoch = linkEpoch_;
    }
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    link_.Post([weak, value = std::move(value), epoch] {
        if (auto self = weak.lock()) self->SendNotification(Attr::NusTx, value, epoch);
    });
}

// ---- SMP ----

Clock::time_point AmplifierCore::ReserveAirLocked(Clock::time_point earliest, size_t bytes) {
    if (!connected_ || interval_.count() <= 0) return earliest;
    constexpr size_t kPacketOverhead = 7;  // L2CAP and ATT headers of each packet
    const auto step = std::chrono::duration_cast<Clock::duration>(interval_);
    const size_t budget = std::max<size_t>(
        1, static_cast<size_t>(uint64_t{config_.linkKbps} * 1000 / 8 * static_cast<uint64_t>(interval_.count()) / 1000000));
    const size_t cost = bytes + kPacketOverhead;
    int64_t k = (NextEventLocked(earliest) - connStart_) / step;
    // An event always carries at least one packet, however large.
    while (airUsed_[k] != 0 && airUsed_[k] + cost > budget) ++k;
    airUsed_[k] += cost;
    const int64_t current = (Clock::now() - connStart_) / step;
    while (!airUsed_.empty() && airUsed_.begin()->first < current - 1) airUsed_.erase(airUsed_.begin());
    return connStart_ + k * step;
}

void AmplifierCore::WriteSmpCommand(std::shared_ptr<SimDevice> device, Bytes value, AsyncOp<GattStatus> op) {
    if (IsShutDown()) {
        op->Fail(PlatformError{-1, "The device is no longer available."});
        return;
    }
    size_t limit;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        limit = PacketPayloadLocked();
    }
    if (value.size() > limit) {  // a write command travels in one packet
        LogMessage(kLogWarn, "sim: '%s' refuses a write without response of %zu bytes (at most %zu)", Name().c_str(),
                   value.size(), limit);
        CompleteLater([op] { op->Complete(GattStatus::ProtocolError); });
        return;
    }
    auto fault = FaultFor(kOpWrite, Attr::Smp);
    auto token = BeginPending(op);
    if (fault.hang) return;
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    const auto accepted = Clock::now() + fault.delay;
    Clock::time_point arrival;
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A smaller packet could fit an event that a larger one before it did not: packets of
        // one direction still arrive in the order they were written.
        arrival = ReserveAirLocked(std::max(accepted, lastSmpWrite_), value.size());
        lastSmpWrite_ = arrival;
        epoch = linkEpoch_;
    }
    // Reported sent once queued; it reaches the server in the event that carries it.
    bool posted = link_.PostAt(accepted, [weak, op, token, device] {
        auto self = weak.lock();
        if (!self) return;
        if (op->Status() != AsyncStatus::Started) return self->EndPending(token);
        const GattStatus status = self->IsAttached(device.get()) ? GattStatus::Success : GattStatus::Unreachable;
        self->EndPending(token);
        self->CompleteLater([op, status] { op->Complete(status); });
    });
    if (!posted) {
        EndPending(token);
        op->Fail(PlatformError{-1, "The device is no longer available."});
        return;
    }
    link_.PostAt(arrival, [weak, device, value = std::move(value), epoch, arrival] {
        auto self = weak.lock();
        if (!self || !self->IsAttached(device.get())) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (!self->connected_ || self->linkEpoch_ != epoch) return;
        }
        self->HandleSmp(value, arrival);
    });
}

void AmplifierCore::HandleSmp(const Bytes& value, Clock::time_point at) {
    std::vector<std::pair<Clock::time_point, Bytes>> parts;
    std::optional<Clock::time_point> rebootAt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        smpBuffer_.insert(smpBuffer_.end(), value.begin(), value.end());
        // Requests are rejoined by the header's length, as the Bluetooth transport does.
        while (smpBuffer_.size() >= Wire::kSmpHeaderSize) {
            size_t total = Wire::kSmpHeaderSize + ((smpBuffer_[2] << 8) | smpBuffer_[3]);
            if (smpBuffer_.size() < total) break;
            Bytes frame(smpBuffer_.begin(), smpBuffer_.begin() + static_cast<std::ptrdiff_t>(total));
            smpBuffer_.erase(smpBuffer_.begin(), smpBuffer_.begin() + static_cast<std::ptrdiff_t>(total));
            ++smpRequests_;
            // The server holds a request in one of its buffers until it has handled it; with no
            // buffer free, or a frame larger than a buffer, the request is lost.
            while (!serverQueue_.empty() && serverQueue_.front() <= at) serverQueue_.pop_front();
            if (frame.size() > config_.smpBufSize || serverQueue_.size() >= config_.smpBufCount) {
                LogMessage(kLogDebug, "sim: '%s' SMP server has no buffer for a %zu-byte request", name_.c_str(),
                           frame.size());
                continue;
            }
            auto result = smp_.Handle(frame);
            // Flash writes take their time, one request after the other.
            auto ready = std::max(at, serverFree_) +
                         std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(
                             uint64_t{result.flashWritten} * 1000 / std::max<uint32_t>(1, config_.flashKbps)));
            if (result.erase) ready += config_.eraseTime;
            serverFree_ = ready;
            serverQueue_.push_back(ready);
            if (result.response.empty()) continue;
            // The answer leaves in a later event than the request came in, after earlier answers.
            auto t = std::max({ready, at + std::chrono::duration_cast<Clock::duration>(interval_), lastSmpNotify_});
            // Split: into smpSplit_ pieces, one per event, when asked; else into MTU-sized pieces.
            size_t piece = config_.mtu > 3 ? config_.mtu - 3 : 20;
            if (smpSplit_ > 1) piece = std::max<size_t>(1, (result.response.size() + smpSplit_ - 1) / smpSplit_);
            for (size_t off = 0; off < result.response.size(); off += piece) {
                size_t n = std::min(piece, result.response.size() - off);
                t = ReserveAirLocked(t, n);
                parts.emplace_back(t, Bytes(result.response.begin() + static_cast<std::ptrdiff_t>(off),
                                            result.response.begin() + static_cast<std::ptrdiff_t>(off + n)));
                lastSmpNotify_ = t;
                if (smpSplit_ > 1) t += interval_;
            }
            if (result.reset) rebootAt = t + config_.resetDelay;
        }
    }
    for (auto& [when, bytes] : parts) ScheduleNotification(when, Attr::Smp, std::move(bytes));
    if (rebootAt) {
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        link_.PostAt(*rebootAt, [weak] {
            if (auto self = weak.lock()) self->Reboot();
        });
    }
}

void AmplifierCore::Reboot() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        smp_.Reboot();
        ++resets_;
        rebootingUntil_ = Clock::now() + config_.bootTime;
        nusLayout_ = SampleLayout{};  // RAM state is lost
        std::string running = smp_.RunningVersion();
        firmware_ = smp_.SlotData(0) == SmpServer::SeedImage() ? config_.fw : running;
        LogMessage(kLogDebug, "sim: '%s' reboots into image %s", name_.c_str(), running.c_str());
    }
    Disconnect();
}

void AmplifierCore::SetSmpSplit(size_t parts) {
    std::lock_guard<std::mutex> lock(mutex_);
    smpSplit_ = std::max<size_t>(1, parts);
}

// ---- counters ----

AmplifierCore::Counters AmplifierCore::GetCounters() {
    std::lock_guard<std::mutex> lock(mutex_);
    Counters c;
    c.connects = connects_;
    c.refused = refused_;
    c.resets = resets_;
    c.connected = connected_;
    c.streaming = streaming_;
    c.notificationsSent = sent_;
    c.notificationsDropped = dropped_;
    c.notificationsCut = cutNotifications_;
    c.advertisements = advertisements_;
    c.nusRequests = nusRequests_;
    c.smpRequests = smpRequests_;
    c.pending = pending_.load();
    return c;
}

std::vector<ImageSlot> AmplifierCore::Images() {
    std::lock_guard<std::mutex> lock(mutex_);
    return smp_.Slots();
}

}  // namespace Mivo::BLE::Sim::Detail
