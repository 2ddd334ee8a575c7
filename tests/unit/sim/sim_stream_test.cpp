// Sample streaming: real-time pacing, payload layouts and bytes against hand-computed
// values, the legacy counter, the NUS host layout, determinism.
#include <gtest/gtest.h>

#include "platform/sim/sim_wire.h"
#include "sim_test_client.h"

namespace {

using namespace SimTest;
using namespace Mivo::BLE;
using namespace Mivo::BLE::Sim;

TEST(SimStream, LegacyPacingAndCounter) {
    auto sim = MakeSimStack("MV-T,rate=250,channels=8");
    auto amp = sim->Find("MV-T");
    auto link = Open(*sim, "MV-T");
    auto start = Clock::now();
    Subscription samples(link->Char(kSample));
    EXPECT_TRUE(amp->IsStreaming());
    ASSERT_TRUE(samples.values.WaitSize(50));
    auto elapsed = Clock::now() - start;
    // 50 payloads of one frame at 250 Hz: 200 ms of signal.
    EXPECT_GE(elapsed, 190ms);
    EXPECT_LT(elapsed, 5000ms);  // generous: only catches a stream that is not paced at all
    auto values = samples.values.Items();
    for (size_t i = 0; i < 50; ++i) {
        ASSERT_EQ(values[i].size(), 27u);
        EXPECT_EQ(Be24(values[i], 24), static_cast<int32_t>(i + 1)) << "counter of payload " << i;
        for (size_t c = 0; c < 8; ++c) EXPECT_LE(std::abs(Be24(values[i], 3 * c)), 20000 + 5000 * 7 + 100);
    }
    // Distinct channels: the sine of channel 7 is not the sine of channel 0.
    EXPECT_NE(Be24(values[10], 0), Be24(values[10], 21));

    // Unsubscribing stops the stream; resubscribing starts the counter at 1 again.
    samples.Stop();
    EXPECT_FALSE(amp->IsStreaming());
    size_t sent = amp->NotificationsSent();
    for (int i = 0; i < 8; ++i) link->Read("2A19");  // at least 8 ms of link time
    EXPECT_EQ(amp->NotificationsSent(), sent);
    Subscription again(link->Char(kSample));
    ASSERT_TRUE(again.values.WaitSize(1));
    EXPECT_EQ(Be24(again.values.At(0), 24), 1);
}

// Channel 0: 2 Hz, amplitude 20000; channel 1: 3.5 Hz, amplitude 25000; noise within 100.
// At 16 Hz: channel 0 = 20000 sin(pi k / 4), channel 1 = 25000 sin(7 pi k / 16).
TEST(SimStream, PayloadBytesMatchHandComputedValues) {
    auto sim = MakeSimStack("MV-V,channels=2,counter=1,frames=4,rate=16,seed=7");
    auto link = Open(*sim, "MV-V");
    EXPECT_EQ(link->Read(kAmpConfig), (Bytes{16, 0, 3, 0, 0, 0, 0, 0, 36, 0, 3, 0, 12, 0, 2, 0}));
    Subscription samples(link->Char(kSample));
    ASSERT_TRUE(samples.values.WaitSize(2, 3000ms));
    const int ch0[8] = {0, 14142, 20000, 14142, 0, -14142, -20000, -14142};
    const int ch1[8] = {0, 24520, 9567, -20787, -17678, 13889, 23097, -4877};
    for (size_t p = 0; p < 2; ++p) {
        Bytes b = samples.values.At(p);
        ASSERT_EQ(b.size(), 36u);  // 4 frames x (2 signals + counter) x 3 bytes, frame-major
        for (size_t f = 0; f < 4; ++f) {
            size_t k = p * 4 + f;
            EXPECT_NEAR(Be24(b, 9 * f), ch0[k], 100) << "frame " << k;
            EXPECT_NEAR(Be24(b, 9 * f + 3), ch1[k], 100) << "frame " << k;
            EXPECT_EQ(Be24(b, 9 * f + 6), static_cast<int>(p + 1));  // the counter counts payloads
        }
    }
}

TEST(SimStream, SameSeedSameData) {
    auto payloads = [](const std::string& config) {
        auto sim = MakeSimStack(config);
        auto link = Open(*sim, "MV-W");
        Subscription samples(link->Char(kSample));
        EXPECT_TRUE(samples.values.WaitSize(5));
        auto v = samples.values.Items();
        v.resize(5);
        return v;
    };
    auto a = payloads("MV-W,rate=1000,seed=5");
    EXPECT_EQ(a, payloads("MV-W,rate=1000,seed=5"));
    EXPECT_NE(a, payloads("MV-W,rate=1000,seed=6"));
}

TEST(SimStream, NusDefaultAndHostLayout) {
    auto sim = MakeSimStack("MV-N1,gen=nus;MV-N2,gen=nus");
    {
        auto link = Open(*sim, "MV-N1");
        auto start = Clock::now();
        Subscription samples(link->Char(kSample));
        ASSERT_TRUE(samples.values.WaitSize(64));
        auto elapsed = Clock::now() - start;
        EXPECT_GE(elapsed, 240ms);  // 64 single-frame payloads at 256 Hz
        EXPECT_LT(elapsed, 5000ms);
        for (auto& v : samples.values.Items()) ASSERT_EQ(v.size(), 3u);
    }
    // Layout 2 channels, 4 frames, 4 bytes, little-endian, 16 Hz, set before streaming.
    auto link = Open(*sim, "MV-N2");
    Subscription tx(link->Char(kNusTx));
    Bytes frame{0xF0, 0x00, 0x07, 0x20, 2, 0, 4, 4, 1, 0, 16};
    uint16_t crc = Sim::Wire::Crc16CcittFalse(frame.data() + 1, frame.size() - 1);
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc));
    EXPECT_EQ(Await(link->Char(kNusRx)->WriteValueWithResultAsync(frame, Platform::WriteOption::WithoutResponse)),
              GattStatus::Success);
    ASSERT_TRUE(tx.values.WaitSize(1));
    EXPECT_EQ(tx.values.At(0)[4], 0);  // status OK
    Subscription samples(link->Char(kSample));
    ASSERT_TRUE(samples.values.WaitSize(1));
    Bytes b = samples.values.At(0);
    ASSERT_EQ(b.size(), 32u);
    auto le32 = [&](size_t at) {
        return static_cast<int32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24);
    };
    const int ch0[4] = {0, 14142, 20000, 14142};
    const int ch1[4] = {0, 24520, 9567, -20787};
    for (size_t f = 0; f < 4; ++f) {
        EXPECT_NEAR(le32(8 * f), ch0[f], 100);
        EXPECT_NEAR(le32(8 * f + 4), ch1[f], 100);
    }
}

}  // namespace
