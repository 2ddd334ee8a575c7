#include "protocol/sample_stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "core/api_exception.h"
#include "protocol_bytes.h"
#include "support/log_file.h"

namespace Mivo::BLE {
namespace {

using Wire::Bytes;
using Row = std::vector<float>;

// ---- what the callbacks saw --------------------------------------------------------------

struct Delivery {
    MIVOBLE_HANDLE handle;
    bool batched;
    uint32_t rows;
    uint32_t width;
    std::vector<float> data;
};
std::vector<Delivery> g_deliveries;

void OnRow(MIVOBLE_HANDLE h, const float* row, uint32_t width) {
    g_deliveries.push_back({h, false, 1, width, std::vector<float>(row, row + width)});
}
void OnBatch(MIVOBLE_HANDLE h, const float* rows, uint32_t count, uint32_t width) {
    g_deliveries.push_back({h, true, count, width, std::vector<float>(rows, rows + size_t{count} * width)});
}

std::vector<Row> AllRows() {
    std::vector<Row> rows;
    for (const auto& d : g_deliveries) {
        for (uint32_t r = 0; r < d.rows; ++r)
            rows.emplace_back(d.data.begin() + r * d.width, d.data.begin() + (r + 1) * d.width);
    }
    return rows;
}

constexpr MIVOBLE_HANDLE kHandle = 7;

class SampleStreamTest : public ::testing::Test {
protected:
    void SetUp() override { g_deliveries.clear(); }

    // A NUS device right after open (one channel, one frame), optionally with a host layout.
    void OpenNus() {
        collector.SetHandler(std::make_shared<MivoNusProtocolHandler>());
        stream.ApplyDefaultHostLayout();
        stream.BuildTables();
    }

    // A legacy device from its own records.
    // decoder: the handler that decodes the payloads (the legacy one when none is given),
    // bytesPerValue its sample width.
    void OpenLegacy(uint16_t rate, uint16_t channelCount, const std::vector<ChannelRecord>& channels,
                    const PayloadLayout& layout, std::shared_ptr<IProtocolHandler> decoder = nullptr,
                    uint16_t bytesPerValue = 3) {
        collector.SetHandler(std::make_shared<MivoLegacyProtocolHandler>());
        const auto values = static_cast<uint16_t>(layout.size());
        collector.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(
            rate, channelCount, static_cast<uint16_t>(values * bytesPerValue), channelCount, values, 0));
        for (const auto& c : channels) collector.OnChannelRecord(Wire::ChannelBytes(c.id, c.type, c.index, c.scale));
        for (const auto& p : layout) collector.OnPayloadRecord(Wire::PayloadRecordBytes(p.channelId, p.frameIndex));
        if (decoder) collector.SetHandler(std::move(decoder));
        stream.BuildTables();
    }

    void Send(const Bytes& b) { stream.OnSamplePayload(b.data(), b.size()); }

    bool registered = true;
    bool linkUp = true;
    std::FILE* diagnosticsFile = std::tmpfile();
    StreamDiagnostics diagnostics{true, diagnosticsFile};
    ConfigurationCollector collector;
    SampleStream stream{collector,
                        [this] {
                            if (!registered) throw ApiException("Device not found.", 1);
                            return kHandle;
                        },
                        [this] { return linkUp; }, diagnostics};

    std::string DiagnosticsText() {
        std::fflush(diagnosticsFile);
        std::rewind(diagnosticsFile);
        std::string text;
        for (int c; (c = std::fgetc(diagnosticsFile)) != EOF;) text.push_back(static_cast<char>(c));
        return text;
    }
    void TearDown() override { std::fclose(diagnosticsFile); }
};

// Legacy payload: 24-bit big-endian values in layout order.
Bytes Legacy(std::initializer_list<int32_t> values) {
    Bytes b;
    for (int32_t v : values) Wire::PutBe24(b, v);
    return b;
}

// NUS 8 x 10 payload, frame-major; value of channel k in frame f: f*100 + k, negative for odd k.
int32_t NusValue(int f, int k) { return (k % 2 ? -1 : 1) * (f * 100 + k); }
Bytes Nus8x10() {
    Bytes b;
    for (int f = 0; f < 10; ++f)
        for (int k = 1; k <= 8; ++k) Wire::PutBe24(b, NusValue(f, k));
    return b;
}

// ---- decoding and row assembly -----------------------------------------------------------

TEST_F(SampleStreamTest, NusDeviceAfterOpenDeliversThreeValueRows) {
    OpenNus();
    EXPECT_TRUE(stream.SetDataAvailableCallback(OnRow));
    Send(Bytes{0xFF, 0xFF, 0xFE});
    ASSERT_EQ(g_deliveries.size(), 1u);
    EXPECT_EQ(g_deliveries[0].handle, kHandle);
    EXPECT_EQ(g_deliveries[0].data, (Row{-2.0f, 100.0f, 1.0f}));
}

TEST_F(SampleStreamTest, HostLayoutOfEightChannelsAndTenFrames) {
    OpenNus();
    ASSERT_EQ(stream.SetActiveLayout(8, 10, 3, false, 250), 0);
    stream.SetDataAvailableCallback(OnRow);
    const Bytes payload = Nus8x10();
    ASSERT_EQ(payload.size(), 240u);
    Send(payload);
    const auto rows = AllRows();
    ASSERT_EQ(rows.size(), 10u);
    for (int f = 0; f < 10; ++f) {
        ASSERT_EQ(rows[f].size(), 10u);
        for (int k = 1; k <= 8; ++k) EXPECT_EQ(rows[f][k - 1], static_cast<float>(NusValue(f, k))) << f << "," << k;
        EXPECT_EQ(rows[f][8], 100.0f);
        EXPECT_EQ(rows[f][9], 1.0f);
    }
}

TEST_F(SampleStreamTest, FourByteLittleEndianLayout) {
    OpenNus();
    ASSERT_EQ(stream.SetActiveLayout(2, 1, 4, true, 500), 0);
    stream.SetDataAvailableCallback(OnRow);
    Send(Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0x10, 0x00, 0x00, 0x00});
    ASSERT_EQ(g_deliveries.size(), 1u);
    EXPECT_EQ(g_deliveries[0].data, (Row{-2.0f, 16.0f, 100.0f, 1.0f}));
}

TEST_F(SampleStreamTest, LegacyScaleAndHeldSlowChannel) {
    // Channel 2 is carried only in frames 0 and 1 of 4 and keeps its frame-1 value afterwards.
    OpenLegacy(250, 2, {{1, 1, 1, 0.5f}, {2, 1, 2, 1.0f}}, {{1, 0}, {2, 0}, {1, 1}, {2, 1}, {1, 2}, {1, 3}});
    stream.SetDataAvailableCallback(OnRow);
    Send(Legacy({2, 11, 4, 12, 6, 8}));
    const auto rows = AllRows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (Row{1.0f, 11.0f, 100.0f, 1.0f}));
    EXPECT_EQ(rows[1], (Row{2.0f, 12.0f, 100.0f, 1.0f}));
    EXPECT_EQ(rows[2], (Row{3.0f, 12.0f, 100.0f, 1.0f}));
    EXPECT_EQ(rows[3], (Row{4.0f, 12.0f, 100.0f, 1.0f}));
}

// ---- counters and gaps --------------------------------------------------------------------

// Legacy amplifier: signal channel 1 in 10 frames, counter channel 2 once per payload.
PayloadLayout TenFramesWithCounter() {
    PayloadLayout l;
    for (uint16_t f = 0; f < 10; ++f) l.push_back({1, f});
    l.push_back({2, 0});
    return l;
}

TEST_F(SampleStreamTest, CounterBecomesSampleNumberAndFirstPayloadIsPrecededByZeroRows) {
    OpenLegacy(250, 2, {{1, 1, 1, 1.0f}, {2, 5, 2, 1.0f}}, TenFramesWithCounter());
    stream.SetDataAvailableCallback(OnRow);
    Send(Legacy({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 3}));
    const auto rows = AllRows();
    ASSERT_EQ(rows.size(), 30u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(rows[i], (Row{0.0f, float(i + 1), 0.0f, 0.0f})) << i;
    for (int k = 0; k < 10; ++k) EXPECT_EQ(rows[20 + k], (Row{float(k), float(21 + k), 100.0f, 1.0f})) << k;
}

class GapTest : public SampleStreamTest {
protected:
    void Open(uint16_t rate) {
        OpenLegacy(rate, 2, {{1, 1, 1, 1.0f}, {2, 5, 2, 1.0f}}, {{1, 0}, {2, 0}});
        stream.SetDataAvailableCallback(OnRow);
    }
};

TEST_F(GapTest, LostSamplesAreFilledFromThePreviousRow) {
    Open(250);
    Send(Legacy({7, 100}));
    g_deliveries.clear();
    Send(Legacy({9, 104}));
    const auto rows = AllRows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (Row{7.0f, 101.0f, 100.0f, 0.0f}));
    EXPECT_EQ(rows[1], (Row{7.0f, 102.0f, 100.0f, 0.0f}));
    EXPECT_EQ(rows[2], (Row{7.0f, 103.0f, 100.0f, 0.0f}));
    EXPECT_EQ(rows[3], (Row{9.0f, 104.0f, 100.0f, 1.0f}));
}

TEST_F(GapTest, JumpsBeyondTheRateAndBackwardsCountersFillNothing) {
    Open(250);
    Send(Legacy({0, 1}));
    Send(Legacy({0, 2 + 251}));    // gap of 251 > 250
    Send(Legacy({0, 100}));        // backwards
    Send(Legacy({0, 100 + 251}));  // gap of exactly 250: filled
    const auto rows = AllRows();
    ASSERT_EQ(rows.size(), 3u + 250u + 1u);
    EXPECT_EQ(rows[1][1], 253.0f);
    EXPECT_EQ(rows[2][1], 100.0f);
    EXPECT_EQ(rows[3][1], 101.0f);
    EXPECT_EQ(rows[3][3], 0.0f);
}

TEST_F(GapTest, WithoutRateTheLimitIsOneThousand) {
    Open(0);
    Send(Legacy({0, 1002}));  // first payload: 1001 missing samples > 1000
    EXPECT_EQ(AllRows().size(), 1u);
    Send(Legacy({0, 2003}));  // 1000 missing: filled
    EXPECT_EQ(AllRows().size(), 1u + 1000u + 1u);
}

TEST_F(GapTest, DroppedPayloadKeepsTheLastGoodRowsForTheNextGap) {
    Open(250);
    Send(Legacy({5, 10}));
    g_deliveries.clear();
    Bytes shortPayload = Legacy({6, 11});
    shortPayload.pop_back();
    Send(shortPayload);
    EXPECT_TRUE(g_deliveries.empty());
    Send(Legacy({7, 12}));
    const auto rows = AllRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (Row{5.0f, 11.0f, 100.0f, 0.0f}));
    EXPECT_EQ(rows[1], (Row{7.0f, 12.0f, 100.0f, 1.0f}));
}

TEST_F(GapTest, NonFiniteCounterFillsNothing) {
    // A counter scaled beyond float range gives an infinite difference: no rows are invented.
    OpenLegacy(250, 2, {{1, 1, 1, 1.0f}, {2, 5, 2, 3.0e38f}}, {{1, 0}, {2, 0}});
    stream.SetDataAvailableCallback(OnRow);
    Send(Legacy({1, 5}));
    Send(Legacy({2, -5}));
    const auto rows = AllRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][3], 1.0f);
    EXPECT_EQ(rows[1][3], 1.0f);
}

// Long recordings: frame numbers wrap at 2^24, so that every one is exactly a float, and count
// on by one across the wrap, across a raw counter's own wrap, and through filled-in rows. Ten
// frames per payload, so frame numbers are not powers of two. Both decoders: the legacy one
// with 24-bit big-endian samples, the NUS one with 32-bit little-endian samples (decoded values
// are floats, so a raw counter is exact while it stays within 2^24, as a 24-bit one always does).
struct WrapCase {
    const char* what;
    int64_t from, to;    // raw payload counters of two payloads in a row
    size_t missingRows;  // filled in between them
};

TEST_F(SampleStreamTest, FrameNumbersWrapAtTwoToTheTwentyFourAndCountOnAcrossEveryWrap) {
    const WrapCase common[] = {
        {"frame numbers reach 2^24 inside a payload", 1677721, 1677722, 0},
        {"frame numbers just past 2^24", 1677723, 1677724, 0},
        {"frame numbers far past 2^24", 5000001, 5000002, 0},
        {"one payload lost across 2^24", 1677721, 1677723, 10},
        {"one payload lost past 2^24", 1677722, 1677724, 10},
        {"unsigned wrap to zero", -1, 0, 0},
        {"one payload lost across the wrap to zero", -1, 1, 10},
        {"backwards past 2^24", 1677725, 1677722, 0},
    };
    const WrapCase legacyOnly[] = {{"24-bit signed wrap", 8388607, -8388608, 0},
                                   {"one payload lost across the 24-bit signed wrap", 8388607, -8388607, 10}};
    for (const bool nus : {false, true}) {
        SCOPED_TRACE(nus ? "NUS decoder, 32-bit counter" : "legacy decoder, 24-bit counter");
        g_deliveries.clear();
        // A collector and stream of their own for each decoder.
        ConfigurationCollector fresh;
        SampleStream wrapped{fresh, [] { return kHandle; }, {}, diagnostics};
        std::shared_ptr<IProtocolHandler> decoder;
        if (nus) {
            auto handler = std::make_shared<MivoNusProtocolHandler>();
            handler->SetSampleFormat(4, true);
            decoder = handler;
        }
        fresh.SetHandler(std::make_shared<MivoLegacyProtocolHandler>());
        const PayloadLayout layout = TenFramesWithCounter();
        fresh.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(
            250, 2, static_cast<uint16_t>(layout.size() * (nus ? 4 : 3)), 2, static_cast<uint16_t>(layout.size()), 0));
        fresh.OnChannelRecord(Wire::ChannelBytes(1, 1, 1, 1.0f));
        fresh.OnChannelRecord(Wire::ChannelBytes(2, 5, 2, 1.0f));
        for (const auto& p : layout) fresh.OnPayloadRecord(Wire::PayloadRecordBytes(p.channelId, p.frameIndex));
        if (decoder) fresh.SetHandler(decoder);
        wrapped.BuildTables();
        wrapped.SetDataAvailableCallback(OnRow);

        auto payload = [nus](int64_t counter) {
            Bytes b;
            for (int32_t v : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, static_cast<int32_t>(counter)}) {
                if (nus) {
                    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
                } else {
                    Wire::PutBe24(b, v);
                }
            }
            return b;
        };
        std::vector<WrapCase> cases(std::begin(common), std::end(common));
        if (!nus) cases.insert(cases.end(), std::begin(legacyOnly), std::end(legacyOnly));
        for (const WrapCase& c : cases) {
            SCOPED_TRACE(c.what);
            const Bytes first = payload(c.from), second = payload(c.to);
            wrapped.OnSamplePayload(first.data(), first.size());
            g_deliveries.clear();
            wrapped.OnSamplePayload(second.data(), second.size());
            const auto rows = AllRows();
            ASSERT_EQ(rows.size(), c.missingRows + 10);
            for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i][3], i < c.missingRows ? 0.0f : 1.0f) << i;
            // Exact frame numbers, taken modulo 2^24.
            const double number = std::fmod((double(c.to) - 1.0) * 10.0 + 1.0, 16777216.0);
            const double firstNumber = number < 0 ? number + 16777216.0 : number;
            for (size_t k = 0; k < 10; ++k) {
                const float expected = static_cast<float>(std::fmod(firstNumber + double(k), 16777216.0));
                EXPECT_EQ(rows[c.missingRows + k][1], expected) << k;
                EXPECT_LT(rows[c.missingRows + k][1], 16777216.0f);
            }
            // Filled-in rows count on by one from the last row of the first payload.
            const double lastOfFirst =
                std::fmod(std::fmod((double(c.from) - 1.0) * 10.0 + 10.0, 16777216.0) + 16777216.0, 16777216.0);
            for (size_t i = 0; i < c.missingRows; ++i) {
                EXPECT_EQ(rows[i][1], static_cast<float>(std::fmod(lastOfFirst + double(i + 1), 16777216.0))) << i;
            }
        }
    }
}

// ---- delivery -----------------------------------------------------------------------------

TEST_F(SampleStreamTest, BatchesOfFourLeaveTheRestForTheNextPayload) {
    OpenNus();
    ASSERT_EQ(stream.SetActiveLayout(8, 10, 3, false, 250), 0);
    EXPECT_TRUE(stream.SetDataAvailableBatchedCallback(OnBatch));
    Send(Nus8x10());
    ASSERT_EQ(g_deliveries.size(), 2u);
    EXPECT_EQ(g_deliveries[0].rows, 4u);
    EXPECT_EQ(g_deliveries[1].rows, 4u);
    EXPECT_EQ(g_deliveries[1].data[0], static_cast<float>(NusValue(4, 1)));
    Send(Nus8x10());
    ASSERT_EQ(g_deliveries.size(), 5u);
    // Rows 8 and 9 of the first payload lead the third batch.
    EXPECT_EQ(g_deliveries[2].data[0], static_cast<float>(NusValue(8, 1)));
    EXPECT_EQ(g_deliveries[2].data[2 * 10], static_cast<float>(NusValue(0, 1)));
    EXPECT_EQ(AllRows().size(), 20u);
    for (const auto& d : g_deliveries) {
        EXPECT_TRUE(d.batched);
        EXPECT_EQ(d.width, 10u);
        EXPECT_EQ(d.handle, kHandle);
    }
}

TEST_F(SampleStreamTest, FramesPerCallbackRangeAndLowering) {
    OpenNus();
    ASSERT_EQ(stream.SetActiveLayout(1, 10, 3, false, 250), 0);
    for (uint32_t bad : {0u, 65u}) {
        try {
            stream.SetFramesPerCallback(bad);
            ADD_FAILURE() << bad;
        } catch (const ApiException& e) {
            EXPECT_STREQ(e.what(), "Frames per callback must be between 1 and 64.");
            EXPECT_EQ(e.Code(), 4);
        }
    }
    EXPECT_EQ(stream.FramesPerCallback(), 4u);
    stream.SetFramesPerCallback(8);
    stream.SetDataAvailableBatchedCallback(OnBatch);
    Send(Bytes(30, 0));
    ASSERT_EQ(g_deliveries.size(), 1u);
    EXPECT_EQ(g_deliveries[0].rows, 8u);
    // Lowered while two rows wait: the next row delivers all three.
    stream.SetFramesPerCallback(1);
    Send(Bytes(30, 0));
    ASSERT_EQ(g_deliveries.size(), 1u + 1u + 9u);
    EXPECT_EQ(g_deliveries[1].rows, 3u);
    EXPECT_EQ(g_deliveries[2].rows, 1u);
}

TEST_F(SampleStreamTest, RegisteringOneCallbackKindClearsTheOther) {
    OpenNus();
    stream.SetFramesPerCallback(1);
    EXPECT_TRUE(stream.SetDataAvailableCallback(OnRow));
    EXPECT_TRUE(stream.SetDataAvailableBatchedCallback(OnBatch));
    Send(Bytes{0, 0, 1});
    ASSERT_EQ(g_deliveries.size(), 1u);
    EXPECT_TRUE(g_deliveries[0].batched);
    EXPECT_TRUE(stream.SetDataAvailableCallback(OnRow));
    Send(Bytes{0, 0, 2});
    ASSERT_EQ(g_deliveries.size(), 2u);
    EXPECT_FALSE(g_deliveries[1].batched);
    EXPECT_FALSE(stream.SetDataAvailableCallback(nullptr));
    EXPECT_FALSE(stream.HasCallback());
    Send(Bytes{0, 0, 3});
    EXPECT_EQ(g_deliveries.size(), 2u);
}

TEST_F(SampleStreamTest, UnregisteredDeviceDeliversNothingAndRecovers) {
    OpenNus();
    stream.SetDataAvailableBatchedCallback(OnBatch);
    registered = false;
    for (int i = 0; i < 8; ++i) Send(Bytes{0, 0, 1});  // two full batches, both dropped
    EXPECT_TRUE(g_deliveries.empty());
    registered = true;
    for (int i = 0; i < 4; ++i) Send(Bytes{0, 0, 2});
    ASSERT_EQ(g_deliveries.size(), 1u);
    EXPECT_EQ(g_deliveries[0].rows, 4u);  // nothing of the unregistered period piled up
    EXPECT_EQ(g_deliveries[0].data[0], 2.0f);
}

TEST_F(SampleStreamTest, PayloadsAreIgnoredWhileTheLinkIsDownOrTablesAreFreed) {
    OpenNus();
    stream.SetDataAvailableCallback(OnRow);
    linkUp = false;
    Send(Bytes{0, 0, 1});
    linkUp = true;
    stream.FreeTables();
    Send(Bytes{0, 0, 1});
    EXPECT_TRUE(g_deliveries.empty());
    stream.ApplyDefaultHostLayout();
    stream.BuildTables();
    Send(Bytes{0, 0, 1});
    EXPECT_EQ(g_deliveries.size(), 1u);
}

TEST_F(SampleStreamTest, BatteryNotificationsFillTheBatteryColumn) {
    OpenNus();
    stream.SetDataAvailableCallback(OnRow);
    const Bytes level{63};
    stream.OnBatteryNotification(level.data(), level.size());
    Send(Bytes{0, 0, 1});
    ASSERT_EQ(g_deliveries.size(), 1u);
    EXPECT_EQ(g_deliveries[0].data[1], 63.0f);
    linkUp = false;
    const Bytes other{10};
    stream.OnBatteryNotification(other.data(), other.size());
    EXPECT_EQ(collector.BatteryLevel(), 63);
}

// Rows waiting in a partly filled batch are never thrown away: every change of the delivery
// hands them, in order, to the batched callback that collected them, before it takes effect.
// Four rows per batch; payloads 1 to 6 leave rows 5 and 6 waiting when the change is made.
struct BatchChange {
    const char* what;
    std::function<void(SampleStream&)> change;
    std::vector<std::pair<bool, Row>> expected;  // (batched, values) of every delivery, in order
};

void OnOtherBatch(MIVOBLE_HANDLE h, const float* rows, uint32_t count, uint32_t width) {
    OnBatch(h, rows, count, width);
}

TEST_F(SampleStreamTest, EveryChangeHandsTheWaitingRowsToTheOldCallbackFirst) {
    const std::vector<BatchChange> changes = {
        {"the same batched callback again",
         [](SampleStream& s) { s.SetDataAvailableBatchedCallback(OnBatch); },
         {{true, {1, 2, 3, 4}}, {true, {5, 6}}, {true, {7, 8, 9, 10}}}},
        {"another batched callback",
         [](SampleStream& s) { s.SetDataAvailableBatchedCallback(OnOtherBatch); },
         {{true, {1, 2, 3, 4}}, {true, {5, 6}}, {true, {7, 8, 9, 10}}}},
        {"the per-row callback",
         [](SampleStream& s) { s.SetDataAvailableCallback(OnRow); },
         {{true, {1, 2, 3, 4}}, {true, {5, 6}}, {false, {7}}, {false, {8}}, {false, {9}}, {false, {10}}}},
        {"no callback",
         [](SampleStream& s) { s.SetDataAvailableBatchedCallback(nullptr); },
         {{true, {1, 2, 3, 4}}, {true, {5, 6}}}},
        {"another layout of the same width",
         [](SampleStream& s) { ASSERT_EQ(s.SetActiveLayout(1, 1, 3, false, 500), 0); },
         {{true, {1, 2, 3, 4}}, {true, {5, 6}}, {true, {7, 8, 9, 10}}}},
        {"a lost link",
         [](SampleStream& s) { s.DeliverWaitingRows(); },
         {{true, {1, 2, 3, 4}}, {true, {5, 6}}, {true, {7, 8, 9, 10}}}},
        // Not a change of the batch under way: it completes at the next row with all its rows.
        {"frames per callback lowered",
         [](SampleStream& s) { s.SetFramesPerCallback(1); },
         {{true, {1, 2, 3, 4}}, {true, {5, 6, 7}}, {true, {8}}, {true, {9}}, {true, {10}}}},
    };
    for (const BatchChange& c : changes) {
        SCOPED_TRACE(c.what);
        g_deliveries.clear();
        ConfigurationCollector fresh;
        fresh.SetHandler(std::make_shared<MivoNusProtocolHandler>());
        SampleStream s{fresh, [] { return kHandle; }, {}, diagnostics};
        s.ApplyDefaultHostLayout();
        s.BuildTables();
        s.SetDataAvailableBatchedCallback(OnBatch);
        auto send = [&s](uint8_t v) {
            const Bytes b{0, 0, v};
            s.OnSamplePayload(b.data(), b.size());
        };
        for (uint8_t v = 1; v <= 6; ++v) send(v);
        c.change(s);
        for (uint8_t v = 7; v <= 10; ++v) send(v);
        std::vector<std::pair<bool, Row>> seen;
        for (const auto& d : g_deliveries) {
            Row values;
            for (uint32_t r = 0; r < d.rows; ++r) values.push_back(d.data[r * d.width]);
            seen.emplace_back(d.batched, values);
        }
        EXPECT_EQ(seen, c.expected);
    }
}

// A callback that gets the waiting rows of a registration and registers something itself is
// superseded by the registration under way; a layout it sets applies after it.
TEST_F(SampleStreamTest, RegistrationsMadeWhileTheWaitingRowsGoOutAreSuperseded) {
    static SampleStream* inner = nullptr;
    static int calls = 0;
    calls = 0;
    OpenNus();
    inner = &stream;
    stream.SetDataAvailableBatchedCallback([](MIVOBLE_HANDLE, const float*, uint32_t count, uint32_t) {
        ++calls;
        if (count < 4) {  // the waiting rows
            EXPECT_TRUE(inner->DeliveringOnThisThread());
            inner->SetDataAvailableBatchedCallback(nullptr);
            EXPECT_EQ(inner->SetActiveLayout(2, 1, 3, false, 250), 0);
        }
    });
    for (int i = 0; i < 6; ++i) Send(Bytes{0, 0, 1});
    ASSERT_EQ(calls, 1);
    EXPECT_TRUE(stream.SetDataAvailableCallback(OnRow));
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(stream.HasCallback());
    EXPECT_EQ(stream.RowWidth(), 4);
    Send(Bytes{0, 0, 1, 0, 0, 2});
    ASSERT_EQ(g_deliveries.size(), 1u);
    EXPECT_EQ(g_deliveries[0].data, (Row{1, 2, 100, 1}));
}

// Counters in the cells a payload wrote, and only there: a counter channel carried in frame 0,
// in a later frame only (the frames before keep the 0 they hold), or not at all (no counter,
// no gap fill). Payloads with counters 5, 6 and 8: rows filled in before the first (the zero
// rows of the open) and for the payload lost between 6 and 8.
struct CounterPlacement {
    uint16_t frames;
    std::optional<uint16_t> counterFrame;  // the frame whose record names the counter channel
};

TEST_F(SampleStreamTest, CountersAreConvertedOnlyWhereThePayloadWroteThem) {
    const CounterPlacement placements[] = {{1, 0},  {1, std::nullopt}, {2, 0}, {2, 1}, {2, std::nullopt}, {10, 0},
                                           {10, 4}, {10, std::nullopt}};
    for (const CounterPlacement& p : placements) {
        SCOPED_TRACE(testing::Message() << p.frames << " frames, counter "
                                        << (p.counterFrame ? "in frame " + std::to_string(*p.counterFrame) : "absent"));
        g_deliveries.clear();
        ConfigurationCollector fresh;
        SampleStream s{fresh, [] { return kHandle; }, {}, diagnostics};
        fresh.SetHandler(std::make_shared<MivoLegacyProtocolHandler>());
        PayloadLayout layout;
        for (uint16_t f = 0; f < p.frames; ++f) layout.push_back({1, f});
        if (p.counterFrame) layout.push_back({2, *p.counterFrame});
        fresh.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 2, static_cast<uint16_t>(layout.size() * 3),
                                                                      2, static_cast<uint16_t>(layout.size()), 0));
        fresh.OnChannelRecord(Wire::ChannelBytes(1, 1, 1, 1.0f));
        fresh.OnChannelRecord(Wire::ChannelBytes(2, 5, 2, 1.0f));
        for (const auto& r : layout) fresh.OnPayloadRecord(Wire::PayloadRecordBytes(r.channelId, r.frameIndex));
        s.BuildTables();
        s.SetDataAvailableCallback(OnRow);

        std::vector<std::pair<float, float>> expected;  // (counter, valid) of every row
        double last = 0.0;
        for (const int32_t counter : {5, 6, 8}) {
            Bytes payload;
            for (uint16_t f = 0; f < p.frames; ++f) Wire::PutBe24(payload, f);
            if (p.counterFrame) Wire::PutBe24(payload, counter);
            s.OnSamplePayload(payload.data(), payload.size());
            if (!p.counterFrame) {
                for (uint16_t k = 0; k < p.frames; ++k) expected.emplace_back(0.0f, 1.0f);
                continue;
            }
            const double first = double(counter - 1) * p.frames + 1.0;
            for (double n = last + 1.0; n < first; n += 1.0) expected.emplace_back(float(n), 0.0f);
            for (uint16_t k = 0; k < p.frames; ++k) {
                expected.emplace_back(k < *p.counterFrame ? 0.0f : float(first + k), 1.0f);
            }
            last = first + p.frames - 1;
        }
        std::vector<std::pair<float, float>> seen;
        for (const Row& row : AllRows()) seen.emplace_back(row[1], row[3]);
        EXPECT_EQ(seen, expected);
    }
}

// ---- layout -------------------------------------------------------------------------------

TEST_F(SampleStreamTest, RejectedLayoutsChangeNothing) {
    OpenNus();
    ASSERT_EQ(stream.SetActiveLayout(8, 10, 3, false, 250), 0);
    EXPECT_EQ(stream.SetActiveLayout(8, 10, 2, false, 250), -1);
    EXPECT_EQ(stream.SetActiveLayout(0, 10, 3, false, 250), -1);
    EXPECT_EQ(stream.SetActiveLayout(8, 0, 3, false, 250), -1);
    EXPECT_EQ(stream.RowCapacity(), 64);
    EXPECT_EQ(stream.SetActiveLayout(1, 65, 3, true, 100), -1);
    EXPECT_EQ(stream.SetActiveLayout(1, 64, 4, false, 100), 0);
    EXPECT_EQ(stream.SetActiveLayout(8, 10, 3, false, 250), 0);
    EXPECT_EQ(stream.SetActiveLayout(8, 10, 5, true, 100), -1);
    stream.SetDataAvailableCallback(OnRow);
    Send(Nus8x10());
    EXPECT_EQ(AllRows().size(), 10u);
    EXPECT_EQ(collector.GetDeviceInformation().samplingRate, 250);
}

TEST_F(SampleStreamTest, LayoutsThatOverflowSixteenBitsAreRejected) {
    // A legacy amplifier with 100 frames per payload gives a row capacity of 100.
    PayloadLayout layout;
    for (uint16_t f = 0; f < 100; ++f) layout.push_back({1, f});
    OpenLegacy(250, 1, {{1, 1, 1, 1.0f}}, layout);
    ASSERT_EQ(stream.RowCapacity(), 100);
    EXPECT_EQ(stream.SetActiveLayout(255, 100, 3, false, 250), -1);  // 76500 bytes
    EXPECT_EQ(collector.GetAmplifierConfiguration().valuesPerPayload, 100);
    EXPECT_EQ(stream.SetActiveLayout(200, 100, 3, false, 250), 0);  // 60000 bytes
    EXPECT_EQ(collector.GetAmplifierConfiguration().payloadSize, 60000);
}

TEST_F(SampleStreamTest, LayoutChangeKeepsOpenDescriptionButFollowsRateAndDeliversPartialBatchFirst) {
    OpenNus();
    ASSERT_EQ(stream.SetActiveLayout(8, 10, 3, false, 250), 0);
    stream.SetDataAvailableBatchedCallback(OnBatch);
    Send(Nus8x10());  // two batches, two rows waiting
    ASSERT_EQ(g_deliveries.size(), 2u);
    ASSERT_EQ(stream.SetActiveLayout(2, 2, 3, false, 500), 0);
    // The two rows waiting went out in the old width before the layout changed.
    ASSERT_EQ(g_deliveries.size(), 3u);
    EXPECT_EQ(g_deliveries[2].rows, 2u);
    EXPECT_EQ(g_deliveries[2].width, 10u);
    EXPECT_EQ(g_deliveries[2].data[0], static_cast<float>(NusValue(8, 1)));
    const auto info = collector.GetDeviceInformation();
    EXPECT_EQ(info.numberOfAcquiredChannels, 3);
    EXPECT_EQ(info.channelTypes[0], 1);
    EXPECT_EQ(info.channelTypes[1], 4);
    EXPECT_EQ(info.samplingRate, 500);
    EXPECT_EQ(stream.RowWidth(), 4);

    Send(Legacy({1, 2, 3, 4}));
    Send(Legacy({5, 6, 7, 8}));
    ASSERT_EQ(g_deliveries.size(), 4u);
    EXPECT_EQ(g_deliveries[3].width, 4u);
    EXPECT_EQ(g_deliveries[3].data, (Row{1, 2, 100, 1, 3, 4, 100, 1, 5, 6, 100, 1, 7, 8, 100, 1}));
}

TEST_F(SampleStreamTest, LayoutWhileTablesAreFreedChangesTheConfigurationOnly) {
    OpenNus();
    stream.FreeTables();
    EXPECT_EQ(stream.SetActiveLayout(1, 65, 3, false, 250), -1);
    ASSERT_EQ(stream.SetActiveLayout(2, 3, 4, false, 250), 0);
    EXPECT_EQ(collector.GetAmplifierConfiguration().payloadSize, 24);
    EXPECT_FALSE(stream.TablesBuilt());
    stream.BuildTables();
    EXPECT_EQ(stream.RowWidth(), 4);
    EXPECT_EQ(stream.FramesPerPayload(), 3);
}

TEST_F(SampleStreamTest, SetChannelCountKeepsFramesAndFormat) {
    OpenNus();
    ASSERT_EQ(stream.SetActiveLayout(1, 2, 4, true, 300), 0);
    EXPECT_EQ(stream.SetChannelCount(0), -1);
    ASSERT_EQ(stream.SetChannelCount(2), 0);
    EXPECT_EQ(stream.RowWidth(), 4);
    EXPECT_EQ(stream.FramesPerPayload(), 2);
    const auto a = collector.GetAmplifierConfiguration();
    EXPECT_EQ(a.payloadSize, 16);
    EXPECT_EQ(a.samplingRate, 300);
}

TEST_F(SampleStreamTest, PayloadOutsideTheRowGridIsDroppedAndReportedOnce) {
    // Channel 3 has a record but lies beyond the two signal columns.
    OpenLegacy(250, 2, {{1, 1, 1, 1.0f}, {2, 1, 2, 1.0f}, {3, 1, 3, 1.0f}}, {{1, 0}, {3, 0}});
    stream.SetDataAvailableCallback(OnRow);
    Send(Legacy({1, 2}));
    Send(Legacy({1, 2}));
    EXPECT_TRUE(g_deliveries.empty());
    EXPECT_EQ(DiagnosticsText(),
              "[mivoble] OnEEGAvailable: first EEG notification (6 bytes)\n"
              "[mivoble] OnEEGAvailable parse error (payload dropped): Payload index out of range.\n");
}

// Wrong-sized payloads are dropped as before, and also counted and reported at WARN: the
// first at once, the next ones not within the same interval.
TEST_F(SampleStreamTest, WrongSizedPayloadsAreCountedAndReportedRateLimited) {
    Testing::LogFile log;
    stream.SetDeviceName("MV-X");
    OpenNus();
    stream.SetDataAvailableCallback(OnRow);
    Send(Bytes{1, 2, 3, 4});
    Send(Bytes{0, 0, 5});
    Send(Bytes{1, 2});
    EXPECT_EQ(AllRows(), (std::vector<Row>{{5, 100, 1}}));
    EXPECT_EQ(stream.SizeMismatchDrops(), 2u);
    EXPECT_EQ(log.Count("WARN ",
                        "device 'MV-X': sample payload of 4 bytes dropped; the layout expects 3 bytes (1 dropped "
                        "for their size so far)"),
              1);
    EXPECT_EQ(log.Count("WARN ", "sample payload of 2 bytes"), 0);
    EXPECT_NE(DiagnosticsText().find("parse error (payload dropped): Invalid payload size."), std::string::npos);
}

// The NUS connect keeps the host's layout; payloads of the default size then mean the
// amplifier restarted, and the stream falls back to the default layout (and the device
// information with it). A payload in the kept layout confirms it and ends the check.
TEST_F(SampleStreamTest, ReconnectKeepsTheHostLayoutAndFallsBackWhenTheAmplifierRestarted) {
    Testing::LogFile log;
    OpenNus();
    ASSERT_EQ(stream.SetActiveLayout(2, 2, 3, false, 500), 0);
    stream.SetDataAvailableCallback(OnRow);
    auto reconnect = [&] {
        stream.FreeTables();
        stream.ApplyConnectLayout();
        stream.BuildTables();
    };
    reconnect();
    EXPECT_EQ(collector.GetDeviceInformation().numberOfAcquiredChannels, 4u);
    Send(Legacy({1, 2, 3, 4}));
    Send(Legacy({9}));  // confirmed: a stray short payload is only dropped
    reconnect();
    Send(Legacy({7}));  // restarted
    Send(Legacy({8}));
    EXPECT_EQ(AllRows(), (std::vector<Row>{{1, 2, 100, 1}, {3, 4, 100, 1}, {7, 100, 1}, {8, 100, 1}}));
    EXPECT_EQ(stream.SizeMismatchDrops(), 1u);
    EXPECT_EQ(log.Count("WARN ",
                        "sample payloads have the default layout's size (3 bytes), not the kept host layout's "
                        "(12 bytes): the amplifier has restarted; falling back to the default layout"),
              1);
    const auto info = collector.GetDeviceInformation();
    EXPECT_EQ(info.numberOfAcquiredChannels, 3u);
    EXPECT_EQ(info.samplingRate, 500u);
    reconnect();  // the default layout stays
    EXPECT_EQ(stream.RowWidth(), 3);
}

// ---- diagnostics --------------------------------------------------------------------------

TEST(StreamDiagnosticsSwitch, OnlyExactlyOneEnables) {
    EXPECT_TRUE(StreamDiagnostics::SwitchValueEnables("1"));
    EXPECT_FALSE(StreamDiagnostics::SwitchValueEnables("true"));
    EXPECT_FALSE(StreamDiagnostics::SwitchValueEnables("01"));
    EXPECT_FALSE(StreamDiagnostics::SwitchValueEnables(""));
    EXPECT_FALSE(StreamDiagnostics::SwitchValueEnables(nullptr));
}

TEST(StreamDiagnosticsSwitch, DisabledPrintsNothingEnabledPrintsEachMessageOnce) {
    std::FILE* f = std::tmpfile();
    StreamDiagnostics off(false, f);
    off.FirstNotification(3);
    off.UnknownError();
    StreamDiagnostics on(true, f);
    on.UnknownError();
    on.UnknownError();
    on.FirstNotification(3);
    on.FirstNotification(4);
    std::rewind(f);
    char buffer[256] = {};
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buffer, n),
              "[mivoble] OnEEGAvailable: unknown error (payload dropped)\n"
              "[mivoble] OnEEGAvailable: first EEG notification (3 bytes)\n");
}

}  // namespace
}  // namespace Mivo::BLE
