// Feeds arbitrary values, as the amplifier would send them, to the configuration side of a
// device: the amplifier configuration, channel, payload and filter records, battery levels of
// both generations and device-information texts, in any order. Then checks what the host sees
// of them (the channel table and the device information).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/api_exception.h"
#include "protocol/configuration_collector.h"

#include "fuzz_check.h"

using namespace Mivo::BLE;

namespace {

void CheckText(const char (&text)[MIVOBLE_STRING_LENGTH_MAX]) { Check(std::memchr(text, 0, sizeof text) != nullptr); }

void CheckAmplifier(const AmplifierConfiguration& a) {
    Check(a.declaredChannelCount == a.channelCount);
    Check(a.valuesPerPayload >= 1);
    Check(a.channelCount >= 1 && a.channelCount <= kMaxSignalChannels);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    ConfigurationCollector collector;
    collector.SetHandler(std::make_shared<MivoLegacyProtocolHandler>());
    const MivoNusProtocolHandler nus;
    bool amplifierValid = false;

    while (input.remaining_bytes() > 0) {
        const uint8_t what = input.ConsumeIntegralInRange<uint8_t>(0, 6);
        const std::vector<uint8_t> value = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
        const ByteView bytes(value);
        try {
            switch (what) {
                case 0:
                    collector.DecodeAmplifierConfiguration(bytes);
                    CheckAmplifier(collector.GetAmplifierConfiguration());
                    amplifierValid = true;
                    break;
                case 1: {
                    const uint16_t before = collector.ReceivedCount(RecordKind::Channel);
                    collector.OnRecord(RecordKind::Channel, bytes);
                    Check(value.size() >= kChannelRecordSize);
                    Check(collector.ReceivedCount(RecordKind::Channel) == static_cast<uint16_t>(before + 1));
                    break;
                }
                case 2:
                    collector.OnRecord(RecordKind::Payload, bytes);
                    Check(value.size() >= kPayloadRecordSize);
                    break;
                case 3:
                    collector.OnRecord(RecordKind::Filter, bytes);
                    Check(value.size() >= kFilterRecordSize);
                    break;
                case 4: {
                    const uint8_t level = collector.DecodeBatteryLevel(bytes);
                    Check(!value.empty() && level == value[0] && collector.BatteryLevel() == level);
                    break;
                }
                case 5: Check(nus.DecodeBatteryLevel(bytes) == (value.empty() ? 0 : value[0])); break;
                default: {
                    const auto field = static_cast<DeviceInformationText>(value.empty() ? 0 : value[0] % 5);
                    collector.SetDeviceInformationText(field, bytes);
                    break;
                }
            }
        } catch (const ApiException& e) {
            Check(e.Code() == MIVOBLE_ERROR_DEVICE);
            if (what == 0) amplifierValid = false;
        }
    }

    // The channel table comes out in ascending id order, one entry per id.
    const auto channels = collector.GetChannelConfiguration();
    for (size_t i = 1; i < channels.size(); ++i) Check(channels[i - 1].id < channels[i].id);

    if (amplifierValid) {
        collector.FinishDeviceInformation();
        const MIVOBLE_DEVICE_INFORMATION info = collector.GetDeviceInformation();
        const AmplifierConfiguration amplifier = collector.GetAmplifierConfiguration();
        Check(info.numberOfAcquiredChannels == amplifier.channelCount + 2);
        Check(info.numberOfAcquiredChannels <= MIVOBLE_NUMBER_OF_CHANNELS_MAX);
        const size_t listed = std::min<size_t>(channels.size(), kMaxSignalChannels);
        Check(info.channelTypes[listed] == kChannelTypeBattery &&
              info.channelTypes[listed + 1] == kChannelTypeValidity);
        CheckText(info.modelNumber);
        CheckText(info.serialNumber);
        CheckText(info.firmwareRevision);
        CheckText(info.hardwareRevision);
        CheckText(info.manufacturerName);
    }
    return 0;
}
