#pragma once
// The amplifier's self-description records and the tables built from them. Wire fields are
// little-endian; a record is decoded from its first bytes and longer values are accepted.
#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "mivoble/mivoble.h"

namespace Mivo::BLE {

// Read from the amplifier configuration characteristic (16 bytes on the wire).
struct AmplifierConfiguration {
    uint16_t samplingRate = 0;
    uint16_t declaredChannelCount = 0;  // must equal channelCount
    std::array<uint8_t, 4> reserved{};  // not interpreted
    uint16_t payloadSize = 0;           // exact byte length of every sample notification
    uint16_t channelCount = 0;          // signal channels, 1..62
    uint16_t valuesPerPayload = 0;      // sample values per notification, >= 1
    uint16_t filterCount = 0;           // filter records to collect, may be 0
};

// One channel record (8 bytes on the wire, same layout as the public entry).
using ChannelRecord = MIVOBLE_CHANNEL_CONFIGURATION;

// One payload record (4 bytes): sample value i of every notification belongs to this channel and frame.
struct PayloadRecord {
    uint16_t channelId = 0;
    uint16_t frameIndex = 0;
    friend bool operator==(const PayloadRecord&, const PayloadRecord&) = default;
};

// One filter record (16 bytes): a key and 14 uninterpreted bytes, kept as received.
struct FilterRecord {
    uint16_t key = 0;
    std::array<uint8_t, 14> data{};
};

using ChannelTable = std::map<uint16_t, ChannelRecord>;  // by channel id
using PayloadLayout = std::vector<PayloadRecord>;        // in arrival order
using FilterTable = std::map<uint16_t, FilterRecord>;    // by key

// Wire sizes (minimum lengths of the received values).
inline constexpr size_t kAmplifierConfigurationSize = 16;
inline constexpr size_t kChannelRecordSize = 8;
inline constexpr size_t kPayloadRecordSize = 4;
inline constexpr size_t kFilterRecordSize = 16;

// Largest channel count: the row carries channelCount + 2 columns, at most 64.
inline constexpr uint16_t kMaxSignalChannels = 62;

// Channel type codes.
inline constexpr uint8_t kChannelTypeSignal = 1;    // every channel of a host-set layout
inline constexpr uint8_t kChannelTypeBattery = 4;   // the battery column of a row
inline constexpr uint8_t kChannelTypeCounter = 5;   // sample counter channel
inline constexpr uint8_t kChannelTypeValidity = 9;  // the valid-flag column of a row

}  // namespace Mivo::BLE
