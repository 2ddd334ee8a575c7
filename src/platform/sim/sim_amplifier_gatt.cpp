// A virtual amplifier's GATT table: UUIDs, properties, reads, writes, CCCD writes, notifications.
#include "platform/sim/sim_amplifier.h"

#include <algorithm>
#include <cctype>

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

// ATT: the smallest MTU, the header of a notification or write command, the longest value.
constexpr size_t kMinAttMtu = 23, kAttHeader = 3, kMaxAttValue = 512;
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
    for (Attr a : {Attr::Model, Attr::Serial, Attr::Firmware, Attr::Hardware, Attr::Maker, Attr::Battery, Attr::Sample,
                   Attr::AmpConfig, Attr::ChannelConfig, Attr::PayloadConfig, Attr::FilterConfig, Attr::NusRx,
                   Attr::NusTx, Attr::Smp}) {
        if (Detail::UuidOf(a) != characteristic) continue;
        switch (a) {
            case Attr::Model:
            case Attr::Serial:
            case Attr::Firmware:
            case Attr::Hardware:
            case Attr::Maker:
            case Attr::AmpConfig: p.read = true; break;
            case Attr::Battery: p.read = p.notify = true; break;
            case Attr::Sample:
            case Attr::ChannelConfig:
            case Attr::PayloadConfig:
            case Attr::FilterConfig:
            case Attr::NusTx: p.notify = true; break;
            case Attr::NusRx: p.write = p.writeWithoutResponse = true; break;
            case Attr::Smp: p.writeWithoutResponse = p.notify = true; break;
        }
    }
    return p;
}

}  // namespace Mivo::BLE::Sim

namespace Mivo::BLE::Sim::Detail {

// ---- GATT table ----

std::vector<ServiceDef> AmplifierCore::Services() {
    std::vector<ServiceDef> services;
    services.push_back(
        {Uuids::DeviceInformation(), {Attr::Model, Attr::Serial, Attr::Firmware, Attr::Hardware, Attr::Maker}});
    services.push_back({Uuids::BatteryService(), {Attr::Battery}});
    Generation gen = config_.gen;
    if (gen == Generation::Legacy || gen == Generation::Both)
        services.push_back(
            {Uuids::DataService(),
             {Attr::Sample, Attr::AmpConfig, Attr::PayloadConfig, Attr::ChannelConfig, Attr::FilterConfig}});
    else if (gen == Generation::Nus) services.push_back({Uuids::DataService(), {Attr::Sample}});
    if (gen == Generation::Nus || gen == Generation::Both)
        services.push_back({Uuids::NusService(), {Attr::NusRx, Attr::NusTx}});
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
// ---- read, write, CCCD ----
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

void AmplifierCore::Write(std::shared_ptr<SimDevice> device, Attr attr, Bytes value, WriteOption option,
                          AsyncOp<GattStatus> op) {
    // Both kinds are accepted by the writable characteristics; an SMP write command is queued
    // by the host's stack and rides the link's packet budget.
    if (attr == Attr::Smp && option == WriteOption::WithoutResponse)
        return WriteSmpCommand(device, std::move(value), op);
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
            LogMessage(kLogWarn, "sim: '%s' refuses a write %s response of %zu bytes (at most %zu)",
                       self->Name().c_str(), option == WriteOption::WithoutResponse ? "without" : "with", value.size(),
                       limit);
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
                          attr == Attr::PayloadConfig || attr == Attr::FilterConfig || attr == Attr::NusTx ||
                          attr == Attr::Smp;
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
}  // namespace Mivo::BLE::Sim::Detail
