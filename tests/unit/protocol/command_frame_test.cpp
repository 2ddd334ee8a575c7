#include "protocol/command_frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "api/handle_registry.h"
#include "core/api_exception.h"
#include "protocol/frame_response_collector.h"
#include "protocol/send_frame.h"
#include "support/stub_device.h"

namespace Mivo::BLE {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Testing::StubDevice;

Bytes Response(uint8_t command, uint8_t status, const Bytes& payload) {
    const size_t n = payload.size();
    Bytes r(n + 7, 0);
    r[0] = 0xF0;
    r[1] = static_cast<uint8_t>(n >> 8);
    r[2] = static_cast<uint8_t>(n);
    r[3] = command;
    r[4] = status;
    std::copy(payload.begin(), payload.end(), r.begin() + 5);
    const uint16_t crc = Crc16CcittFalse(std::span<const uint8_t>(r).subspan(1, n + 4));
    r[n + 5] = static_cast<uint8_t>(crc >> 8);
    r[n + 6] = static_cast<uint8_t>(crc);
    return r;
}

// ---- frames -------------------------------------------------------------------------------

TEST(CommandFrames, CrcCheckValue) {
    const std::string text = "123456789";
    EXPECT_EQ(Crc16CcittFalse(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())), 0x29B1);
    EXPECT_EQ(Crc16CcittFalse({}), 0xFFFF);
}

TEST(CommandFrames, RequestBytes) {
    const uint8_t payload[] = {0x01, 0x02};
    EXPECT_EQ(BuildRequestFrame(0x10, payload, 2), (Bytes{0xF0, 0x00, 0x02, 0x10, 0x01, 0x02, 0xAC, 0x74}));
    EXPECT_EQ(BuildRequestFrame(0x01, nullptr, 0), (Bytes{0xF0, 0x00, 0x00, 0x01, 0xDC, 0xBD}));
    // A null payload with a length sends zeros.
    const uint8_t zeros[3] = {};
    EXPECT_EQ(BuildRequestFrame(0x22, nullptr, 3), BuildRequestFrame(0x22, zeros, 3));
}

TEST(CommandFrames, PayloadLimitIs512) {
    const Bytes big(513, 0x55);
    const Bytes frame = BuildRequestFrame(0x30, big.data(), 512);
    ASSERT_EQ(frame.size(), 518u);
    EXPECT_EQ(frame[1], 0x02);
    EXPECT_EQ(frame[2], 0x00);
    try {
        BuildRequestFrame(0x30, big.data(), 513);
        ADD_FAILURE();
    } catch (const ApiException& e) {
        EXPECT_STREQ(e.what(), "SendFrame: payload too large");
        EXPECT_EQ(e.Code(), 4);
    }
}

TEST(CommandFrames, ResponseExampleAndChecks) {
    const Bytes example{0xF0, 0x00, 0x01, 0x10, 0x00, 0x2A, 0xA1, 0xF3};
    auto checked = CheckResponseFrame(example);
    ASSERT_TRUE(checked.has_value());
    EXPECT_EQ(checked->status, 0x00);
    EXPECT_EQ(Bytes(checked->payload.begin(), checked->payload.end()), Bytes{0x2A});

    auto empty = CheckResponseFrame(Response(0x99, 0x05, {}));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->status, 0x05);
    EXPECT_TRUE(empty->payload.empty());
    EXPECT_TRUE(CheckResponseFrame(Response(1, 0, Bytes(512, 7))).has_value());

    Bytes trailing = example;
    trailing.push_back(0x00);
    EXPECT_FALSE(CheckResponseFrame(trailing));
    Bytes badCrc = example;
    badCrc.back() ^= 0x01;
    EXPECT_FALSE(CheckResponseFrame(badCrc));
    Bytes badStart = example;
    badStart[0] = 0xF1;
    EXPECT_FALSE(CheckResponseFrame(badStart));
    EXPECT_FALSE(CheckResponseFrame(Bytes(example.begin(), example.end() - 1)));
    EXPECT_FALSE(CheckResponseFrame(Bytes{}));
    // A well-formed frame whose length field says 513.
    EXPECT_FALSE(CheckResponseFrame(Response(1, 0, Bytes(513, 7))));
}

// ---- the exchange on a device -------------------------------------------------------------

class FakeFrameDevice final : public StubDevice {
public:
    Bytes reply;
    Bytes sentFrame;
    uint32_t sentTimeout = 0;
    int sends = 0;

    std::vector<uint8_t> SendFrame(const uint8_t* frame, uint32_t length, uint32_t timeoutMs) override {
        ++sends;
        sentFrame.assign(frame, frame + length);
        sentTimeout = timeoutMs;
        return reply;
    }
};

struct Outputs {
    uint8_t status = 0xEE;
    uint8_t response[16];
    uint16_t length = 0;
    Outputs() { std::fill(std::begin(response), std::end(response), 0xEE); }
};

TEST(SendFrame, CopiesStatusAndAsMuchPayloadAsFits) {
    FakeFrameDevice device;
    device.reply = Response(0x77, 0x03, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});  // other command byte, non-zero status
    const uint8_t payload[] = {0xAB};
    Outputs out;
    out.length = 4;
    EXPECT_EQ(SendFrameOnDevice(device, 0x10, payload, 1, &out.status, out.response, &out.length, 250), 0);
    EXPECT_EQ(device.sentFrame, BuildRequestFrame(0x10, payload, 1));
    EXPECT_EQ(device.sentTimeout, 250u);
    EXPECT_EQ(out.status, 0x03);
    EXPECT_EQ(out.length, 4);
    EXPECT_EQ(Bytes(out.response, out.response + 5), (Bytes{0, 1, 2, 3, 0xEE}));

    // No buffer: the length of the payload is reported.
    out.length = 1;
    EXPECT_EQ(SendFrameOnDevice(device, 0x10, nullptr, 0, nullptr, nullptr, &out.length, 250), 0);
    EXPECT_EQ(out.length, 10);
    // No length: nothing copied.
    Outputs untouched;
    EXPECT_EQ(SendFrameOnDevice(device, 0x10, nullptr, 0, nullptr, untouched.response, nullptr, 250), 0);
    EXPECT_EQ(untouched.response[0], 0xEE);
}

TEST(SendFrame, FailuresLeaveTheOutputsAlone) {
    FakeFrameDevice device;
    Bytes bad = Response(0x10, 0x00, {1, 2});
    bad.push_back(0);  // trailing byte
    for (const Bytes& reply : {Bytes{}, bad}) {
        device.reply = reply;
        Outputs out;
        out.length = 16;
        try {
            SendFrameOnDevice(device, 0x10, nullptr, 0, &out.status, out.response, &out.length, 0);
            ADD_FAILURE();
        } catch (const ApiException& e) {
            EXPECT_STREQ(e.what(), "SendFrame: malformed response frame");
            EXPECT_EQ(e.Code(), 3);
        }
        EXPECT_EQ(out.status, 0xEE);
        EXPECT_EQ(out.length, 16);
        EXPECT_EQ(out.response[0], 0xEE);
    }
    const int before = device.sends;
    const Bytes big(513, 0);
    EXPECT_THROW(SendFrameOnDevice(device, 1, big.data(), 513, nullptr, nullptr, nullptr, 0), ApiException);
    EXPECT_EQ(device.sends, before);  // refused before anything was sent
}

TEST(SendFrame, ExportLooksTheHandleUp) {
    auto device = std::make_shared<FakeFrameDevice>();
    device->reply = Response(0x10, 0x00, {0x2A});
    const MIVOBLE_HANDLE handle = HandleRegistry::Instance().Register(device, "frame-test");
    uint8_t status = 0xFF;
    EXPECT_EQ(MIVOBLE_SendFrame(handle, 0x10, nullptr, 0, &status, nullptr, nullptr, 10), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(device->sends, 1);
    HandleRegistry::Instance().Remove(handle);
    EXPECT_EQ(MIVOBLE_SendFrame(handle, 0x10, nullptr, 0, &status, nullptr, nullptr, 10), 1);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Invalid device handle.");
    EXPECT_EQ(device->sends, 1);
}

// ---- the response collector ---------------------------------------------------------------

constexpr FrameTiming kFastTiming{5ms, 40ms};

TEST(FrameResponseCollector, ResponseFromAnotherThreadEndsTheWait) {
    FrameResponseCollector c(kFastTiming);
    c.Reset();
    std::thread amplifier([&] {
        const Bytes r{1, 2, 3};
        c.OnNotification(r.data(), r.size());
    });
    EXPECT_EQ(c.WaitForResponse(10s), (Bytes{1, 2, 3}));
    amplifier.join();
    EXPECT_TRUE(c.WaitForResponse(0ms).empty());  // the buffer was taken
}

TEST(FrameResponseCollector, ZeroTimeoutOnlyTestsTheFlag) {
    FrameResponseCollector c(kFastTiming);
    EXPECT_TRUE(c.WaitForResponse(0ms).empty());
    const Bytes r{9};
    c.OnNotification(r.data(), r.size());
    c.OnNotification(r.data(), r.size());
    EXPECT_EQ(c.WaitForResponse(0ms), (Bytes{9, 9}));
}

TEST(FrameResponseCollector, StaleNotificationIsDrainedNotTakenForTheResponse) {
    FrameResponseCollector c(kFastTiming);
    c.Reset();
    const Bytes stale{0xF0, 0xAA};
    c.OnNotification(stale.data(), stale.size());
    EXPECT_EQ(c.DrainStale(), 1u);
    EXPECT_TRUE(c.WaitForResponse(0ms).empty());
    const Bytes fresh{0xF0, 0xBB};
    c.OnNotification(fresh.data(), fresh.size());
    EXPECT_EQ(c.WaitForResponse(0ms), fresh);
}

TEST(FrameResponseCollector, DrainingEndsAtItsLimitUnderAConstantStream) {
    // Windows far longer than the limit: only the limit can end the draining early, and a
    // slow scheduler cannot make a window look quiet.
    const FrameTiming timing{3s, 50ms};
    FrameResponseCollector c(timing);
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        const Bytes r{1};
        while (!stop) {
            c.OnNotification(r.data(), r.size());
            std::this_thread::yield();
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_GE(c.DrainStale(), 1u);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    stop = true;
    chatter.join();
    EXPECT_GE(elapsed, timing.drainLimit);
    EXPECT_LT(elapsed, timing.drainWindow);
}

}  // namespace
}  // namespace Mivo::BLE
