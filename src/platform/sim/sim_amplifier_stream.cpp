// A virtual amplifier's legacy stream: configuration records, sample payloads and their faults.
#include "platform/sim/sim_amplifier.h"

#include <algorithm>
#include <cmath>
#include <future>

#include "log/log.h"

namespace Mivo::BLE::Sim::Detail {

using namespace Platform;

namespace {
constexpr uint8_t kChannelTypeSignal = 1, kChannelTypeCounter = 5;
// Raw-unit scale of a signal channel: microvolts per count of a 24-bit converter at gain 24.
constexpr float kSignalScale = 0.02235174f;
}  // namespace

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
            return Wire::EncodeChannelRecord(id, counter ? kChannelTypeCounter : kChannelTypeSignal,
                                             static_cast<uint8_t>(index), counter ? 1.0f : kSignalScale);
        }
        case RecordKind::Payload:
            return Wire::EncodePayloadRecord(static_cast<uint16_t>(index % perFrame + 1),
                                             static_cast<uint16_t>(index / perFrame));
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
            Wire::AppendSample(
                out, SignalModel(config_.seed, l.rate, c, firstFrame + static_cast<uint64_t>(f), l.bytesPerSample),
                l.bytesPerSample, l.littleEndian);
        if (l.counter) Wire::AppendSample(out, static_cast<int32_t>(counter), 3, false);
    }
    return out;
}

void AmplifierCore::ScheduleNextTickLocked() {
    SampleLayout l = LayoutLocked();
    double period = static_cast<double>(std::max(1, l.frames)) / std::max(1, l.rate);
    auto due = tickBase_ + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(period * static_cast<double>(ticksSinceBase_ + 1)));
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
}  // namespace Mivo::BLE::Sim::Detail
