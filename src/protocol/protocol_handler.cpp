#include "protocol/protocol_handler.h"

#include <algorithm>
#include <cstring>

#include "core/api_exception.h"
#include "mivoble/mivoble.h"
#include "protocol/uuid_text.h"

namespace Mivo::BLE {
namespace {

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

float ReadLeFloat(const uint8_t* p) {
    uint32_t bits = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                    (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

[[noreturn]] void Fail(const char* text, int32_t code = MIVOBLE_ERROR_DEVICE) { throw ApiException(text, code); }

bool ListHolds(const std::vector<std::string>& list, std::string_view uuid) {
    return std::any_of(list.begin(), list.end(), [&](const std::string& s) { return UuidTextEquals(s, uuid); });
}

// 24-bit two's complement, most significant byte first.
inline int32_t ReadBe24(const uint8_t* p) {
    uint32_t raw = (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
    return static_cast<int32_t>(raw << 8) >> 8;
}

}  // namespace

// ---- legacy ------------------------------------------------------------------------------

UuidTable MivoLegacyProtocolHandler::GetUuidTable() const {
    using namespace ProtocolUuids;
    return {std::string(kDataService),
            std::string(kSampleCharacteristic),
            {},
            {},
            {},
            std::string(kAmplifierConfiguration),
            std::string(kChannelConfiguration),
            std::string(kPayloadConfiguration),
            std::string(kFilterConfiguration)};
}

bool MivoLegacyProtocolHandler::MatchesServices(const std::vector<std::string>& serviceUuids) const {
    return ListHolds(serviceUuids, ProtocolUuids::kDataService);
}

void MivoLegacyProtocolHandler::DecodeAmplifierConfiguration(ByteView bytes, AmplifierConfiguration& out) const {
    if (bytes.size() < kAmplifierConfigurationSize) Fail("Truncated amplifier configuration.");
    const uint8_t* p = bytes.data();
    out.samplingRate = ReadLe16(p + 0);
    out.declaredChannelCount = ReadLe16(p + 2);
    std::copy(p + 4, p + 8, out.reserved.begin());
    out.payloadSize = ReadLe16(p + 8);
    out.channelCount = ReadLe16(p + 10);
    out.valuesPerPayload = ReadLe16(p + 12);
    out.filterCount = ReadLe16(p + 14);

    if (out.declaredChannelCount != out.channelCount) Fail("Invalid amplifier configuration.");
    if (out.valuesPerPayload == 0) Fail("Invalid payload configuration.");
    if (out.channelCount == 0) Fail("Invalid channel configuration.");
    if (out.channelCount + 2 > MIVOBLE_NUMBER_OF_CHANNELS_MAX) Fail("Amplifier reports too many channels.");
}

void MivoLegacyProtocolHandler::DecodeChannelConfiguration(ByteView bytes, ChannelRecord& out) const {
    if (bytes.size() < kChannelRecordSize) Fail("Truncated channel configuration.");
    const uint8_t* p = bytes.data();
    out.id = ReadLe16(p);
    out.type = p[2];
    out.index = p[3];
    out.scale = ReadLeFloat(p + 4);
}

void MivoLegacyProtocolHandler::DecodePayloadConfiguration(ByteView bytes, PayloadRecord& out) const {
    if (bytes.size() < kPayloadRecordSize) Fail("Truncated payload configuration.");
    out.channelId = ReadLe16(bytes.data());
    out.frameIndex = ReadLe16(bytes.data() + 2);
}

void MivoLegacyProtocolHandler::DecodeFilterConfiguration(ByteView bytes, FilterRecord& out) const {
    if (bytes.size() < kFilterRecordSize) Fail("Truncated filter configuration.");
    out.key = ReadLe16(bytes.data());
    std::copy(bytes.begin() + 2, bytes.begin() + 16, out.data.begin());
}

uint8_t MivoLegacyProtocolHandler::DecodeBatteryLevel(ByteView bytes) const {
    if (bytes.empty()) Fail("Empty battery level value.");
    return bytes[0];
}

void MivoLegacyProtocolHandler::DecodeLegacyPayload(ByteView bytes, float* values, size_t valueCount,
                                                    const AmplifierConfiguration& configuration,
                                                    const ChannelTable& channels, const FilterTable&,
                                                    const PayloadLayout& layout) const {
    if (bytes.size() != configuration.payloadSize) Fail("Invalid payload size.", MIVOBLE_ERROR_PAYLOAD);
    if (valueCount != configuration.payloadSize / 3u) Fail("Invalid buffer size.", MIVOBLE_ERROR_DEVICE);
    if (layout.size() > valueCount) Fail("Payload configuration larger than buffer.", MIVOBLE_ERROR_PAYLOAD);
    const uint8_t* p = bytes.data();
    for (size_t i = 0; i < layout.size(); ++i) {
        auto channel = channels.find(layout[i].channelId);
        if (channel == channels.end()) Fail("Payload references unknown channel id.", MIVOBLE_ERROR_PAYLOAD);
        values[i] = static_cast<float>(ReadBe24(p + 3 * i)) * channel->second.scale;
    }
}

// ---- NUS ---------------------------------------------------------------------------------

UuidTable MivoNusProtocolHandler::GetUuidTable() const {
    using namespace ProtocolUuids;
    return {std::string(kDataService),
            std::string(kSampleCharacteristic),
            std::string(kNusService),
            std::string(kNusRx),
            std::string(kNusTx),
            {},
            {},
            {},
            {}};
}

bool MivoNusProtocolHandler::MatchesServices(const std::vector<std::string>& serviceUuids) const {
    return ListHolds(serviceUuids, ProtocolUuids::kNusService);
}

void MivoNusProtocolHandler::DecodeNusPayload(ByteView bytes, float* values, size_t valueCount,
                                              const AmplifierConfiguration& configuration,
                                              const PayloadLayout& layout) const {
    const size_t width = bytesPerSample_;
    if (bytes.size() != configuration.payloadSize) Fail("Invalid payload size.", MIVOBLE_ERROR_PAYLOAD);
    if (width == 0 || valueCount != configuration.payloadSize / width)
        Fail("Invalid buffer size.", MIVOBLE_ERROR_DEVICE);
    // More records than values would read past the payload; the host layout never produces that.
    const size_t count = std::min(layout.size(), valueCount);
    const uint8_t* p = bytes.data();
    if (width == 3) {
        if (littleEndian_) {
            for (size_t i = 0; i < count; ++i, p += 3) {
                uint32_t raw = p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
                values[i] = static_cast<float>(static_cast<int32_t>(raw << 8) >> 8);
            }
        } else {
            for (size_t i = 0; i < count; ++i, p += 3) values[i] = static_cast<float>(ReadBe24(p));
        }
    } else {
        for (size_t i = 0; i < count; ++i, p += 4) {
            uint32_t raw = littleEndian_ ? (p[0] | (static_cast<uint32_t>(p[1]) << 8) |
                                            (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24))
                                         : ((static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                                            (static_cast<uint32_t>(p[2]) << 8) | p[3]);
            values[i] = static_cast<float>(static_cast<int32_t>(raw));
        }
    }
}

// ---- selection ---------------------------------------------------------------------------

std::shared_ptr<IProtocolHandler> CreateHandlerForGeneration(uint32_t generation) {
    if (generation == MIVOBLE_GENERATION_NUS) return std::make_shared<MivoNusProtocolHandler>();
    if (generation == MIVOBLE_GENERATION_LEGACY) return std::make_shared<MivoLegacyProtocolHandler>();
    return nullptr;
}

std::shared_ptr<IProtocolHandler> DetectProtocolHandler(const std::vector<Platform::Uuid>& services) {
    static const Platform::Uuid nus = ParseUuidText(ProtocolUuids::kNusService);
    static const Platform::Uuid data = ParseUuidText(ProtocolUuids::kDataService);
    auto has = [&](const Platform::Uuid& u) {
        return std::find(services.begin(), services.end(), u) != services.end();
    };
    if (has(nus)) return std::make_shared<MivoNusProtocolHandler>();
    if (has(data)) return std::make_shared<MivoLegacyProtocolHandler>();
    throw ApiException(
        "Device exposes neither the NUS nor the mivo data service; cannot auto-detect protocol generation.",
        MIVOBLE_ERROR_DEVICE);
}

}  // namespace Mivo::BLE
