// Feeds a device's sample stream the way an open and a running stream would: a configuration
// built from the input (legacy: amplifier configuration, channel and payload records through
// the record decoders; NUS: a host layout of any size and sample format), then sample and
// battery notifications of any length and content, with the delivery mode, frames per
// callback and the layout changed in between. Checks every delivered row: its width, the
// battery and valid columns, the batch size, that every counter cell is a wrapped frame number
// (or the 0 of a frame the layout gives no counter), and that rows filled in for lost samples
// count on by one from the row before, which nothing between them may take away: rows waiting
// in a batch are delivered, never dropped, when the callback or the layout changes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/api_exception.h"
#include "protocol/configuration_collector.h"
#include "protocol/sample_stream.h"

#include "fuzz_check.h"

using namespace Mivo::BLE;

namespace {

// What the checks expect of the rows being delivered.
struct Expectation {
    uint32_t width = 0;
    int32_t counterColumn = -1;            // the column the gap fill counts in, -1 when none
    bool wholeCounter = true;              // its channel's scale is a whole number, and so is every frame number
    std::vector<uint32_t> counterColumns;  // every column of a counter channel
    uint32_t framesPerCallback = kDefaultFramesPerCallback;
    std::array<bool, 256> batteries{};  // every level a row may carry (the start level is 100)
    bool havePrevious = false;
    std::vector<float> previous;
    uint64_t rows = 0;
    uint64_t filledRows = 0;
};
Expectation expect;

constexpr double kModulus = 16777216.0;  // frame numbers wrap at 2^24

// The counter a filled-in row must carry after `before`: exactly `before` + 1 (modulo 2^24)
// for a whole-number counter. A fractional one the library counts on from the exact number
// behind `before` and rounds once, so the two may differ by the rounding of both: one unit in
// the last place of either, taken across the wrap. A fractional `before` of 0 may be a number
// just below 2^24 that rounded up to the wrap; its unit in the last place is 1.
bool CountsOnFrom(float before, float counter) {
    const double expected = std::fmod(static_cast<double>(before) + 1.0, kModulus);
    if (expect.wholeCounter) return counter == static_cast<float>(expected);
    double difference = std::fmod(static_cast<double>(counter) - expected, kModulus);
    if (difference > kModulus / 2) difference -= kModulus;
    if (difference < -kModulus / 2) difference += kModulus;
    const auto ulp = [](float v) { return static_cast<double>(std::nextafter(std::fabs(v), INFINITY) - std::fabs(v)); };
    return std::fabs(difference) <= std::max(before == 0.0f ? 1.0 : ulp(before), ulp(counter));
}

void CheckRow(const float* row, uint32_t width) {
    Check(width == expect.width && width >= 3);
    const float valid = row[width - 1];
    Check(valid == 0.0f || valid == 1.0f);
    for (uint32_t j : expect.counterColumns) {
        const float counter = row[j];
        Check(std::isnan(counter) || (counter >= 0.0f && counter < static_cast<float>(kModulus)));
    }
    const float battery = row[width - 2];
    if (valid == 1.0f) {
        Check(battery >= 0.0f && battery <= 255.0f && expect.batteries[static_cast<size_t>(battery)]);
    } else {
        // A filled-in row: only a stream with a counter column makes them. It is a copy of the
        // row before (the zero row before the first payload, so battery 0 there) counting on by one.
        Check(expect.counterColumn >= 0);
        ++expect.filledRows;
        if (expect.havePrevious) {
            const auto d = static_cast<uint32_t>(expect.counterColumn);
            for (uint32_t j = 0; j + 1 < width; ++j) {
                if (j != d) Check(std::memcmp(&row[j], &expect.previous[j], sizeof(float)) == 0);
            }
            Check(CountsOnFrom(expect.previous[d], row[d]));
        } else {
            Check(battery == 0.0f ||
                  (battery > 0.0f && battery <= 255.0f && expect.batteries[static_cast<size_t>(battery)]));
        }
    }
    expect.previous.assign(row, row + width);
    expect.havePrevious = true;
    ++expect.rows;
}

void OnRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
    Check(handle == 1);
    CheckRow(row, width);
}

void OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width) {
    Check(handle == 1);
    Check(count >= 1 && count <= expect.framesPerCallback);
    for (uint32_t k = 0; k < count; ++k) CheckRow(rows + size_t{k} * width, width);
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// An amplifier configuration record: mostly self-consistent, sometimes raw bytes.
std::vector<uint8_t> AmplifierRecord(FuzzedDataProvider& input) {
    if (input.ConsumeIntegralInRange<uint8_t>(0, 7) == 0) return input.ConsumeBytes<uint8_t>(16);
    const uint16_t channels = input.ConsumeIntegralInRange<uint16_t>(1, kMaxSignalChannels);
    const uint16_t values = input.ConsumeIntegralInRange<uint16_t>(1, 600);
    const bool rawSize = input.ConsumeIntegralInRange<uint8_t>(0, 15) == 0;
    const uint16_t payloadSize = rawSize ? input.ConsumeIntegral<uint16_t>() : static_cast<uint16_t>(values * 3);
    // The rate bounds the rows a gap may fill in: mostly a few typical ones, so that a run
    // is not spent filling 65535-row gaps.
    const uint16_t rates[] = {0, 250, 1000, input.ConsumeIntegral<uint16_t>()};
    const uint16_t rate = rates[input.ConsumeIntegralInRange<size_t>(0, 3)];
    std::vector<uint8_t> out;
    Put16(out, rate);
    Put16(out, channels);
    for (int i = 0; i < 4; ++i) out.push_back(0);
    Put16(out, payloadSize);
    Put16(out, channels);
    Put16(out, values);
    Put16(out, input.ConsumeIntegralInRange<uint16_t>(0, 3));
    return out;
}

std::vector<uint8_t> ChannelRecordBytes(FuzzedDataProvider& input, uint16_t id) {
    if (input.ConsumeIntegralInRange<uint8_t>(0, 15) == 0) return input.ConsumeBytes<uint8_t>(kChannelRecordSize);
    std::vector<uint8_t> out;
    Put16(out, id);
    const uint8_t types[] = {kChannelTypeSignal, kChannelTypeCounter, kChannelTypeSignal,
                             input.ConsumeIntegral<uint8_t>()};
    out.push_back(types[input.ConsumeIntegralInRange<size_t>(0, 3)]);
    out.push_back(static_cast<uint8_t>(id));
    const float scales[] = {1.0f, 0.5f, 1e-3f, input.ConsumeFloatingPoint<float>()};
    const float scale = scales[input.ConsumeIntegralInRange<size_t>(0, 3)];
    const auto* bytes = reinterpret_cast<const uint8_t*>(&scale);
    out.insert(out.end(), bytes, bytes + 4);
    return out;
}

std::vector<uint8_t> PayloadRecordBytes(FuzzedDataProvider& input, uint16_t channels, uint16_t index) {
    if (input.ConsumeIntegralInRange<uint8_t>(0, 15) == 0) return input.ConsumeBytes<uint8_t>(kPayloadRecordSize);
    std::vector<uint8_t> out;
    Put16(out, input.ConsumeBool() ? static_cast<uint16_t>(index % channels + 1)
                                   : input.ConsumeIntegralInRange<uint16_t>(0, static_cast<uint16_t>(channels + 1)));
    Put16(out, input.ConsumeBool() ? static_cast<uint16_t>(index / channels)
                                   : input.ConsumeIntegralInRange<uint16_t>(0, 80));
    return out;
}

// Legacy open: the records through the decoders, as the open sequence collects them.
bool OpenLegacy(FuzzedDataProvider& input, ConfigurationCollector& collector) {
    try {
        collector.DecodeAmplifierConfiguration(AmplifierRecord(input));
    } catch (const ApiException&) {
        return false;  // the open fails
    }
    const AmplifierConfiguration amplifier = collector.GetAmplifierConfiguration();
    const uint16_t channelRecords =
        input.ConsumeBool() ? amplifier.channelCount : input.ConsumeIntegralInRange<uint16_t>(0, 70);
    for (uint16_t i = 0; i < channelRecords; ++i) {
        try {
            collector.OnChannelRecord(ChannelRecordBytes(input, static_cast<uint16_t>(i + 1)));
        } catch (const ApiException&) {
        }
    }
    const uint16_t payloadRecords =
        input.ConsumeBool() ? amplifier.valuesPerPayload : input.ConsumeIntegralInRange<uint16_t>(0, 700);
    for (uint16_t i = 0; i < payloadRecords; ++i) {
        try {
            collector.OnPayloadRecord(PayloadRecordBytes(input, amplifier.channelCount, i));
        } catch (const ApiException&) {
        }
    }
    // The open fails unless every announced record arrived (more may have).
    return collector.ReceivedCount(RecordKind::Channel) >= amplifier.channelCount &&
           collector.ReceivedCount(RecordKind::Payload) >= amplifier.valuesPerPayload;
}

// The columns of counter channels, and the one the gap fill uses: the last of them that the
// payload layout carries.
void ExpectCounterColumns(const ConfigurationCollector& collector) {
    const ConfigurationSnapshot snapshot = collector.Snapshot();
    expect.counterColumns.clear();
    expect.counterColumn = -1;
    for (const auto& [id, record] : snapshot.channels) {
        if (id < 1 || id > snapshot.amplifier.channelCount || record.type != kChannelTypeCounter) continue;
        expect.counterColumns.push_back(id - 1u);
        const bool carried = std::any_of(snapshot.layout.begin(), snapshot.layout.end(),
                                         [id = id](const PayloadRecord& r) { return r.channelId == id; });
        if (!carried) continue;
        expect.counterColumn = id - 1;
        expect.wholeCounter = std::isfinite(record.scale) && std::nearbyint(record.scale) == record.scale;
    }
}

void ExpectTables(SampleStream& stream, const ConfigurationCollector& collector) {
    expect.width = stream.RowWidth();
    Check(expect.width == collector.GetAmplifierConfiguration().channelCount + 2u);
    ExpectCounterColumns(collector);
    expect.havePrevious = false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    expect = Expectation{};
    expect.batteries[100] = true;

    const bool legacy = input.ConsumeBool();
    ConfigurationCollector collector;
    collector.SetHandler(legacy ? std::shared_ptr<IProtocolHandler>(std::make_shared<MivoLegacyProtocolHandler>())
                                : std::make_shared<MivoNusProtocolHandler>());
    StreamDiagnostics diagnostics(false, nullptr);
    SampleStream stream(
        collector, [] { return MIVOBLE_HANDLE{1}; }, {}, diagnostics);

    if (legacy) {
        if (!OpenLegacy(input, collector)) return 0;
    } else {
        stream.ApplyDefaultHostLayout();
    }
    stream.BuildTables();
    ExpectTables(stream, collector);
    stream.SetDataAvailableCallback(OnRow);

    uint64_t rowLimit = 0;  // most rows the payloads so far may produce, filled-in rows included
    while (input.remaining_bytes() > 0) {
        const uint8_t what = input.ConsumeIntegral<uint8_t>();
        if (what < 200) {
            // A sample notification: usually of the configured size.
            const size_t expected = collector.GetAmplifierConfiguration().payloadSize;
            const size_t length = what < 180 ? expected : input.ConsumeIntegralInRange<size_t>(0, expected + 8);
            const std::vector<uint8_t> payload = input.ConsumeBytes<uint8_t>(length);
            const uint16_t rate = collector.GetAmplifierConfiguration().samplingRate;
            rowLimit += stream.FramesPerPayload() + (rate != 0 ? rate : static_cast<uint64_t>(kGapLimitWithoutRate));
            stream.OnSamplePayload(payload.data(), payload.size());
            Check(expect.rows <= rowLimit);
        } else if (what < 210) {
            const std::vector<uint8_t> value = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 2));
            stream.OnBatteryNotification(value.data(), value.size());
            expect.batteries[collector.BatteryLevel()] = true;
        } else if (what < 220) {
            const uint32_t frames = input.ConsumeIntegralInRange<uint32_t>(0, 70);
            try {
                stream.SetFramesPerCallback(frames);
                Check(frames >= kMinFramesPerCallback && frames <= kMaxFramesPerCallback);
                // A batch begun under the old setting may still complete at its old size.
                expect.framesPerCallback = std::max(expect.framesPerCallback, frames);
            } catch (const ApiException& e) {
                Check(e.Code() == MIVOBLE_ERROR_INVALID_ARGUMENT);
            }
        } else if (what < 230) {
            // A partly filled batch goes to the old callback: the rows go on from the same row.
            if (input.ConsumeBool()) {
                stream.SetDataAvailableBatchedCallback(OnRows);
            } else {
                stream.SetDataAvailableCallback(OnRow);
            }
        } else if (what < 240) {
            const uint8_t channels = input.ConsumeIntegralInRange<uint8_t>(0, 70);
            const uint16_t frames = input.ConsumeIntegralInRange<uint16_t>(0, 80);
            const uint8_t width = input.ConsumeIntegralInRange<uint8_t>(2, 5);
            const bool littleEndian = input.ConsumeBool();
            const uint16_t rate = input.ConsumeIntegral<uint16_t>();
            if (stream.SetActiveLayout(channels, frames, width, littleEndian, rate) == 0) {
                Check(channels >= 1 && frames >= 1 && (width == 3 || width == 4));
                ExpectTables(stream, collector);
                Check(stream.FramesPerPayload() == frames);
            }
        } else if (what < 245) {
            if (stream.SetChannelCount(input.ConsumeIntegralInRange<uint8_t>(0, 70)) == 0)
                ExpectTables(stream, collector);
        } else if (what < 250) {
            // A lost link: the waiting rows go out; then, maybe, the reconnection rebuilds the
            // tables (zero rows again).
            stream.DeliverWaitingRows();
            if (input.ConsumeBool()) {
                stream.FreeTables();
                stream.BuildTables();
                ExpectTables(stream, collector);
            }
        } else {
            // The rows waiting go out; the payloads after it reach no callback.
            stream.SetDataAvailableCallback(nullptr);
            expect.havePrevious = false;
        }
    }
    stream.FreeTables();
    return 0;
}
