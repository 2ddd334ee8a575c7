// Responses are matched to their requests by header; anything else is dropped.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_smp_device.h"
#include "smp/smp_frame.h"
#include "smp/smp_response_matcher.h"

namespace Mivo::BLE {
namespace {

using namespace Testing;
using Clock = std::chrono::steady_clock;

// A response frame with the given header fields and a one-byte body.
Bytes Answer(uint8_t op, uint16_t group, uint8_t sequence, uint8_t id, uint8_t body = 0xA0) {
    return {op, 0, 0, 1, static_cast<uint8_t>(group >> 8), static_cast<uint8_t>(group), sequence, id, body};
}

const SmpKey kEcho = *ResponseKeyOf(BuildSmpFrame(kSmpOpWrite, kSmpGroupOs, 7, kSmpOsEcho, {0xA0}));

TEST(SmpResponseMatcher, OnlyTheAnswerWithTheRequestsHeaderIsTaken) {
    struct Case {
        const char* name;
        Bytes stray;  // arrives first and must be dropped
    };
    const Case cases[] = {
        {"wrong sequence (a late answer)", Answer(3, 0, 6, 0, 0xA1)},
        {"wrong group", Answer(3, 1, 7, 0, 0xA1)},
        {"wrong id", Answer(3, 0, 7, 5, 0xA1)},
        {"wrong op (read response)", Answer(1, 0, 7, 0, 0xA1)},
        {"a request, not a response", Answer(2, 0, 7, 0, 0xA1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SmpResponseMatcher matcher("MV-TEST");
        matcher.Expect(kEcho);
        matcher.OnNotification(c.stray.data(), c.stray.size());
        EXPECT_FALSE(matcher.Wait(kEcho, Clock::now()).has_value()) << "the stray answer was taken";
        matcher.Expect(kEcho);
        const Bytes right = Answer(3, 0, 7, 0);
        matcher.OnNotification(right.data(), right.size());
        EXPECT_EQ(matcher.Wait(kEcho, Clock::now() + std::chrono::seconds(1)), right);
    }
}

TEST(SmpResponseMatcher, SplitAnswerAroundALateOneAndSeveralFramesInOneNotification) {
    SmpResponseMatcher matcher("MV-TEST");
    const SmpKey first{3, 1, 10, 1}, second{3, 1, 11, 1};
    matcher.Expect(first);
    matcher.Expect(second);
    const Bytes late = Answer(3, 1, 9, 1, 0xA1);  // the answer to a request that timed out
    const Bytes a = Cat({{3, 0, 0, 4, 0, 1, 10, 1}, {0xA1, 0x61, 'r', 0x01}});
    const Bytes b = Answer(3, 1, 11, 1);
    // The late answer whole, then the first answer in three pieces, the last piece sharing its
    // notification with the second answer.
    matcher.OnNotification(late.data(), late.size());
    matcher.OnNotification(a.data(), 3);
    matcher.OnNotification(a.data() + 3, 6);
    const Bytes tail = Cat({Bytes(a.begin() + 9, a.end()), b});
    matcher.OnNotification(tail.data(), tail.size());
    EXPECT_EQ(matcher.Wait(second, Clock::now()), b);
    EXPECT_EQ(matcher.Wait(first, Clock::now()), a);
    EXPECT_EQ(matcher.OutstandingForTesting(), 0u);
}

TEST(SmpResponseMatcher, AnswerAfterTheTimeOutIsDroppedAndAResetForgetsPartialData) {
    SmpResponseMatcher matcher("MV-TEST");
    matcher.Expect(kEcho);
    EXPECT_FALSE(matcher.Wait(kEcho, Clock::now() + std::chrono::milliseconds(5)).has_value());
    const Bytes late = Answer(3, 0, 7, 0);
    matcher.OnNotification(late.data(), late.size());
    EXPECT_EQ(matcher.OutstandingForTesting(), 0u);

    matcher.OnNotification(late.data(), 5);  // a frame cut off by the end of a session
    matcher.Reset();
    matcher.Expect(kEcho);
    matcher.OnNotification(late.data(), late.size());
    EXPECT_EQ(matcher.Wait(kEcho, Clock::now()), late);
}

}  // namespace
}  // namespace Mivo::BLE
