// Command-frame transactions against the virtual amplifier's NUS responder and the SMP
// transport against its management server.
#include <future>
#include <stdexcept>

#include "device_test_support.h"
#include "smp/cbor.h"
#include "smp/smp_frame.h"

namespace Mivo::BLE::Testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

Sim::AmplifierConfig Nus() {
    Sim::AmplifierConfig config;
    config.gen = Sim::Generation::Nus;
    return config;
}

// Collects what a frame handler receives.
struct FrameLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> frames;

    FrameHandler Handler() {
        return [this](const uint8_t* data, size_t length) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                frames.emplace_back(data, data + length);
            }
            changed.notify_all();
        };
    }
    bool WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kWaitLimit, [&] { return frames.size() >= count; });
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
};

// A wide drain window, so that a stale notification lands in it even on a loaded machine.
class FrameTest : public DeviceTest {
protected:
    DeviceTiming Timing() const override {
        DeviceTiming t = FastTiming();
        t.frameDrainWindow = 100ms;
        t.frameDrainLimit = 600ms;
        return t;
    }
};

TEST_F(FrameTest, EchoWhileSamplesStream) {
    auto amp = AddAmplifier(Nus());
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(handle, RecordRow), MIVOBLE_OK);
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.rows >= 10; }));

    const uint8_t payload[] = {'a', 'b', 'c'};
    uint8_t status = 0xEE;
    uint8_t response[8] = {};
    uint16_t length = sizeof response;
    ASSERT_EQ(MIVOBLE_SendFrame(handle, 0x01, payload, sizeof payload, &status, response, &length, 1000), MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(status, 0);
    ASSERT_EQ(length, 3);
    EXPECT_THAT(std::vector<uint8_t>(response, response + 3), ElementsAre('a', 'b', 'c'));
    EXPECT_EQ(amp->NusRequestsReceived(), 1u);

    const uint64_t rows = Recorder::Instance().Get(handle).rows;
    EXPECT_TRUE(Recorder::Instance().WaitFor(handle, [&](const HandleRecord& r) { return r.rows >= rows + 10; }));
}

// A 500-byte payload: the request (506 bytes) goes out as a long write and the answer
// (507 bytes) arrives over several notifications, at the default MTU and the smallest one.
TEST_F(FrameTest, LongEchoRoundTripsOverPacketsOfAnyMtu) {
    std::vector<uint8_t> payload(500);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 13 + 1);
    for (size_t mtu : {247u, 23u}) {
        SCOPED_TRACE("mtu " + std::to_string(mtu));
        Sim::AmplifierConfig config = Nus();
        config.mtu = mtu;
        auto amp = AddAmplifier(config);
        const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());

        uint8_t status = 0xEE;
        std::vector<uint8_t> response(512);
        uint16_t length = static_cast<uint16_t>(response.size());
        ASSERT_EQ(MIVOBLE_SendFrame(handle, 0x01, payload.data(), 500, &status, response.data(), &length, 2000),
                  MIVOBLE_OK)
            << MIVOBLE_GetLastErrorText();
        EXPECT_EQ(status, 0);
        ASSERT_EQ(length, 500);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), response.begin()));

        // A short buffer receives a cut copy of the gathered answer.
        length = 4;
        ASSERT_EQ(MIVOBLE_SendFrame(handle, 0x01, payload.data(), 500, nullptr, response.data(), &length, 2000),
                  MIVOBLE_OK);
        EXPECT_EQ(length, 4);
        EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 4, response.begin()));

        // A trailing byte after a gathered frame still fails it.
        Sim::NusResponseScript trailing;
        trailing.trailing = {0x00};
        amp->ScriptNusResponse(trailing);
        EXPECT_EQ(MIVOBLE_SendFrame(handle, 0x01, payload.data(), 500, nullptr, nullptr, nullptr, 2000),
                  MIVOBLE_ERROR_DEVICE);
        EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "SendFrame: malformed response frame");
        EXPECT_EQ(amp->NusRequestsReceived(), 3u);
    }
}

TEST_F(FrameTest, LateAnswerToAnEarlierRequestIsDrainedNotTakenForTheResponse) {
    auto amp = AddAmplifier(Nus());
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    auto device = factory_->Last();
    FrameLog seen;
    device->SetFrameHandler(seen.Handler());  // keeps the TX subscription between transactions

    Sim::NusResponseScript late;
    late.delay = 30ms;
    amp->ScriptNusResponse(late);
    const uint8_t old[] = {'o', 'l', 'd'};
    EXPECT_EQ(MIVOBLE_SendFrame(handle, 0x01, old, sizeof old, nullptr, nullptr, nullptr, 0), MIVOBLE_ERROR_DEVICE);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "SendFrame: malformed response frame");

    // The echo of "old" arrives while this transaction drains; its own answer is 0x2A.
    uint8_t status = 0xEE;
    uint8_t response[8] = {};
    uint16_t length = sizeof response;
    ASSERT_EQ(MIVOBLE_SendFrame(handle, 0x10, nullptr, 0, &status, response, &length, 1000), MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(status, 0);
    ASSERT_EQ(length, 1);
    EXPECT_EQ(response[0], 0x2A);
    EXPECT_EQ(seen.Count(), 2u);  // the frame handler saw both answers
}

TEST_F(FrameTest, FrameHandlerKeepsReceivingAfterATransaction) {
    auto amp = AddAmplifier(Nus());
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    auto device = factory_->Last();
    FrameLog seen;
    device->SetFrameHandler(seen.Handler());
    uint8_t status = 0xEE;
    ASSERT_EQ(MIVOBLE_SendFrame(handle, 0x10, nullptr, 0, &status, nullptr, nullptr, 1000), MIVOBLE_OK);
    ASSERT_TRUE(seen.WaitFor(1));

    amp->SendNusUnsolicited({0xF0, 0x00, 0x00, 0x77, 0x00, 0x12, 0x34});
    ASSERT_TRUE(seen.WaitFor(2));
    EXPECT_THAT(seen.frames[1], ElementsAre(0xF0, 0x00, 0x00, 0x77, 0x00, 0x12, 0x34));

    device->SetFrameHandler(nullptr);
    EXPECT_EQ(MIVOBLE_SendFrame(handle, 0x10, nullptr, 0, &status, nullptr, nullptr, 1000), MIVOBLE_OK);
    EXPECT_EQ(seen.Count(), 2u);  // removed: the handler sees nothing more
}

TEST_F(FrameTest, ZeroTimeoutOnlyTestsForAnAnswerAndTheNextTransactionIsClean) {
    auto amp = AddAmplifier(Nus());
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    uint8_t status = 0xEE;
    Sim::NusResponseScript slow;
    slow.delay = 100ms;
    amp->ScriptNusResponse(slow);
    EXPECT_EQ(MIVOBLE_SendFrame(handle, 0x10, nullptr, 0, &status, nullptr, nullptr, 0), MIVOBLE_ERROR_DEVICE);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "SendFrame: malformed response frame");
    EXPECT_EQ(status, 0xEE);  // a failure leaves the outputs alone

    // The late answer went nowhere (unsubscribed); the next transaction gets its own.
    EXPECT_EQ(MIVOBLE_SendFrame(handle, 0x10, nullptr, 0, &status, nullptr, nullptr, 1000), MIVOBLE_OK);
    EXPECT_EQ(status, 0);
}

TEST_F(FrameTest, LegacyAmplifierHasNoTxCharacteristic) {
    auto amp = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    EXPECT_EQ(MIVOBLE_SendFrame(handle, 0x01, nullptr, 0, nullptr, nullptr, nullptr, 100), MIVOBLE_ERROR_DEVICE);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Could not find characteristic '6E400003-B5A3-F393-E0A9-E50E24DCCA9E'.");
}

TEST_F(FrameTest, FrameHandlerOnALegacyDeviceIsRefusedAndLeavesReconnectsAlone) {
    auto amp = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    FrameLog seen;
    try {
        factory_->Last()->SetFrameHandler(seen.Handler());
        ADD_FAILURE() << "a legacy device has no TX characteristic";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Could not find characteristic '6E400003-B5A3-F393-E0A9-E50E24DCCA9E'.");
    }
    amp->DropLink();
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.states.size() >= 2; }));
    EXPECT_THAT(Recorder::Instance().Get(handle).states,
                ElementsAre(MIVOBLE_CONNECTION_LOST, MIVOBLE_CONNECTION_CONNECTED));
}

TEST_F(FrameTest, ConcurrentTransactionsOnOneDeviceEachGetTheirOwnAnswer) {
    auto amp = AddAmplifier(Nus());
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    auto run = [handle](uint8_t tag) {
        int matched = 0;
        for (int i = 0; i < 8; ++i) {
            const uint8_t payload[] = {tag, static_cast<uint8_t>(i)};
            uint8_t response[4] = {};
            uint16_t length = sizeof response;
            if (MIVOBLE_SendFrame(handle, 0x01, payload, sizeof payload, nullptr, response, &length, 1000) ==
                    MIVOBLE_OK &&
                length == 2 && response[0] == tag && response[1] == i) {
                ++matched;
            }
        }
        return matched;
    };
    auto other = std::async(std::launch::async, run, 0xB0);
    EXPECT_EQ(run(0xA0), 8);
    EXPECT_EQ(other.get(), 8);
    EXPECT_EQ(amp->NusRequestsReceived(), 16u);
}

// ---- SMP ----

std::vector<uint8_t> EchoFrame(const std::string& text, uint8_t op = kSmpOpWrite) {
    CborWriter body;
    body.WriteMapHeader(1);
    body.WriteText("d");
    body.WriteText(text);
    return BuildSmpFrame(op, kSmpGroupOs, 0, kSmpOsEcho, body.Bytes());
}

bool Contains(const std::vector<uint8_t>& bytes, const std::string& text) {
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

using SmpTest = DeviceTest;

TEST_F(SmpTest, ResponseSplitOverSeveralNotificationsIsReassembled) {
    Sim::AmplifierConfig config;
    config.smpSplit = 3;
    auto amp = AddAmplifier(config);
    OpenOrFail(amp->Name());
    auto device = factory_->Last();

    const std::vector<uint8_t> response = device->SendSmpCommand(EchoFrame("split in three"), 1000);
    ASSERT_GE(response.size(), kSmpHeaderSize);
    EXPECT_EQ(response.size(), kSmpHeaderSize + ((response[2] << 8) | response[3]));
    EXPECT_TRUE(Contains(response, "split in three"));
    EXPECT_EQ(ParseSmpResult(response), 0);
}

TEST_F(SmpTest, HeaderCutAfterThreeBytesStillCompletes) {
    Sim::AmplifierConfig config;
    config.smpSplit = 8;  // 3-byte notifications: the length field arrives in the second one
    auto amp = AddAmplifier(config);
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    char text[32] = {};
    uint32_t size = sizeof text;
    ASSERT_EQ(MIVOBLE_Echo(handle, "tiny pieces", text, &size), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_STREQ(text, "tiny pieces");
}

TEST_F(SmpTest, NoResponseTimesOutAfterTheWriteAndTheNextCommandWorks) {
    auto amp = AddAmplifier();
    OpenOrFail(amp->Name());
    auto device = factory_->Last();

    // A frame that is not a request gets no answer.
    const auto start = Clock::now();
    try {
        device->SendSmpCommand(EchoFrame("nobody answers", 1), 150);
        ADD_FAILURE() << "a command without a response must time out";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "SMP command timed out waiting for response");
    }
    EXPECT_GE(Clock::now() - start, 150ms);

    const std::vector<uint8_t> response = device->SendSmpCommand(EchoFrame("after the time-out"), 1000);
    EXPECT_TRUE(Contains(response, "after the time-out"));
}

TEST_F(SmpTest, ConcurrentCommandsOnOneDeviceDoNotShareAResponse) {
    auto amp = AddAmplifier();
    OpenOrFail(amp->Name());
    auto device = factory_->Last();
    auto run = [&](const std::string& tag) {
        int matched = 0;
        for (int i = 0; i < 6; ++i) {
            const std::string text = tag + std::to_string(i);
            if (Contains(device->SendSmpCommand(EchoFrame(text), 1000), text)) ++matched;
        }
        return matched;
    };
    auto other = std::async(std::launch::async, run, "second-");
    EXPECT_EQ(run("first-"), 6);
    EXPECT_EQ(other.get(), 6);
}

}  // namespace
}  // namespace Mivo::BLE::Testing
