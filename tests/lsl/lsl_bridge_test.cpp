// The rows of an amplifier as LSL samples and markers, without liblsl: what the bridge hands
// its sink for clean rows, filled-in rows, rows lost with and without a counter, and link events.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/lsl_bridge.h"

namespace Mivo::Cli {
namespace {

constexpr double kRate = 250.0;
constexpr double kPeriod = 1.0 / kRate;
constexpr double kLatency = 0.008;

struct Recorder : BridgeSink {
    std::vector<std::vector<float>> samples;
    std::vector<double> times;
    std::vector<std::pair<std::string, double>> markers;
    size_t channels;
    explicit Recorder(size_t c) : channels(c) {}
    void Samples(const float* values, std::size_t rows, const double* t) override {
        for (std::size_t r = 0; r < rows; ++r) {
            samples.emplace_back(values + r * channels, values + (r + 1) * channels);
            times.push_back(t[r]);
        }
    }
    void Marker(const std::string& text, double time) override { markers.emplace_back(text, time); }
};

// Rows of one signal channel (value = sample number), an optional counter, battery and valid.
struct Stream {
    bool counter;
    uint32_t Width() const { return counter ? 4 : 3; }
    BridgeLayout Layout(bool allColumns) const {
        BridgeLayout layout{Width(), {0}, counter ? 1 : -1};
        if (allColumns) {
            layout.columns.clear();
            for (uint32_t c = 0; c < Width(); ++c) layout.columns.push_back(c);
        }
        return layout;
    }
    std::vector<float> Row(int64_t k, bool valid = true) const {
        std::vector<float> row{static_cast<float>(k)};
        if (counter) row.push_back(static_cast<float>(k + 1));
        row.push_back(87.0f);
        row.push_back(valid ? 1.0f : 0.0f);
        return row;
    }
};

// Delivers sample k at k * period + latency, one row per delivery, like the tool's callbacks.
void Deliver(RowBridge& bridge, const Stream& s, int64_t k, bool valid = true, double extra = 0) {
    auto row = s.Row(k, valid);
    bridge.Rows(row.data(), 1, s.Width(), static_cast<double>(k) * kPeriod + kLatency + extra);
    bridge.Flush();
}

void ExpectRegular(const std::vector<double>& times) {
    for (size_t i = 1; i < times.size(); ++i) {
        const double step = (times[i] - times[i - 1]) / kPeriod;
        ASSERT_GT(step, 0.985) << "sample " << i;
        ASSERT_LT(step, 1.015) << "sample " << i;
    }
}

TEST(LslBridge, RowsBecomeRegularSamplesAndFilledRunsBecomeMarkers) {
    struct Case {
        const char* name;
        bool counter;
        bool allColumns;
    } cases[] = {{"counter", true, false}, {"counter, all columns", true, true}, {"no counter", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stream s{c.counter};
        const auto layout = s.Layout(c.allColumns);
        Recorder sink(layout.columns.size());
        RowBridge bridge(layout, kRate, sink);
        // Rows 100 to 102 were filled in by the library.
        for (int64_t k = 0; k < 500; ++k) Deliver(bridge, s, k, k < 100 || k > 102);
        bridge.Finish();
        ASSERT_EQ(sink.samples.size(), 500u);
        for (size_t k = 0; k < 500; ++k)
            ASSERT_EQ(sink.samples[k], [&] {
                auto row = s.Row(static_cast<int64_t>(k), k < 100 || k > 102);
                std::vector<float> picked;
                for (uint32_t col : layout.columns) picked.push_back(row[col]);
                return picked;
            }()) << k;
        ExpectRegular(sink.times);
        ASSERT_EQ(sink.markers.size(), 1u);
        EXPECT_EQ(sink.markers[0].first, "3 samples filled in");
        EXPECT_EQ(sink.markers[0].second, sink.times[100]);
        EXPECT_EQ(bridge.FilledRows(), 3u);
        EXPECT_NEAR(sink.times[499] - sink.times[0], 499 * kPeriod, 1e-3);
    }
}

TEST(LslBridge, RowsLostWithoutACounterAreFilledInAndCounterGapsBeyondASecondAreMarked) {
    struct Case {
        const char* name;
        bool counter;
        int64_t lost;
        uint64_t filled;
        std::string marker;
    } cases[] = {
        // Without a counter the clock finds the 25 rows from the arrivals; they are filled in.
        {"no counter, 25 lost", false, 25, 25, "25 samples filled in"},
        // A counter jump the library did not fill (beyond a second) leaves a gap and a marker.
        {"counter, 400 lost", true, 400, 0, "400 samples lost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stream s{c.counter};
        const auto layout = s.Layout(true);
        Recorder sink(layout.columns.size());
        RowBridge bridge(layout, kRate, sink);
        for (int64_t k = 0; k < 2000; ++k) {
            if (k >= 1000 && k < 1000 + c.lost) continue;
            Deliver(bridge, s, k);
        }
        bridge.Finish();
        EXPECT_EQ(bridge.FilledRows(), c.filled);
        ASSERT_EQ(sink.markers.size(), 1u);
        EXPECT_EQ(sink.markers[0].first, c.marker);
        EXPECT_EQ(sink.samples.size(), 2000u - static_cast<uint64_t>(c.lost) + c.filled);
        if (c.filled) {
            ExpectRegular(sink.times);
            // Filled-in samples repeat the last one, flagged not valid.
            size_t first = 0;
            while (sink.samples[first].back() != 0.0f) ++first;
            EXPECT_EQ(sink.markers[0].second, sink.times[first]);
            EXPECT_EQ(sink.samples[first][0], sink.samples[first - 1][0]);
            for (size_t i = first; i < first + c.filled; ++i) EXPECT_EQ(sink.samples[i].back(), 0.0f) << i;
        } else {
            // The gap stays a gap of the lost rows' length.
            EXPECT_NEAR(sink.times[1000] - sink.times[999], (c.lost + 1) * kPeriod, 0.2 * kPeriod);
            EXPECT_NEAR(sink.markers[0].second, sink.times[999] + kPeriod, 1e-9);
        }
    }
}

TEST(LslBridge, LinkEventsAreMarkedAndTheNextStreamStartsAfterTheLast) {
    for (bool counter : {true, false}) {
        SCOPED_TRACE(counter ? "counter" : "no counter");
        Stream s{counter};
        Recorder sink(1);
        RowBridge bridge(s.Layout(false), kRate, sink);
        for (int64_t k = 0; k < 500; ++k) Deliver(bridge, s, k);
        const double lost = 500 * kPeriod + kLatency;
        bridge.LinkLost(lost);
        bridge.LinkBack(lost + 1.5);
        // A new stream: the counter starts again from 1 after the reconnect.
        for (int64_t k = 0; k < 500; ++k) Deliver(bridge, s, k, true, lost + 2.0);
        bridge.Finish();
        ASSERT_EQ(sink.markers.size(), 2u);
        EXPECT_EQ(sink.markers[0], std::make_pair(std::string("link lost"), lost));
        EXPECT_EQ(sink.markers[1], std::make_pair(std::string("link back after 1.50 s"), lost + 1.5));
        ASSERT_EQ(sink.times.size(), 1000u);
        EXPECT_GT(sink.times[500], lost + 1.5);
        for (size_t i = 1; i < sink.times.size(); ++i) ASSERT_GT(sink.times[i], sink.times[i - 1]) << i;
    }
}

TEST(LslBridge, RefusesBadLayoutsAndDropsRowsOfAnotherWidth) {
    Recorder sink(1);
    for (const auto& layout : {BridgeLayout{3, {}, -1}, BridgeLayout{3, {3}, -1}, BridgeLayout{3, {0}, 3}})
        EXPECT_THROW(RowBridge(layout, kRate, sink), std::invalid_argument);
    RowBridge bridge(BridgeLayout{3, {0}, -1}, kRate, sink);
    const float row[4] = {1, 2, 87, 1};
    bridge.Rows(row, 1, 4, 0.0);
    bridge.Finish();
    EXPECT_EQ(bridge.Mismatched(), 1u);
    EXPECT_TRUE(sink.samples.empty());
}

}  // namespace
}  // namespace Mivo::Cli
