#pragma once
// Everything that differs between the two amplifier generations, behind IProtocolHandler.
// A handler holds no connection state and does no Bluetooth I/O: it names the UUIDs the
// device uses, tells which configuration steps to run and decodes bytes the device received.
//
//   MivoLegacyProtocolHandler: the amplifier describes itself through four configuration
//     characteristics; samples are 24-bit big-endian values scaled per channel.
//   MivoNusProtocolHandler: the Nordic UART Service carries command frames; the host sets the
//     sample layout; samples are 3- or 4-byte integers of either byte order, unscaled.
//
// Decoders throw ApiException with the code and text the caller reports.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/uuid.h"
#include "protocol/configuration_records.h"

namespace Mivo::BLE {

// UUID texts of both generations.
namespace ProtocolUuids {
inline constexpr std::string_view kDataService = "B5211405-449F-4BA0-A651-B887924B81E8";
inline constexpr std::string_view kSampleCharacteristic = "B5211406-449F-4BA0-A651-B887924B81E8";
inline constexpr std::string_view kAmplifierConfiguration = "B5211407-449F-4BA0-A651-B887924B81E8";
inline constexpr std::string_view kPayloadConfiguration = "B5211408-449F-4BA0-A651-B887924B81E8";
inline constexpr std::string_view kChannelConfiguration = "B5211409-449F-4BA0-A651-B887924B81E8";
inline constexpr std::string_view kFilterConfiguration = "B521140A-449F-4BA0-A651-B887924B81E8";
inline constexpr std::string_view kNusService = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";
inline constexpr std::string_view kNusRx = "6E400002-B5A3-F393-E0A9-E50E24DCCA9E";
inline constexpr std::string_view kNusTx = "6E400003-B5A3-F393-E0A9-E50E24DCCA9E";
// Standard characteristics both generations use.
inline constexpr std::string_view kBatteryLevel = "2A19";
inline constexpr std::string_view kModelNumber = "2A24";
inline constexpr std::string_view kSerialNumber = "2A25";
inline constexpr std::string_view kFirmwareRevision = "2A26";
inline constexpr std::string_view kHardwareRevision = "2A27";
inline constexpr std::string_view kManufacturerName = "2A29";
}  // namespace ProtocolUuids

// The UUIDs a handler uses, in this order; an entry a generation does not use is empty.
enum UuidTableEntry : size_t {
    kUuidDataService = 0,
    kUuidSampleCharacteristic = 1,
    kUuidNusService = 2,
    kUuidNusRx = 3,
    kUuidNusTx = 4,
    kUuidAmplifierConfiguration = 5,
    kUuidChannelConfiguration = 6,
    kUuidPayloadConfiguration = 7,
    kUuidFilterConfiguration = 8,
};
using UuidTable = std::array<std::string, 9>;

using ByteView = std::span<const uint8_t>;

class IProtocolHandler {
public:
    virtual ~IProtocolHandler() = default;

    virtual std::string Name() const = 0;     // "mivo Legacy" / "mivo NUS"
    virtual std::string Version() const = 0;  // "1.0" / "2.0"
    virtual UuidTable GetUuidTable() const = 0;
    // True when the list holds the handler's service (data service or NUS service); compared
    // as UUID values, so letter case and the short form do not matter. Empty list: false.
    virtual bool MatchesServices(const std::vector<std::string>& serviceUuids) const = 0;

    // Configuration records (legacy only; the NUS handler leaves `out` untouched).
    // DecodeAmplifierConfiguration stores the record in `out` before validating it.
    virtual void DecodeAmplifierConfiguration(ByteView bytes, AmplifierConfiguration& out) const = 0;
    virtual void DecodeChannelConfiguration(ByteView bytes, ChannelRecord& out) const = 0;
    virtual void DecodePayloadConfiguration(ByteView bytes, PayloadRecord& out) const = 0;
    virtual void DecodeFilterConfiguration(ByteView bytes, FilterRecord& out) const = 0;
    // Battery Level value -> percent. Legacy: empty value throws; NUS: empty value gives 0.
    virtual uint8_t DecodeBatteryLevel(ByteView bytes) const = 0;

    // One sample notification -> `valueCount` floats in `values` (value i belongs to payload record i).
    virtual void DecodeLegacyPayload(ByteView bytes, float* values, size_t valueCount,
                                     const AmplifierConfiguration& configuration, const ChannelTable& channels,
                                     const FilterTable& filters, const PayloadLayout& layout) const = 0;
    virtual void DecodeNusPayload(ByteView bytes, float* values, size_t valueCount,
                                  const AmplifierConfiguration& configuration, const PayloadLayout& layout) const = 0;

    virtual uint8_t BytesPerSample() const = 0;

    // Capability flags, constant per class.
    virtual bool ReadsChannelConfiguration() const = 0;
    virtual bool ReadsPayloadConfiguration() const = 0;
    virtual bool ReadsFilterConfiguration() const = 0;
    virtual bool IsNusGeneration() const = 0;
};

class MivoLegacyProtocolHandler final : public IProtocolHandler {
public:
    std::string Name() const override { return "mivo Legacy"; }
    std::string Version() const override { return "1.0"; }
    UuidTable GetUuidTable() const override;
    bool MatchesServices(const std::vector<std::string>& serviceUuids) const override;

    // Minimum 16 bytes ("Truncated amplifier configuration."); then, in order: declared count
    // differs ("Invalid amplifier configuration."), no values ("Invalid payload configuration."),
    // no channels ("Invalid channel configuration."), over 62 channels ("Amplifier reports too
    // many channels."). All code 3.
    void DecodeAmplifierConfiguration(ByteView bytes, AmplifierConfiguration& out) const override;
    void DecodeChannelConfiguration(ByteView bytes, ChannelRecord& out) const override;  // >= 8 bytes
    void DecodePayloadConfiguration(ByteView bytes, PayloadRecord& out) const override;  // >= 4 bytes
    void DecodeFilterConfiguration(ByteView bytes, FilterRecord& out) const override;    // >= 16 bytes
    uint8_t DecodeBatteryLevel(ByteView bytes) const override;  // empty: "Empty battery level value." (3)

    // 24-bit big-endian two's-complement values times the channel's scale.
    void DecodeLegacyPayload(ByteView bytes, float* values, size_t valueCount,
                             const AmplifierConfiguration& configuration, const ChannelTable& channels,
                             const FilterTable& filters, const PayloadLayout& layout) const override;
    void DecodeNusPayload(ByteView, float*, size_t, const AmplifierConfiguration&,
                          const PayloadLayout&) const override {}

    uint8_t BytesPerSample() const override { return 3; }
    bool ReadsChannelConfiguration() const override { return true; }
    bool ReadsPayloadConfiguration() const override { return true; }
    bool ReadsFilterConfiguration() const override { return true; }
    bool IsNusGeneration() const override { return false; }
};

class MivoNusProtocolHandler final : public IProtocolHandler {
public:
    std::string Name() const override { return "mivo NUS"; }
    std::string Version() const override { return "2.0"; }
    UuidTable GetUuidTable() const override;
    bool MatchesServices(const std::vector<std::string>& serviceUuids) const override;

    void DecodeAmplifierConfiguration(ByteView, AmplifierConfiguration&) const override {}
    void DecodeChannelConfiguration(ByteView, ChannelRecord&) const override {}
    void DecodePayloadConfiguration(ByteView, PayloadRecord&) const override {}
    void DecodeFilterConfiguration(ByteView, FilterRecord&) const override {}
    uint8_t DecodeBatteryLevel(ByteView bytes) const override { return bytes.empty() ? 0 : bytes[0]; }

    void DecodeLegacyPayload(ByteView, float*, size_t, const AmplifierConfiguration&, const ChannelTable&,
                             const FilterTable&, const PayloadLayout&) const override {}
    // Values of BytesPerSample() bytes, big-endian unless little-endian is set, unscaled.
    void DecodeNusPayload(ByteView bytes, float* values, size_t valueCount, const AmplifierConfiguration& configuration,
                          const PayloadLayout& layout) const override;

    uint8_t BytesPerSample() const override { return bytesPerSample_; }
    bool LittleEndian() const { return littleEndian_ != 0; }
    // Set only by the layout operation, which serialises with payload decoding (stream lock).
    // The caller has checked that bytesPerSample is 3 or 4.
    void SetSampleFormat(uint8_t bytesPerSample, bool littleEndian) {
        bytesPerSample_ = bytesPerSample;
        littleEndian_ = littleEndian ? 1 : 0;
    }

    bool ReadsChannelConfiguration() const override { return false; }
    bool ReadsPayloadConfiguration() const override { return false; }
    bool ReadsFilterConfiguration() const override { return false; }
    bool IsNusGeneration() const override { return true; }

private:
    uint8_t bytesPerSample_ = 3;
    uint8_t littleEndian_ = 0;
};

// The handler a new device starts with: NUS for generation 1, legacy for 2, none (detect
// during open) for 0 or any other value.
std::shared_ptr<IProtocolHandler> CreateHandlerForGeneration(uint32_t generation);

// Detection from the discovered services: NUS service present -> NUS handler (also when the
// data service is present too); else data service present -> legacy handler; else throws
// ApiException code 3 "Device exposes neither the NUS nor the mivo data service; cannot
// auto-detect protocol generation."
std::shared_ptr<IProtocolHandler> DetectProtocolHandler(const std::vector<Platform::Uuid>& services);

}  // namespace Mivo::BLE
