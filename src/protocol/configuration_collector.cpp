#include "protocol/configuration_collector.h"

#include <algorithm>
#include <cstring>

#include "core/api_exception.h"

namespace Mivo::BLE {
namespace {

constexpr size_t kMaxTextLength = MIVOBLE_STRING_LENGTH_MAX - 1;  // 254 characters + terminator

IProtocolHandler& Require(const std::shared_ptr<IProtocolHandler>& handler) {
    if (!handler) throw ApiException("No protocol handler has been selected.", MIVOBLE_ERROR_GENERAL);
    return *handler;
}

}  // namespace

void ConfigurationCollector::SetHandler(std::shared_ptr<IProtocolHandler> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::shared_ptr<IProtocolHandler> ConfigurationCollector::Handler() const {
    std::lock_guard lock(mutex_);
    return handler_;
}

// ---- amplifier configuration -------------------------------------------------------------

void ConfigurationCollector::DecodeAmplifierConfiguration(ByteView bytes) {
    auto handler = Handler();
    AmplifierConfiguration decoded = GetAmplifierConfiguration();
    try {
        Require(handler).DecodeAmplifierConfiguration(bytes, decoded);
    } catch (...) {
        SetAmplifierConfiguration(decoded);  // the record is kept as received
        throw;
    }
    SetAmplifierConfiguration(decoded);
}

AmplifierConfiguration ConfigurationCollector::GetAmplifierConfiguration() const {
    std::lock_guard lock(mutex_);
    return amplifier_;
}

void ConfigurationCollector::SetAmplifierConfiguration(const AmplifierConfiguration& configuration) {
    std::lock_guard lock(mutex_);
    amplifier_ = configuration;
}

uint16_t ConfigurationCollector::AnnouncedCount(RecordKind kind) const {
    std::lock_guard lock(mutex_);
    switch (kind) {
        case RecordKind::Channel: return amplifier_.channelCount;
        case RecordKind::Payload: return amplifier_.valuesPerPayload;
        case RecordKind::Filter: return amplifier_.filterCount;
    }
    return 0;
}

bool ConfigurationCollector::ShouldCollect(RecordKind kind) const {
    auto handler = Handler();
    if (!handler || AnnouncedCount(kind) == 0) return false;
    switch (kind) {
        case RecordKind::Channel: return handler->ReadsChannelConfiguration();
        case RecordKind::Payload: return handler->ReadsPayloadConfiguration();
        case RecordKind::Filter: return handler->ReadsFilterConfiguration();
    }
    return false;
}

// ---- collection --------------------------------------------------------------------------

uint16_t& ConfigurationCollector::CounterOf(RecordKind kind) {
    switch (kind) {
        case RecordKind::Channel: return channelCount_;
        case RecordKind::Payload: return payloadCount_;
        case RecordKind::Filter: break;
    }
    return filterCount_;
}

uint16_t ConfigurationCollector::CounterOf(RecordKind kind) const {
    return const_cast<ConfigurationCollector*>(this)->CounterOf(kind);
}

template <typename Store>
void ConfigurationCollector::Count(RecordKind kind, Store&& store) {
    {
        std::lock_guard lock(mutex_);
        store();
        ++CounterOf(kind);
    }
    condition_.notify_all();
}

void ConfigurationCollector::OnChannelRecord(ByteView bytes) {
    ChannelRecord record{};
    Require(Handler()).DecodeChannelConfiguration(bytes, record);
    Count(RecordKind::Channel, [&] { channels_[record.id] = record; });
}

void ConfigurationCollector::OnPayloadRecord(ByteView bytes) {
    PayloadRecord record{};
    Require(Handler()).DecodePayloadConfiguration(bytes, record);
    Count(RecordKind::Payload, [&] { layout_.push_back(record); });
}

void ConfigurationCollector::OnFilterRecord(ByteView bytes) {
    FilterRecord record{};
    Require(Handler()).DecodeFilterConfiguration(bytes, record);
    Count(RecordKind::Filter, [&] { filters_[record.key] = record; });
}

void ConfigurationCollector::OnRecord(RecordKind kind, ByteView bytes) {
    switch (kind) {
        case RecordKind::Channel: return OnChannelRecord(bytes);
        case RecordKind::Payload: return OnPayloadRecord(bytes);
        case RecordKind::Filter: return OnFilterRecord(bytes);
    }
}

void ConfigurationCollector::Reset(RecordKind kind) {
    std::lock_guard lock(mutex_);
    CounterOf(kind) = 0;
    switch (kind) {
        case RecordKind::Channel: channels_.clear(); break;
        case RecordKind::Payload: layout_.clear(); break;
        case RecordKind::Filter: filters_.clear(); break;
    }
}

bool ConfigurationCollector::WaitFor(RecordKind kind, uint16_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return condition_.wait_for(lock, timeout, [&] { return CounterOf(kind) >= count; });
}

uint16_t ConfigurationCollector::ReceivedCount(RecordKind kind) const {
    std::lock_guard lock(mutex_);
    return CounterOf(kind);
}

void ConfigurationCollector::ClearTables() {
    std::lock_guard lock(mutex_);
    channels_.clear();
    layout_.clear();
    filters_.clear();
    channelCount_ = payloadCount_ = filterCount_ = 0;
}

const char* ConfigurationCollector::CollectionFailureText(RecordKind kind) {
    switch (kind) {
        case RecordKind::Channel: return "Could not read channel configuration.";
        case RecordKind::Payload: return "Could not read payload configuration.";
        case RecordKind::Filter: break;
    }
    return "Could not read filter configuration.";
}

void ConfigurationCollector::Collect(RecordKind kind, const std::function<void()>& subscribe,
                                     const std::function<void()>& unsubscribe, std::chrono::milliseconds timeout) {
    if (!ShouldCollect(kind)) return;
    const uint16_t announced = AnnouncedCount(kind);
    Reset(kind);
    subscribe();
    bool complete = false;
    try {
        complete = WaitFor(kind, announced, timeout);
    } catch (...) {
        unsubscribe();
        throw;
    }
    unsubscribe();
    if (!complete) throw ApiException(CollectionFailureText(kind), MIVOBLE_ERROR_DEVICE);
}

// ---- tables ------------------------------------------------------------------------------

std::vector<MIVOBLE_CHANNEL_CONFIGURATION> ConfigurationCollector::GetChannelConfiguration() const {
    std::lock_guard lock(mutex_);
    std::vector<MIVOBLE_CHANNEL_CONFIGURATION> result;
    result.reserve(channels_.size());
    for (const auto& [id, record] : channels_) result.push_back(record);
    return result;
}

ConfigurationSnapshot ConfigurationCollector::Snapshot() const {
    std::lock_guard lock(mutex_);
    return {amplifier_, channels_, layout_, filters_};
}

void ConfigurationCollector::ApplyHostLayout(uint8_t channelCount, uint16_t framesPerPayload, uint16_t samplingRate,
                                             uint8_t bytesPerSample) {
    const uint32_t values = uint32_t{channelCount} * framesPerPayload;
    ChannelTable channels;
    for (uint16_t k = 1; k <= channelCount; ++k) {
        channels[k] = ChannelRecord{k, kChannelTypeSignal, static_cast<uint8_t>(k), 1.0f};
    }
    PayloadLayout layout;
    layout.reserve(values);
    for (uint16_t f = 0; f < framesPerPayload; ++f) {
        for (uint16_t k = 1; k <= channelCount; ++k) layout.push_back(PayloadRecord{k, f});
    }

    std::lock_guard lock(mutex_);
    amplifier_.samplingRate = samplingRate;
    amplifier_.declaredChannelCount = channelCount;
    amplifier_.payloadSize = static_cast<uint16_t>(bytesPerSample * values);
    amplifier_.channelCount = channelCount;
    amplifier_.valuesPerPayload = static_cast<uint16_t>(values);
    amplifier_.filterCount = 0;
    channels_ = std::move(channels);
    layout_ = std::move(layout);
    filters_.clear();
}

// ---- battery -----------------------------------------------------------------------------

uint8_t ConfigurationCollector::DecodeBatteryLevel(ByteView bytes) {
    const uint8_t level = Require(Handler()).DecodeBatteryLevel(bytes);
    SetBatteryLevel(level);
    return level;
}

// ---- device information ------------------------------------------------------------------

void ConfigurationCollector::SetDeviceInformationText(DeviceInformationText field, ByteView value) {
    const auto zero = std::find(value.begin(), value.end(), uint8_t{0});
    const size_t length = std::min<size_t>(static_cast<size_t>(zero - value.begin()), kMaxTextLength);
    std::lock_guard lock(mutex_);
    char* target = nullptr;
    switch (field) {
        case DeviceInformationText::ModelNumber: target = info_.modelNumber; break;
        case DeviceInformationText::SerialNumber: target = info_.serialNumber; break;
        case DeviceInformationText::FirmwareRevision: target = info_.firmwareRevision; break;
        case DeviceInformationText::HardwareRevision: target = info_.hardwareRevision; break;
        case DeviceInformationText::ManufacturerName: target = info_.manufacturerName; break;
    }
    std::memset(target, 0, MIVOBLE_STRING_LENGTH_MAX);
    if (length != 0) std::memcpy(target, value.data(), length);
}

void ConfigurationCollector::FinishDeviceInformation() {
    std::lock_guard lock(mutex_);
    std::memset(info_.channelTypes, 0, sizeof info_.channelTypes);
    info_.samplingRate = amplifier_.samplingRate;
    info_.numberOfAcquiredChannels = static_cast<uint16_t>(amplifier_.channelCount + 2);
    const size_t n = std::min<size_t>(channels_.size(), kMaxSignalChannels);
    for (size_t i = 0; i < n; ++i) {
        auto it = channels_.find(static_cast<uint16_t>(i + 1));
        info_.channelTypes[i] = it == channels_.end() ? 0 : it->second.type;
    }
    info_.channelTypes[n] = kChannelTypeBattery;
    info_.channelTypes[n + 1] = kChannelTypeValidity;
}

void ConfigurationCollector::SetDeviceInformationSamplingRate(uint16_t samplingRate) {
    std::lock_guard lock(mutex_);
    info_.samplingRate = samplingRate;
}

uint16_t ConfigurationCollector::DeviceInformationSamplingRate() const {
    std::lock_guard lock(mutex_);
    return info_.samplingRate;
}

MIVOBLE_DEVICE_INFORMATION ConfigurationCollector::GetDeviceInformation() const {
    std::lock_guard lock(mutex_);
    return info_;
}

}  // namespace Mivo::BLE
