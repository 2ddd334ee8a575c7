// The view's pure parts: who may connect, what a page may ask for, the display filters, and
// how rows become the pixel columns a page is sent.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <variant>

#include "cli/view/amplifier_tap.h"
#include "cli/view/display_filter.h"
#include "cli/view/trace_decimator.h"
#include "cli/view/trace_history.h"
#include "cli/view/view_access.h"
#include "cli/view/view_amplifier.h"
#include "cli/view/view_settings.h"

using namespace Mivo::Cli::View;

namespace {
const std::string kToken = "0123456789abcdef0123456789abcdef";
constexpr uint16_t kPort = 41234;
}  // namespace

TEST(ViewAccess, RefusesForeignHostsMissingOrWrongTokensAndForeignOrigins) {
    const AccessRules rules{kToken, kPort};
    const std::string good = "/?token=" + kToken;
    struct Case {
        std::string host, target;
        std::optional<std::string> origin;
        bool upgrade;
        std::string reason;
    } cases[] = {
        {"127.0.0.1:41234", good, std::nullopt, false, ""},
        {"localhost:41234", "/view.js?token=" + kToken, std::nullopt, false, ""},
        {"LocalHost:41234", good, std::nullopt, false, ""},
        {"127.0.0.1:41234", "/?x=1&token=%30123456789abcdef0123456789abcdef", std::nullopt, false, ""},
        {"evil.example:41234", good, std::nullopt, false, "foreign Host"},
        {"127.0.0.1:41235", good, std::nullopt, false, "foreign Host"},
        {"127.0.0.1", good, std::nullopt, false, "foreign Host"},
        {"127.0.0.1.evil.example:41234", good, std::nullopt, false, "foreign Host"},
        {"", good, std::nullopt, false, "foreign Host"},
        {"127.0.0.1:41234", "/", std::nullopt, false, "no token"},
        {"127.0.0.1:41234", "/?tokens=" + kToken, std::nullopt, false, "no token"},
        {"127.0.0.1:41234", good + "&token=" + kToken, std::nullopt, false, "no token"},
        {"127.0.0.1:41234", "/?token=%zz", std::nullopt, false, "no token"},
        {"127.0.0.1:41234", "/?token=", std::nullopt, false, "wrong token"},
        {"127.0.0.1:41234", good.substr(0, good.size() - 1), std::nullopt, false, "wrong token"},
        {"127.0.0.1:41234", good + "0", std::nullopt, false, "wrong token"},
        {"127.0.0.1:41234", "/?token=0123456789ABCDEF0123456789ABCDEF", std::nullopt, false, "wrong token"},
        {"127.0.0.1:41234", "/ws?token=" + kToken, std::nullopt, true, ""},
        {"127.0.0.1:41234", "/ws?token=" + kToken, "http://127.0.0.1:41234", true, ""},
        {"127.0.0.1:41234", "/ws?token=" + kToken, "http://localhost:41234", true, ""},
        {"127.0.0.1:41234", "/ws?token=" + kToken, "http://evil.example", true, "foreign Origin"},
        {"127.0.0.1:41234", "/ws?token=" + kToken, "http://127.0.0.1:8080", true, "foreign Origin"},
        {"127.0.0.1:41234", "/ws?token=" + kToken, "https://127.0.0.1:41234", true, "foreign Origin"},
        {"127.0.0.1:41234", "/ws?token=" + kToken, "null", true, "foreign Origin"},
        {"127.0.0.1:41234", "/ws", "http://127.0.0.1:41234", true, "no token"},
        // A plain request's Origin does not matter: the token and Host decide.
        {"127.0.0.1:41234", good, "http://evil.example", false, ""},
    };
    for (const auto& c : cases) {
        Request request{c.target, c.host, std::nullopt, c.upgrade};
        if (c.origin) request.origin = *c.origin;
        EXPECT_EQ(RefusalReason(rules, request), c.reason)
            << c.host << " " << c.target << " " << c.origin.value_or("-");
    }
    // Port 80 may be left out of the Host, as browsers do.
    EXPECT_EQ(RefusalReason({kToken, 80}, {good, "localhost", std::nullopt, false}), "");
}

TEST(ViewAccess, TokensAreFreshHexAndQueryPartsDecode) {
    std::string a = NewToken(), b = NewToken();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(QueryParameter("/x?a=1&b=two+words%21#frag", "b"), "two words!");
    EXPECT_EQ(QueryParameter("/x?a", "a"), "");
    EXPECT_EQ(QueryParameter("/x", "a"), std::nullopt);
    EXPECT_EQ(TargetPath("/ws?token=1"), "/ws");
}

TEST(ViewSettings, AcceptsWhatAPageMayAskAndRefusesTheRest) {
    const ViewSettings base;
    auto ok = ParseViewSettings("seconds=2.5&columns=1200&highpass=1&notch=60", base);
    ASSERT_TRUE(std::holds_alternative<ViewSettings>(ok));
    EXPECT_EQ(std::get<ViewSettings>(ok), (ViewSettings{2.5, 1200, 1, 60}));
    auto partial = ParseViewSettings("notch=50", ViewSettings{20, 300, 0.5, 0});
    EXPECT_EQ(std::get<ViewSettings>(partial), (ViewSettings{20, 300, 0.5, 50}));
    EXPECT_EQ(std::get<ViewSettings>(ParseViewSettings("", base)), base);
    for (const char* bad : {"seconds=0.5", "seconds=61", "seconds=nan", "seconds=inf", "columns=15", "columns=4097",
                            "columns=100.5", "highpass=0.01", "highpass=51", "notch=55", "colour=red", "seconds",
                            "seconds=", "seconds=1&seconds=2", "seconds=1e400", "columns=-100", "seconds=10x"}) {
        EXPECT_TRUE(std::holds_alternative<std::string>(ParseViewSettings(bad, base))) << bad;
    }
}

TEST(ViewSettings, AWindowNeverHoldsMoreColumnsThanThePageHasPixels) {
    struct Case {
        double rate, seconds;
        uint32_t columns, rowsPerColumn;
    } cases[] = {{250, 10, 1500, 2}, {2000, 10, 1500, 14}, {250, 1, 4096, 1}, {1000, 60, 16, 3750}, {256, 10, 2560, 1}};
    for (const auto& c : cases) {
        ViewSettings settings{c.seconds, c.columns, 0, 0};
        uint32_t k = RowsPerBucket(settings, c.rate);
        EXPECT_EQ(k, c.rowsPerColumn) << c.rate << " Hz";
        EXPECT_LE(std::ceil(c.rate * c.seconds / k), c.columns);
    }
}

namespace {
// Gain of a sine of `hz` through the filters, measured after they settled.
double Gain(double highPass, double notch, double hz, double rate) {
    DisplayFilters filters(1, rate, highPass, notch);
    double peak = 0;
    const int settle = static_cast<int>(rate * 20), total = settle + static_cast<int>(rate * 4);
    for (int i = 0; i < total; ++i) {
        float v = static_cast<float>(std::sin(2 * M_PI * hz * i / rate));
        filters.Apply(&v);
        if (i >= settle) peak = std::max(peak, std::fabs(static_cast<double>(v)));
    }
    return peak;
}
}  // namespace

TEST(ViewFilters, HighPassAndNotchTakeOutWhatTheyShouldAndLeaveTheRest) {
    struct Case {
        double highPass, notch, hz, rate, low, high;
    } cases[] = {
        {0, 50, 50, 250, 0, 0.05},
        {0, 50, 10, 250, 0.95, 1.01},
        {0, 60, 60, 2000, 0, 0.05},
        {0, 60, 30, 2000, 0.95, 1.01},
        {1, 0, 0.1, 250, 0, 0.05},
        {1, 0, 10, 250, 0.98, 1.01},
        {1, 50, 50, 1000, 0, 0.05},
        {1, 50, 20, 1000, 0.95, 1.01},
        // A notch at or above half the sampling rate cannot exist: the signal passes unchanged.
        {0, 60, 25, 100, 0.99, 1.01},
    };
    for (const auto& c : cases) {
        double gain = Gain(c.highPass, c.notch, c.hz, c.rate);
        EXPECT_GE(gain, c.low) << c.highPass << " " << c.notch << " " << c.hz << " Hz at " << c.rate;
        EXPECT_LE(gain, c.high) << c.highPass << " " << c.notch << " " << c.hz << " Hz at " << c.rate;
    }
    // An offset goes; a value that is not a number passes and does not spoil what follows.
    DisplayFilters filters(2, 250, 1, 0);
    float row[2] = {};
    for (int i = 0; i < 5000; ++i) {
        row[0] = 1000;
        row[1] = i == 10 ? std::numeric_limits<float>::quiet_NaN() : 1000;
        filters.Apply(row);
        if (i == 10) {
            EXPECT_TRUE(std::isnan(row[1]));
        }
    }
    EXPECT_NEAR(row[0], 0, 0.01);
    EXPECT_NEAR(row[1], 0, 0.01);
}

namespace {

struct Columns {
    uint8_t amplifier = 0, flags = 0;
    uint16_t channels = 0;
    uint32_t k = 0, n = 0;
    double firstRow = 0;
    std::vector<uint8_t> valid;
    std::vector<std::vector<float>> min, max;  // [channel][column]
};

Columns Decode(const std::string& message) {
    Columns c;
    const auto* p = reinterpret_cast<const unsigned char*>(message.data());
    EXPECT_EQ(p[0], kMessageColumns);
    c.amplifier = p[1];
    c.flags = p[2];
    std::memcpy(&c.channels, p + 4, 2);
    std::memcpy(&c.k, p + 8, 4);
    std::memcpy(&c.n, p + 12, 4);
    std::memcpy(&c.firstRow, p + 16, 8);
    c.valid.assign(p + kColumnsHeader, p + kColumnsHeader + c.n);
    size_t offset = kColumnsHeader + (c.n + 3) / 4 * 4;
    const bool single = c.flags & kFlagSingleValue;
    EXPECT_EQ(message.size(), offset + c.channels * c.n * (single ? 4 : 8));
    auto take = [&] {
        std::vector<float> v(c.n);
        std::memcpy(v.data(), p + offset, c.n * 4);
        offset += c.n * 4;
        return v;
    };
    for (size_t ch = 0; ch < c.channels; ++ch) {
        c.min.push_back(take());
        c.max.push_back(single ? c.min.back() : take());
    }
    return c;
}

// Channel 0 counts the rows, channel 1 is its negative; every 7th row is filled in.
void AddRows(TraceHistory& history, uint64_t rows) {
    for (uint64_t r = 0; r < rows; ++r) {
        uint64_t index = history.End();
        float values[2] = {static_cast<float>(index), -static_cast<float>(index)};
        uint8_t valid = index % 7 == 3 ? 0 : 1;
        history.Append(values, &valid, 1);
    }
}

}  // namespace

TEST(ViewDecimator, ColumnsHoldTheMinimumAndMaximumOfTheirRowsAndStartAtMultiplesOfK) {
    TraceHistory history(2, 10000);
    AddRows(history, 1003);
    TraceDecimator decimator(3, 2, 100);
    decimator.Configure(ViewSettings{4, 100, 0, 0}, history);  // 400 rows on 100 columns: k = 4
    ASSERT_EQ(decimator.RowsPerColumn(), 4u);
    auto first = Decode(decimator.Next(history));
    EXPECT_EQ(first.amplifier, 3);
    EXPECT_EQ(first.flags, kFlagAfresh);
    EXPECT_EQ(first.firstRow, 604);  // 1003 - 400 = 603, up to a multiple of 4
    EXPECT_EQ(first.n, 99u);         // 604 .. 999; rows 1000 .. 1002 wait for their column to fill
    for (uint32_t j = 0; j < first.n; ++j) {
        double row = first.firstRow + 4.0 * j;
        EXPECT_EQ(first.min[0][j], row);
        EXPECT_EQ(first.max[0][j], row + 3);
        EXPECT_EQ(first.min[1][j], -(row + 3));
        bool filledIn = false;
        for (int r = 0; r < 4; ++r) filledIn = filledIn || static_cast<uint64_t>(row + r) % 7 == 3;
        EXPECT_EQ(first.valid[j], filledIn ? 0 : 1) << row;
    }
    // Rows arriving a few at a time give the same columns as all at once.
    for (int step = 0; step < 5; ++step) {
        AddRows(history, 3);
        std::string message = decimator.Next(history);
        if (message.empty()) continue;
        auto next = Decode(message);
        EXPECT_EQ(next.flags, 0);
        EXPECT_EQ(static_cast<uint64_t>(next.firstRow) % 4, 0u);
        EXPECT_EQ(next.min[0][0], next.firstRow);
        EXPECT_EQ(next.max[0][next.n - 1], next.firstRow + 4 * next.n - 1);
    }
    EXPECT_TRUE(decimator.Next(history).empty());
}

TEST(ViewDecimator, OneRowPerColumnSendsSingleValuesAndNewSettingsStartAfresh) {
    TraceHistory history(2, 10000);
    AddRows(history, 500);
    TraceDecimator decimator(0, 2, 100);
    decimator.Configure(ViewSettings{2, 1000, 0, 0}, history);
    auto single = Decode(decimator.Next(history));
    EXPECT_EQ(single.flags, kFlagSingleValue | kFlagAfresh);
    EXPECT_EQ(single.firstRow, 300);
    EXPECT_EQ(single.n, 200u);
    EXPECT_EQ(single.min[0].back(), 499);
    decimator.Configure(ViewSettings{5, 50, 0, 0}, history);
    auto wide = Decode(decimator.Next(history));
    EXPECT_EQ(wide.flags, kFlagAfresh);
    EXPECT_EQ(wide.k, 10u);
    EXPECT_EQ(wide.firstRow, 0);
    EXPECT_EQ(wide.n, 50u);
}

TEST(ViewDecimator, APageThatFellBehindTheHistoryGoesOnFromTheOldestRowHeld) {
    TraceHistory history(2, 100);
    AddRows(history, 50);
    TraceDecimator decimator(0, 2, 10);
    decimator.Configure(ViewSettings{2, 16, 0, 0}, history);  // 20 rows on 16 columns: k = 2
    decimator.Next(history);
    AddRows(history, 1001);  // 1051 rows; rows before 951 are gone
    auto next = Decode(decimator.Next(history));
    EXPECT_EQ(next.firstRow, 952);
    EXPECT_EQ(next.n, 49u);
    EXPECT_EQ(next.min[0][0], 952);
}

TEST(ViewDecimator, FiltersRunBeforeTheColumnsAndAreWarmedUpOnEarlierRows) {
    TraceHistory history(1, 5000);
    for (int i = 0; i < 4000; ++i) {
        float v = 500.0f + static_cast<float>(std::sin(2 * M_PI * 10 * i / 250.0));
        uint8_t valid = 1;
        history.Append(&v, &valid, 1);
    }
    TraceDecimator decimator(0, 1, 250);
    decimator.Configure(ViewSettings{2, 500, 1, 0}, history);
    auto columns = Decode(decimator.Next(history));
    ASSERT_EQ(columns.n, 500u);
    // The offset of 500 is gone from the first column on, the 10 Hz sine is kept.
    float low = *std::min_element(columns.min[0].begin(), columns.min[0].end());
    float high = *std::max_element(columns.max[0].begin(), columns.max[0].end());
    EXPECT_NEAR(low, -1, 0.05);
    EXPECT_NEAR(high, 1, 0.05);
}

TEST(ViewTap, HoldsABoundedNumberOfRowsAndCountsWhatGaveWay) {
    // Rows of width 5: three signal channels (the middle one a counter, not drawn), battery, valid.
    AmplifierTap tap({0, 2}, 5, 4);
    std::vector<float> rows;
    for (int r = 0; r < 6; ++r) rows.insert(rows.end(), {float(r), 100.0f + r, float(-r), 87, r == 4 ? 0.0f : 1.0f});
    tap.AddRows(rows.data(), 3, 5);
    tap.AddLinkState(false);
    tap.AddLinkState(true);
    tap.AddRows(rows.data() + 15, 3, 5);
    TapTake take;
    tap.Take(take);
    EXPECT_EQ(take.skipped, 2u);
    EXPECT_EQ(take.values, (std::vector<float>{2, -2, 3, -3, 4, -4, 5, -5}));
    EXPECT_EQ(take.valid, (std::vector<uint8_t>{1, 1, 0, 1}));
    EXPECT_EQ(take.battery, 87);
    ASSERT_EQ(take.changes.size(), 2u);
    EXPECT_EQ(take.changes[0].row, 3u);
    EXPECT_FALSE(take.changes[0].up);
    // Rows narrower than at open leave the columns they lack as gaps.
    float narrow[3] = {7, 87, 1};
    tap.AddRows(narrow, 1, 3);
    tap.Take(take);
    EXPECT_EQ(take.skipped, 0u);
    ASSERT_EQ(take.values.size(), 2u);
    EXPECT_EQ(take.values[0], 7);
    EXPECT_TRUE(std::isnan(take.values[1]));
}

TEST(ViewAmplifier, CountsReconnectsFilledInAndRowsThatGaveWay) {
    AmplifierTap tap({0}, 3, 10);
    ViewAmplifier amplifier({"MV-1", 100, {"ch1"}}, tap, 1);
    std::vector<float> rows;
    for (int r = 0; r < 15; ++r) rows.insert(rows.end(), {float(r), 50, r % 5 == 0 ? 0.0f : 1.0f});
    tap.AddRows(rows.data(), 15, 3);
    tap.AddLinkState(true);  // back without having been lost: no reconnect
    tap.AddLinkState(false);
    EXPECT_TRUE(amplifier.Pull());
    EXPECT_EQ(amplifier.History().End(), 15u);
    EXPECT_TRUE(std::isnan(amplifier.History().Row(4)[0]));
    EXPECT_EQ(amplifier.History().Row(5)[0], 5);
    tap.AddLinkState(true);
    EXPECT_TRUE(amplifier.Pull());
    EXPECT_FALSE(amplifier.Pull());
    std::string status = amplifier.StatusJson(std::chrono::steady_clock::now(), false);
    for (const char* part : {"\"rows\":15", "\"battery\":50", "\"link\":\"up\"", "\"reconnects\":1", "\"filled\":2",
                             "\"skipped\":5", "{\"up\":false,\"row\":15,"})
        EXPECT_NE(status.find(part), std::string::npos) << part << " in " << status;
    EXPECT_EQ(amplifier.DescriptionJson(),
              "{\"name\":\"MV-1\",\"rate\":100,\"unit\":\"\xC2\xB5V\",\"channels\":[\"ch1\"]}");
}
