#include "protocol/protocol_handler.h"

#include <gtest/gtest.h>

#include "core/api_exception.h"
#include "protocol/uuid_text.h"
#include "protocol_bytes.h"

namespace Mivo::BLE {
namespace {

using Wire::Bytes;

template <typename F>
void ExpectApiError(F&& f, const std::string& text, int32_t code) {
    try {
        f();
        ADD_FAILURE() << "expected ApiException \"" << text << "\"";
    } catch (const ApiException& e) {
        EXPECT_EQ(e.what(), text);
        EXPECT_EQ(e.Code(), code);
    }
}

// ---- generation selection ----------------------------------------------------------------

TEST(GenerationSelection, DetectionPrefersNusThenDataServiceThenFails) {
    const auto nus = ParseUuidText(ProtocolUuids::kNusService);
    const auto data = ParseUuidText(ProtocolUuids::kDataService);
    const auto battery = ParseUuidText("180F");

    EXPECT_TRUE(DetectProtocolHandler({data, nus})->IsNusGeneration());
    EXPECT_TRUE(DetectProtocolHandler({battery, nus})->IsNusGeneration());
    auto legacy = DetectProtocolHandler({battery, data});
    EXPECT_FALSE(legacy->IsNusGeneration());
    EXPECT_EQ(legacy->Name(), "mivo Legacy");
    ExpectApiError([&] { DetectProtocolHandler({battery}); },
                   "Device exposes neither the NUS nor the mivo data service; cannot auto-detect protocol generation.",
                   3);
    ExpectApiError([&] { DetectProtocolHandler({}); },
                   "Device exposes neither the NUS nor the mivo data service; cannot auto-detect protocol generation.",
                   3);
}

TEST(GenerationSelection, DefaultGenerationPicksTheHandler) {
    auto nus = CreateHandlerForGeneration(MIVOBLE_GENERATION_NUS);
    ASSERT_NE(nus, nullptr);
    EXPECT_TRUE(nus->IsNusGeneration());
    EXPECT_EQ(nus->BytesPerSample(), 3);
    auto legacy = CreateHandlerForGeneration(MIVOBLE_GENERATION_LEGACY);
    ASSERT_NE(legacy, nullptr);
    EXPECT_FALSE(legacy->IsNusGeneration());
    EXPECT_EQ(CreateHandlerForGeneration(MIVOBLE_GENERATION_AUTO), nullptr);
    EXPECT_EQ(CreateHandlerForGeneration(7), nullptr);
}

// ---- handler identity and capabilities ---------------------------------------------------

TEST(ProtocolHandlers, UuidTablesListOnlyWhatEachGenerationUses) {
    const UuidTable l = MivoLegacyProtocolHandler().GetUuidTable();
    const UuidTable n = MivoNusProtocolHandler().GetUuidTable();
    for (size_t i = 0; i < l.size(); ++i) {
        const bool shared = i == kUuidDataService || i == kUuidSampleCharacteristic;
        const bool nusOnly = i >= kUuidNusService && i <= kUuidNusTx;
        EXPECT_EQ(l[i].empty(), nusOnly) << i;
        EXPECT_EQ(n[i].empty(), !shared && !nusOnly) << i;
        if (shared) {
            EXPECT_EQ(l[i], n[i]) << i;
        }
        if (!l[i].empty()) {
            EXPECT_NO_THROW(ParseUuidText(l[i])) << i;
        }
        if (!n[i].empty()) {
            EXPECT_NO_THROW(ParseUuidText(n[i])) << i;
        }
    }
    EXPECT_EQ(n[kUuidNusTx], "6E400003-B5A3-F393-E0A9-E50E24DCCA9E");
    EXPECT_EQ(l[kUuidChannelConfiguration], "B5211409-449F-4BA0-A651-B887924B81E8");
    EXPECT_EQ(l[kUuidPayloadConfiguration], "B5211408-449F-4BA0-A651-B887924B81E8");
}

TEST(ProtocolHandlers, MatchesServicesIgnoresCaseAndNeedsItsOwnService) {
    MivoLegacyProtocolHandler legacy;
    MivoNusProtocolHandler nus;
    const std::vector<std::string> lower{"0000180f-0000-1000-8000-00805f9b34fb",
                                         "b5211405-449f-4ba0-a651-b887924b81e8"};
    EXPECT_TRUE(legacy.MatchesServices(lower));
    EXPECT_FALSE(nus.MatchesServices(lower));
    EXPECT_TRUE(nus.MatchesServices({"6e400001-b5a3-f393-e0a9-e50e24dcca9e"}));
    EXPECT_FALSE(legacy.MatchesServices({}));
    EXPECT_FALSE(nus.MatchesServices({}));
    EXPECT_FALSE(legacy.MatchesServices({"not a uuid"}));
}

// ---- record decoders ---------------------------------------------------------------------

TEST(LegacyDecoders, AmplifierConfigurationFieldsAndTrailingBytes) {
    MivoLegacyProtocolHandler h;
    Bytes b = Wire::AmplifierConfigBytes(250, 9, 27, 9, 9, 2);
    b.resize(20, 0x77);  // 20 bytes: the extra four are ignored
    AmplifierConfiguration c;
    h.DecodeAmplifierConfiguration(b, c);
    EXPECT_EQ(c.samplingRate, 250);
    EXPECT_EQ(c.declaredChannelCount, 9);
    EXPECT_EQ(c.payloadSize, 27);
    EXPECT_EQ(c.channelCount, 9);
    EXPECT_EQ(c.valuesPerPayload, 9);
    EXPECT_EQ(c.filterCount, 2);

    ExpectApiError([&] { h.DecodeAmplifierConfiguration(Bytes(b.begin(), b.begin() + 15), c); },
                   "Truncated amplifier configuration.", 3);
}

TEST(LegacyDecoders, AmplifierConfigurationChecksRunInOrder) {
    MivoLegacyProtocolHandler h;
    AmplifierConfiguration c;
    h.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 62, 3, 62, 1, 0), c);
    EXPECT_EQ(c.channelCount, 62);
    ExpectApiError([&] { h.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 63, 3, 63, 1, 0), c); },
                   "Amplifier reports too many channels.", 3);
    // The payload count is tested before the channel count.
    ExpectApiError([&] { h.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 0, 3, 0, 0, 0), c); },
                   "Invalid payload configuration.", 3);
    ExpectApiError([&] { h.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 0, 3, 0, 1, 0), c); },
                   "Invalid channel configuration.", 3);
    // A declared count that differs wins over everything else.
    ExpectApiError([&] { h.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 4, 0, 8, 0, 0), c); },
                   "Invalid amplifier configuration.", 3);
    ExpectApiError([&] { h.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(0, 4, 0, 100, 0, 0), c); },
                   "Invalid amplifier configuration.", 3);
    // The record is stored before it is checked.
    EXPECT_EQ(c.channelCount, 100);
}

TEST(LegacyDecoders, RecordsAndTheirMinimumLengths) {
    MivoLegacyProtocolHandler h;
    ChannelRecord ch{};
    h.DecodeChannelConfiguration(Wire::ChannelBytes(0x0102, 5, 7, -0.25f), ch);
    EXPECT_EQ(ch.id, 0x0102);
    EXPECT_EQ(ch.type, 5);
    EXPECT_EQ(ch.index, 7);
    EXPECT_FLOAT_EQ(ch.scale, -0.25f);
    ExpectApiError([&] { h.DecodeChannelConfiguration(Bytes(7, 0), ch); }, "Truncated channel configuration.", 3);

    PayloadRecord p{};
    h.DecodePayloadConfiguration(Wire::PayloadRecordBytes(3, 0x0201), p);
    EXPECT_EQ(p, (PayloadRecord{3, 0x0201}));
    ExpectApiError([&] { h.DecodePayloadConfiguration(Bytes(3, 0), p); }, "Truncated payload configuration.", 3);

    FilterRecord f{};
    h.DecodeFilterConfiguration(Wire::FilterBytes(42, 0x5A), f);
    EXPECT_EQ(f.key, 42);
    EXPECT_EQ(f.data[13], 0x5A);
    ExpectApiError([&] { h.DecodeFilterConfiguration(Bytes(15, 0), f); }, "Truncated filter configuration.", 3);
}

TEST(BatteryDecoding, LegacyRefusesEmptyValueNusReadsZero) {
    MivoLegacyProtocolHandler legacy;
    MivoNusProtocolHandler nus;
    EXPECT_EQ(legacy.DecodeBatteryLevel(Bytes{87, 1}), 87);
    EXPECT_EQ(nus.DecodeBatteryLevel(Bytes{55}), 55);
    EXPECT_EQ(nus.DecodeBatteryLevel(Bytes{}), 0);
    ExpectApiError([&] { legacy.DecodeBatteryLevel(Bytes{}); }, "Empty battery level value.", 3);
}

// ---- payload decoders ----------------------------------------------------------------------

TEST(PayloadDecoders, SampleWidthsByteOrdersAndSigns) {
    MivoNusProtocolHandler nus;
    AmplifierConfiguration c;
    const PayloadLayout layout{{1, 0}, {1, 1}};
    float v[2] = {};

    c.payloadSize = 6;
    nus.DecodeNusPayload(Bytes{0x80, 0x00, 0x00, 0x7F, 0xFF, 0xFF}, v, 2, c, layout);
    EXPECT_EQ(v[0], -8388608.0f);
    EXPECT_EQ(v[1], 8388607.0f);

    nus.SetSampleFormat(3, true);
    nus.DecodeNusPayload(Bytes{0xFE, 0xFF, 0xFF, 0x01, 0x02, 0x03}, v, 2, c, layout);
    EXPECT_EQ(v[0], -2.0f);
    EXPECT_EQ(v[1], static_cast<float>(0x030201));

    nus.SetSampleFormat(4, true);
    c.payloadSize = 8;
    nus.DecodeNusPayload(Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80}, v, 2, c, layout);
    EXPECT_EQ(v[0], -2.0f);
    EXPECT_EQ(v[1], -2147483648.0f);

    nus.SetSampleFormat(4, false);
    nus.DecodeNusPayload(Bytes{0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x01, 0x00, 0x00}, v, 2, c, layout);
    EXPECT_EQ(v[0], -2.0f);
    EXPECT_EQ(v[1], 65536.0f);
}

PayloadLayout tooManyForNus() { return {{1, 0}, {2, 0}, {1, 1}}; }

TEST(PayloadDecoders, LengthAndBufferChecks) {
    MivoNusProtocolHandler nus;
    MivoLegacyProtocolHandler legacy;
    AmplifierConfiguration c;
    c.payloadSize = 6;
    const PayloadLayout layout{{1, 0}, {2, 0}};
    ChannelTable channels{{1, {1, 1, 1, 0.5f}}, {2, {2, 1, 2, 2.0f}}};
    float v[3] = {};

    ExpectApiError([&] { nus.DecodeNusPayload(Bytes(5, 0), v, 2, c, layout); }, "Invalid payload size.", -2);
    ExpectApiError([&] { nus.DecodeNusPayload(Bytes(6, 0), v, 3, c, layout); }, "Invalid buffer size.", 3);
    ExpectApiError([&] { legacy.DecodeLegacyPayload(Bytes(7, 0), v, 2, c, channels, {}, layout); },
                   "Invalid payload size.", -2);
    ExpectApiError([&] { legacy.DecodeLegacyPayload(Bytes(6, 0), v, 3, c, channels, {}, layout); },
                   "Invalid buffer size.", 3);
    const PayloadLayout tooMany{{1, 0}, {2, 0}, {1, 1}};
    ExpectApiError([&] { legacy.DecodeLegacyPayload(Bytes(6, 0), v, 2, c, channels, {}, tooMany); },
                   "Payload configuration larger than buffer.", -2);
    const PayloadLayout unknown{{1, 0}, {3, 0}};
    ExpectApiError([&] { legacy.DecodeLegacyPayload(Bytes(6, 0), v, 2, c, channels, {}, unknown); },
                   "Payload references unknown channel id.", -2);

    // More layout records than values: only the values present are read.
    float guard[3] = {7.0f, 7.0f, 7.0f};
    nus.DecodeNusPayload(Bytes{0, 0, 1, 0, 0, 2}, guard, 2, c, tooManyForNus());
    EXPECT_EQ(guard[1], 2.0f);
    EXPECT_EQ(guard[2], 7.0f);

    // Legacy values are scaled per channel: 00 00 02 at scale 0.5 is 1.0; trailing bytes ignored.
    c.payloadSize = 7;
    legacy.DecodeLegacyPayload(Bytes{0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFD, 0x99}, v, 2, c, channels, {}, layout);
    EXPECT_EQ(v[0], 1.0f);
    EXPECT_EQ(v[1], -6.0f);
}

}  // namespace
}  // namespace Mivo::BLE
