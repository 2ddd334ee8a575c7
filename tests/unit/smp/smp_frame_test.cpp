#include <gtest/gtest.h>

#include "fake_smp_device.h"
#include "smp/smp_frame.h"

namespace Mivo::BLE {
namespace {

using namespace Testing;

TEST(SmpFrame, HeaderIsBigEndianWithBodyLength) {
    const Bytes body(300, 0xA0);
    const Bytes frame = BuildSmpFrame(kSmpOpWrite, 0x0102, 0xAB, 5, body);
    ASSERT_EQ(frame.size(), 308u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 8), Bytes({0x02, 0x00, 0x01, 0x2C, 0x01, 0x02, 0xAB, 0x05}));
    EXPECT_EQ(FrameBody(frame), body);
}

struct ResultCase {
    Bytes response;
    int32_t rc;
    uint32_t offset;  // 7777 when it must stay untouched
};

TEST(SmpFrame, ParseSmpResultReadsRcAndOff) {
    const Bytes rc = Text("rc"), off = Text("off");
    const ResultCase cases[] = {
        {{0x03, 0, 0, 0, 0, 1, 0, 1}, -1, 7777},  // header only
        {{0x03, 0, 0}, -1, 7777},                 // not even a header
        {Response({0x81, 0x00}), -1, 7777},       // body not a map
        {Response(Cat({{0xBF}, rc, {0x00, 0xFF}})), 0, 7777},
        {Response(Cat({{0xA1}, rc, {0x08}})), 8, 7777},
        {Response(Cat({{0xA1}, Text("rsn"), Text("nope")})), 0, 7777},  // no "rc"
        {Response(Cat({{0xA2}, rc, {0x00}, off, {0x19, 0x01, 0x38}})), 0, 312},
        {Response(Cat({{0xA2}, rc, {0x01}, rc, {0x00}})), 0, 7777},  // the last "rc" counts
        {Response(Cat({{0xA1}, rc, {0x9F}})), -1, 7777},             // indefinite marker reads as -1
        {Response(Cat({{0xA1}, rc, {0x1A, 0x80, 0, 0, 0}})), INT32_MIN, 7777},
        // A value of an unexpected kind is skipped whole; the walk still finds "off".
        {Response(Cat({{0xA2}, rc, {0x82, 0x05, 0x07}, off, {0x0A}})), 2, 10},
        {Response(Cat({{0xA2}, Text("RC"), {0x05}, Text("offs"), {0x05}})), 0, 7777},  // exact keys only
        // No error code reads as success: negative, 64-bit and malformed values.
        {Response(Cat({{0xA1}, rc, {0x20}})), -1, 7777},
        {Response(Cat({{0xA1}, rc, {0x38, 0x07}})), -8, 7777},
        {Response(Cat({{0xA1}, rc, {0x3A, 0xFF, 0xFF, 0xFF, 0xFF}})), INT32_MIN, 7777},
        {Response(Cat({{0xA1}, rc, {0x1B, 0, 0, 0, 1, 0, 0, 0, 0}})), INT32_MAX, 7777},
        {Response(Cat({{0xA1}, rc, {0x1B, 0, 0, 0, 0, 0, 0, 0, 8}})), 8, 7777},
        {Response(Cat({{0xA1}, rc, {0x1B, 0, 0, 0, 0, 0, 0, 0, 0}})), 0, 7777},
        {Response(Cat({{0xA1}, rc, {0x3B, 0, 0, 0, 0, 0, 0, 0, 0}})), -1, 7777},
        {Response(Cat({{0xA1}, rc, {0x1B, 0, 0}})), -1, 7777},  // cut short
        {Response(Cat({{0xA1}, rc, {0x1C}})), -1, 7777},        // reserved width
    };
    for (const auto& c : cases) {
        uint32_t offset = 7777;
        EXPECT_EQ(ParseSmpResult(c.response, &offset), c.rc) << testing::PrintToString(c.response);
        EXPECT_EQ(offset, c.offset) << testing::PrintToString(c.response);
    }
}

TEST(SmpFrame, BodyIsTheWholeRemainderWhateverTheLengthField) {
    Bytes response = Response(Cat({{0xA1}, Text("rc"), {0x06}}));
    response[2] = 0;
    response[3] = 0;
    EXPECT_EQ(ParseSmpResult(response), 6);
    EXPECT_EQ(ParseSmpResult(Response({0xA1, 0x62, 'r', 'c'})), 0);  // value missing: reads as 0
}

TEST(SmpFrame, SequenceIsUsedThenIncrementedAndWraps) {
    SmpSequence sequence;
    for (int i = 0; i < 256; ++i) ASSERT_EQ(sequence.Next(), i);
    EXPECT_EQ(sequence.Next(), 0);
}

}  // namespace
}  // namespace Mivo::BLE
