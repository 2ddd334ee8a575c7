// The tool's pure pieces: hex arguments, MCUboot image checks, the row clock (recordings are in
// recording_test.cpp). The row clock's timing scenarios run from tests/python/test_row_clock.py
// through row_clock_replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "cli/cli_error.h"
#include "cli/hex.h"
#include "cli/mcuboot_image.h"
#include "cli/row_clock.h"

using namespace Mivo::Cli;

TEST(CliHex, AcceptsSeparatorsAndRejectsOddOrForeignDigits) {
    EXPECT_EQ(ParseHex("0x0a1B", "X"), (std::vector<uint8_t>{0x0A, 0x1B}));
    EXPECT_EQ(ParseHex("01 02:03-04", "X"), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_TRUE(ParseHex("", "X").empty());
    EXPECT_THROW(ParseHex("123", "X"), UsageError);
    EXPECT_THROW(ParseHex("0g", "X"), UsageError);
    EXPECT_EQ(FormatHex(std::vector<uint8_t>{0x2A, 0x00}.data(), 2), "2A 00");
    EXPECT_EQ(ParseByte("0x10", "C"), 0x10);
    EXPECT_EQ(ParseByte("255", "C"), 255);
    for (const char* bad : {"256", "0x100", "", "1x", "-1"}) EXPECT_THROW(ParseByte(bad, "C"), UsageError) << bad;
}

namespace {
// Header (32 bytes), body, and an info TLV area holding the SHA-256 of header and body.
std::vector<uint8_t> Image(size_t body) {
    std::vector<uint8_t> b(32 + body + 40, 0);
    const uint8_t magic[] = {0x3D, 0xB8, 0xF3, 0x96};
    std::memcpy(b.data(), magic, 4);
    b[8] = 32;
    b[12] = static_cast<uint8_t>(body);
    b[13] = static_cast<uint8_t>(body >> 8);
    b[20] = 3, b[21] = 4, b[22] = 5, b[24] = 6;
    const uint8_t info[] = {0x07, 0x69, 40, 0, 0x10, 0, 32, 0};
    std::memcpy(&b[32 + body], info, sizeof info);
    for (size_t i = 0; i < body; ++i) b[32 + i] = static_cast<uint8_t>(i * 7);
    auto digest = Sha256(b.data(), 32 + body);
    std::memcpy(&b[32 + body + sizeof info], digest.data(), 32);
    return b;
}
}  // namespace

TEST(CliMcubootImage, ReadsVersionAndTrailerHash) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(FormatHex(Sha256(abc, 3).data(), 4, ""), "BA7816BF");  // the FIPS 180-2 example
    auto bytes = Image(300);
    auto image = ParseMcubootImage(bytes, "img");
    EXPECT_EQ(image.version, "3.4.5.6");
    ASSERT_TRUE(image.hash.has_value());
    EXPECT_TRUE(std::equal(image.hash->begin(), image.hash->end(), &bytes[32 + 300 + 8]));
}

TEST(CliMcubootImage, RejectsWhatIsNotAnImage) {
    auto shortFile = Image(300);
    shortFile.resize(20);
    auto badMagic = Image(300);
    badMagic[0] = 0;
    auto bodyTooLong = Image(300);
    bodyTooLong[13] = 0x7F;
    auto damaged = Image(300);
    damaged[100] ^= 0x01;  // one bit of the body
    auto damagedHeader = Image(300);
    damagedHeader[21] = 9;  // the version
    for (auto* bytes : {&shortFile, &badMagic, &bodyTooLong, &damaged, &damagedHeader})
        EXPECT_THROW(ParseMcubootImage(*bytes, "img"), OperationError);
    auto noTrailer = Image(300);
    noTrailer.resize(32 + 300);
    EXPECT_FALSE(ParseMcubootImage(noTrailer, "img").hash.has_value());
}

TEST(CliRowClock, RefusesBadSettingsAndCountsSkippedRows) {
    EXPECT_THROW(RowClock(0), std::invalid_argument);
    EXPECT_THROW(RowClock(-1), std::invalid_argument);
    EXPECT_THROW(RowClock(250, RowClockTuning{.slew = 0}), std::invalid_argument);
    EXPECT_THROW(RowClock(250, RowClockTuning{.counterRange = 1}), std::invalid_argument);

    RowClock clock(250);
    double times[5];
    clock.Stamp(0, 99.0, nullptr, times);  // nothing to stamp, nothing changes
    EXPECT_EQ(clock.Rows(), 0u);
    const double counters[] = {7, 8, 9, 10, 12};  // a counter that skips a row
    clock.Stamp(5, 100.0, counters, times);
    EXPECT_EQ(clock.Rows(), 5u);
    EXPECT_EQ(clock.Missing(), 1u);
    EXPECT_DOUBLE_EQ(times[4], 100.0);
    EXPECT_NEAR(times[4] - times[3], 2 * clock.Period(), 1e-12);
}

// A first batch that came late puts the line late; a timely one lowers it, and the times given
// out lag behind the line until the slew (1 % of a period per row) has taken the change up.
TEST(CliRowClock, LagIsTheLineChangeStillToBeSlewedIn) {
    RowClock clock(250);
    double times[10];
    EXPECT_EQ(clock.Lag(), 0.0);
    clock.Stamp(10, 10 * 0.004 + 0.020, nullptr, times);  // 20 ms late
    EXPECT_EQ(clock.Lag(), 0.0);
    clock.Stamp(10, 20 * 0.004, nullptr, times);  // on time: the line drops by 20 ms
    // Slewed at 1 % of a period per row, the chunk would end 19.6 ms after it arrived; it is drawn
    // back to its arrival instead, which leaves nothing to slew in.
    EXPECT_DOUBLE_EQ(times[9], 20 * 0.004);
    EXPECT_NEAR(clock.Lag(), 0.0, 1e-9);
    for (int chunk = 3; chunk <= 60; ++chunk) clock.Stamp(10, chunk * 10 * 0.004, nullptr, times);
    EXPECT_EQ(clock.Lag(), 0.0);
}
