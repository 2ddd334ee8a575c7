#pragma once
// A device's configuration state: the amplifier configuration, the channel table, payload
// layout and filter table with their received counters, the battery level and the device
// information record.
//
// Threads: the record handlers (OnChannelRecord, ...) run on notification threads; the open
// sequence resets the tables, subscribes, waits (WaitFor) and unsubscribes on its own thread;
// API threads read the channel table and the device information. Tables, counters and the
// device information are guarded by the configuration mutex; records are decoded outside it
// and the condition is signalled after it is released. The battery level is atomic.
//
// Lock order: the sample stream may take this mutex while it holds its own; nothing here
// takes the stream's lock.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "mivoble/mivoble.h"
#include "protocol/configuration_records.h"
#include "protocol/protocol_handler.h"

namespace Mivo::BLE {

enum class RecordKind { Channel, Payload, Filter };

// How long the open sequence waits for each announced table.
inline constexpr std::chrono::milliseconds kConfigurationRecordTimeout{1500};

// Which device-information text a characteristic fills.
enum class DeviceInformationText { ModelNumber, SerialNumber, FirmwareRevision, HardwareRevision, ManufacturerName };

// A consistent copy of everything the sample stream derives its tables from.
struct ConfigurationSnapshot {
    AmplifierConfiguration amplifier;
    ChannelTable channels;
    PayloadLayout layout;
    FilterTable filters;
};

class ConfigurationCollector {
public:
    ConfigurationCollector() = default;
    ConfigurationCollector(const ConfigurationCollector&) = delete;
    ConfigurationCollector& operator=(const ConfigurationCollector&) = delete;

    // The device's protocol handler; set before any record handler or decode runs (at
    // construction or right after detection) and never replaced afterwards.
    void SetHandler(std::shared_ptr<IProtocolHandler> handler);
    std::shared_ptr<IProtocolHandler> Handler() const;

    // ---- amplifier configuration ----
    // Decodes the amplifier configuration value with the handler; the record is stored even
    // when a check fails (then the ApiException of the decoder propagates).
    void DecodeAmplifierConfiguration(ByteView bytes);
    AmplifierConfiguration GetAmplifierConfiguration() const;
    void SetAmplifierConfiguration(const AmplifierConfiguration& configuration);

    // Whether the open sequence collects this table: the handler reads it and the amplifier
    // configuration announces a non-zero count. Count() is that announced count.
    bool ShouldCollect(RecordKind kind) const;
    uint16_t AnnouncedCount(RecordKind kind) const;

    // ---- collection ----
    // Notification entry points, one per record characteristic. A record that does not
    // decode is dropped and not counted (the decoder's ApiException propagates so the
    // caller's notification delivery can discard it).
    void OnChannelRecord(ByteView bytes);
    void OnPayloadRecord(ByteView bytes);
    void OnFilterRecord(ByteView bytes);
    void OnRecord(RecordKind kind, ByteView bytes);

    // Empties the table of this kind and zeroes its counter.
    void Reset(RecordKind kind);
    // Waits until the counter of this kind reaches `count`, at most `timeout`. True if reached.
    bool WaitFor(RecordKind kind, uint16_t count, std::chrono::milliseconds timeout);
    uint16_t ReceivedCount(RecordKind kind) const;
    // After a failed open attempt: all three tables empty, all counters 0.
    void ClearTables();

    // One collection step of the open sequence: Reset, subscribe, wait for the announced
    // count, unsubscribe whatever the outcome, then throw ApiException code 3 ("Could not read
    // channel configuration." etc.) when the wait ran out. Does nothing when ShouldCollect
    // is false. subscribe/unsubscribe are the device's GATT operations for that record's
    // characteristic (OnRecord(kind, ...) as the notification handler).
    void Collect(RecordKind kind, const std::function<void()>& subscribe, const std::function<void()>& unsubscribe,
                 std::chrono::milliseconds timeout = kConfigurationRecordTimeout);
    static const char* CollectionFailureText(RecordKind kind);

    // ---- tables ----
    std::vector<MIVOBLE_CHANNEL_CONFIGURATION> GetChannelConfiguration() const;  // ascending id
    ConfigurationSnapshot Snapshot() const;

    // Host layout: N signal channels (type 1, scale 1.0), F frames per payload in
    // frame-major order, sampling rate R, values of `bytesPerSample` bytes. Replaces the
    // amplifier configuration, channel table and payload layout and empties the filter table.
    // The caller has checked that the sizes fit the 16-bit fields.
    void ApplyHostLayout(uint8_t channelCount, uint16_t framesPerPayload, uint16_t samplingRate,
                         uint8_t bytesPerSample);

    // ---- battery ----
    // Decodes a Battery Level value with the handler (legacy: empty value throws) and stores it.
    uint8_t DecodeBatteryLevel(ByteView bytes);
    uint8_t BatteryLevel() const { return batteryLevel_.load(std::memory_order_relaxed); }
    void SetBatteryLevel(uint8_t percent) { batteryLevel_.store(percent, std::memory_order_relaxed); }

    // ---- device information ----
    // Stores a characteristic value as text: up to its first zero byte, at most 254 characters.
    void SetDeviceInformationText(DeviceInformationText field, ByteView value);
    // End of a successful open: channelTypes from the channel table (ids 1..n, 0 for a missing
    // id, then 4 and 9), numberOfAcquiredChannels = channelCount + 2, samplingRate.
    void FinishDeviceInformation();
    void SetDeviceInformationSamplingRate(uint16_t samplingRate);
    uint16_t DeviceInformationSamplingRate() const;
    MIVOBLE_DEVICE_INFORMATION GetDeviceInformation() const;

private:
    template <typename Store>
    void Count(RecordKind kind, Store&& store);
    uint16_t& CounterOf(RecordKind kind);
    uint16_t CounterOf(RecordKind kind) const;

    std::shared_ptr<IProtocolHandler> handler_;

    mutable std::mutex mutex_;
    std::condition_variable condition_;
    AmplifierConfiguration amplifier_;
    ChannelTable channels_;
    PayloadLayout layout_;
    FilterTable filters_;
    uint16_t channelCount_ = 0;
    uint16_t payloadCount_ = 0;
    uint16_t filterCount_ = 0;
    MIVOBLE_DEVICE_INFORMATION info_{};

    std::atomic<uint8_t> batteryLevel_{100};
};

}  // namespace Mivo::BLE
