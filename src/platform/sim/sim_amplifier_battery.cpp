// A virtual amplifier's device information and battery: readable values, battery drain and notifications.
#include "platform/sim/sim_amplifier.h"

#include <algorithm>

namespace Mivo::BLE::Sim::Detail {

using namespace Platform;

// ---- device information ----

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
}  // namespace Mivo::BLE::Sim::Detail
