// Link loss, reconnection with back-off, and closing in every state of the reconnect thread.
#include <future>

#include "device_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

using ::testing::ElementsAre;

constexpr int kCounterColumn = 8;

using ReconnectTest = DeviceTest;

TEST_F(ReconnectTest, DropWhileStreamingIsReportedAndRowsResumeWithoutReRegistration) {
    auto amp = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    Recorder::Instance().TrackCounter(handle, kCounterColumn);
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(handle, RecordRow), MIVOBLE_OK);
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.rows >= 50; }));

    amp->DropLink();
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.states.size() >= 2; }));
    EXPECT_THAT(Recorder::Instance().Get(handle).states,
                ElementsAre(MIVOBLE_CONNECTION_LOST, MIVOBLE_CONNECTION_CONNECTED));

    // The counter starts again with the new subscription; from there it runs on unbroken.
    Recorder::Instance().RestartCounter(handle);
    const uint64_t rowsAtReconnect = Recorder::Instance().Get(handle).rows;
    ASSERT_TRUE(
        Recorder::Instance().WaitFor(handle, [&](const HandleRecord& r) { return r.rows >= rowsAtReconnect + 100; }));
    EXPECT_EQ(Recorder::Instance().Get(handle).counterBreaks, 0u);
    EXPECT_EQ(amp->ConnectCount(), 2);
    EXPECT_THAT(Recorder::Instance().Get(handle).states,
                ElementsAre(MIVOBLE_CONNECTION_LOST, MIVOBLE_CONNECTION_CONNECTED));

    const std::string prefix = "device '" + amp->Name() + "': ";
    // In the log before the loss was reported: no waiting for it.
    EXPECT_EQ(log_.Count("WARN ", prefix + "link lost (unsolicited=1)"), 1);
    EXPECT_EQ(log_.Count("INFO ", prefix + "reconnect attempt 1"), 1);
    // The line follows the CONNECTED report on the reconnect thread.
    EXPECT_TRUE(log_.WaitFor("INFO ", prefix + "reconnected after 1 attempt(s)"));
    EXPECT_EQ(log_.Count("INFO ", prefix + "reconnected after"), 1);
}

TEST_F(ReconnectTest, BatchedDeliveryRestartsWithAnEmptyBatchAfterAReconnect) {
    auto amp = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_SetFramesPerCallback(handle, 7), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(handle, RecordBatch), MIVOBLE_OK);
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.batches >= 3; }));
    amp->DropLink();
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.states.size() >= 2; }));
    const uint64_t batchesAtReconnect = Recorder::Instance().Get(handle).batches;
    ASSERT_TRUE(Recorder::Instance().WaitFor(
        handle, [&](const HandleRecord& r) { return r.batches >= batchesAtReconnect + 5; }));
    for (uint32_t size : Recorder::Instance().Get(handle).batchSizes) EXPECT_EQ(size, 7u);
}

// A NUS amplifier streaming in a host layout (4 channels, 2 frames: rows of 6 values). After
// a lost link it still streams in that layout, so the host keeps it; after a restart it
// streams in its default layout (rows of 3), which the host falls back to, until the host
// sets its layout again.
TEST_F(ReconnectTest, NusHostLayoutSurvivesALostLinkAndFallsBackAfterARestart) {
    enum class Event { LinkDrop, Restart, RestartThenLayoutAgain };
    const struct {
        Event event;
        uint32_t widthAfter;
        int fallbackLines;
    } cases[] = {{Event::LinkDrop, 6, 0}, {Event::Restart, 3, 1}, {Event::RestartThenLayoutAgain, 6, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.event));
        Sim::AmplifierConfig config;
        config.gen = Sim::Generation::Nus;
        config.resetDelay = 10ms;
        auto amp = AddAmplifier(config);
        const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
        auto setLayout = [&] {
            const uint8_t layout[] = {4, 0, 2, 3, 0, 0x01, 0xF4};  // 4 channels, 2 frames, 3 bytes BE, 500 Hz
            uint8_t status = 0xEE;
            ASSERT_EQ(MIVOBLE_SendFrame(handle, 0x20, layout, sizeof layout, &status, nullptr, nullptr, 1000),
                      MIVOBLE_OK);
            ASSERT_EQ(status, 0);
            ASSERT_EQ(MIVOBLE_SetActiveLayout(handle, 4, 2, 3, 0, 500), 0);
        };
        setLayout();
        ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
        ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(handle, RecordRow), MIVOBLE_OK);
        ASSERT_TRUE(
            Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.rows >= 20 && r.width == 6; }));

        if (c.event == Event::LinkDrop) amp->DropLink();
        else ASSERT_EQ(MIVOBLE_ResetDevice(handle), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.states.size() >= 2; }));
        EXPECT_THAT(Recorder::Instance().Get(handle).states,
                    ElementsAre(MIVOBLE_CONNECTION_LOST, MIVOBLE_CONNECTION_CONNECTED));
        if (c.event == Event::RestartThenLayoutAgain) {
            ASSERT_TRUE(
                log_.WaitFor("WARN ", "device '" + amp->Name() + "': sample payloads have the default layout's size"));
            setLayout();
        }

        const uint64_t rowsAtReconnect = Recorder::Instance().Get(handle).rows;
        EXPECT_TRUE(Recorder::Instance().WaitFor(
            handle, [&](const HandleRecord& r) { return r.rows >= rowsAtReconnect + 40 && r.width == c.widthAfter; }))
            << "rows " << Recorder::Instance().Get(handle).rows << ", width " << Recorder::Instance().Get(handle).width;
        EXPECT_EQ(log_.Count("WARN ", "device '" + amp->Name() + "': sample payloads have the default layout's size"),
                  c.fallbackLines);
        EXPECT_EQ(amp->ResetCount(), c.event == Event::LinkDrop ? 0 : 1);
    }
}

// Reconnects that keep failing: the pause doubles from 20 ms up to 160 ms.
TEST_F(ReconnectTest, RepeatedFailuresBackOffUpToTheCapAndNeverGiveUp) {
    auto amp = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    amp->RefuseConnects(6);
    amp->DropLink();
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.states.size() >= 2; }));
    EXPECT_THAT(Recorder::Instance().Get(handle).states,
                ElementsAre(MIVOBLE_CONNECTION_LOST, MIVOBLE_CONNECTION_CONNECTED));

    const std::string prefix = "device '" + amp->Name() + "': reconnect attempt ";
    const int delays[] = {20, 40, 80, 160, 160, 160};
    for (int attempt = 1; attempt <= 6; ++attempt) {
        const std::string line = prefix + std::to_string(attempt) + " failed (";
        const auto lines = log_.Lines("WARN ", line);
        ASSERT_EQ(lines.size(), 1u) << line;
        EXPECT_NE(lines[0].find("); retrying in " + std::to_string(delays[attempt - 1]) + " ms"), std::string::npos)
            << lines[0];
    }
    EXPECT_TRUE(log_.WaitFor("INFO ", "device '" + amp->Name() + "': reconnected after 7 attempt(s)"));
    EXPECT_EQ(amp->RefusedConnectCount(), 6);
}

// Long pauses, a short close bound and slow service discovery bounds, to see Close act in
// each state of the reconnect thread.
class CloseTest : public DeviceTest {
protected:
    DeviceTiming Timing() const override {
        DeviceTiming t = FastTiming();
        t.reconnectFirstDelay = 5000ms;
        t.reconnectMaxDelay = 5000ms;
        t.closeBound = 300ms;
        t.servicesBoundMs = 1500;
        return t;
    }
};

TEST_F(CloseTest, CloseWhileWaitingOutADelayEndsTheWaitAndDestroysTheDevice) {
    auto amp = AddAmplifier();
    MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    std::weak_ptr<BleDevice> device = factory_->Last();
    amp->RefuseConnects(100);
    amp->DropLink();
    ASSERT_TRUE(log_.WaitFor("WARN ", "device '" + amp->Name() + "': reconnect attempt 1 failed"));

    const auto start = Clock::now();
    EXPECT_EQ(Close(handle), MIVOBLE_OK);
    EXPECT_LT(Clock::now() - start, 1000ms);  // not the 5000 ms pause
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(device.expired());  // joined and destroyed, not leaked
    EXPECT_EQ(log_.Count("ERROR", "did not exit"), 0);
    EXPECT_EQ(log_.Count("INFO ", "device '" + amp->Name() + "': closed"), 1);
}

TEST_F(CloseTest, CloseWhileAReconnectIsStuckReturnsWithinTheBoundAndLeaksTheDevice) {
    auto amp = AddAmplifier();
    MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    const MIVOBLE_HANDLE registered = handle;
    std::shared_ptr<BleDevice> device = factory_->Last();
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(handle, RecordRow), MIVOBLE_OK);
    amp->Hang(Sim::kOpServices);
    amp->DropLink();
    ASSERT_TRUE(Eventually([&] { return amp->PendingOperations() > 0; }));  // discovery is stuck

    const auto start = Clock::now();
    EXPECT_EQ(Close(handle), MIVOBLE_OK);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 800ms);  // the stuck discovery (1500 ms bound) is not waited for
    EXPECT_EQ(log_.Count("ERROR", "device '" + amp->Name() +
                                      "': reconnect thread did not exit within 300 ms; detaching it. The device object "
                                      "will be leaked rather than destroyed."),
              1);
    EXPECT_EQ(log_.Count("ERROR", "handle " + std::to_string(registered) +
                                      ": Bluetooth transport unresponsive; leaking the device object"),
              1);
    EXPECT_TRUE(device->IsLeaked());
    EXPECT_FALSE(device->CanDestroy());
    MIVOBLE_DEVICE_INFORMATION info{};
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(registered, &info), MIVOBLE_ERROR_INVALID_HANDLE);

    // The bounded wait ends the stuck attempt; the detached thread then tears down and exits.
    EXPECT_TRUE(device->WaitForReconnectThreadExit(kWaitLimit));
    EXPECT_TRUE(Eventually([&] { return !amp->IsConnected(); }));
    EXPECT_EQ(log_.Count("WARN ", "device '" + amp->Name() +
                                      "': reconnect attempt 1 failed (Bluetooth operation "
                                      "'GetGattServicesAsync' timed out.)"),
              1);
}

MIVOBLE_HANDLE g_closeFromCallback = 0;
std::atomic<int32_t> g_closeFromCallbackResult{99};

void CloseOnLoss(MIVOBLE_HANDLE handle, uint32_t state) {
    RecordState(handle, state);
    if (state != MIVOBLE_CONNECTION_LOST) return;
    MIVOBLE_HANDLE h = g_closeFromCallback;
    g_closeFromCallbackResult = MIVOBLE_CloseDevice(&h);
}

TEST_F(ReconnectTest, ClosingFromTheConnectionStateCallbackDetachesTheThreadAndLeaks) {
    auto amp = AddAmplifier();
    MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    std::shared_ptr<BleDevice> device = factory_->Last();
    g_closeFromCallback = handle;
    g_closeFromCallbackResult = 99;
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, CloseOnLoss), MIVOBLE_OK);
    amp->DropLink();

    ASSERT_TRUE(device->WaitForReconnectThreadExit(kWaitLimit));
    EXPECT_EQ(g_closeFromCallbackResult.load(), MIVOBLE_OK);
    EXPECT_THAT(Recorder::Instance().Get(handle).states, ElementsAre(MIVOBLE_CONNECTION_LOST));
    EXPECT_EQ(log_.Count("WARN ", "device '" + amp->Name() + "': closed from its own reconnect thread; detaching it"),
              1);
    EXPECT_EQ(log_.Count("ERROR", "handle " + std::to_string(handle) + ": Bluetooth transport unresponsive"), 1);
    EXPECT_TRUE(device->IsLeaked());
    EXPECT_EQ(log_.Count("INFO ", "device '" + amp->Name() + "': reconnect attempt"), 0);
    EXPECT_EQ(amp->ConnectCount(), 1);
    MIVOBLE_DEVICE_INFORMATION info{};
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(handle, &info), MIVOBLE_ERROR_INVALID_HANDLE);
}

TEST_F(ReconnectTest, CloseOfAConnectedDeviceReportsNoLossAndDestroysIt) {
    auto amp = AddAmplifier();
    MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    const MIVOBLE_HANDLE registered = handle;
    std::weak_ptr<BleDevice> device = factory_->Last();
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    EXPECT_EQ(Close(handle), MIVOBLE_OK);
    EXPECT_TRUE(device.expired());
    EXPECT_TRUE(Eventually([&] { return !amp->IsConnected(); }));
    // The close's own teardown is not a link loss.
    EXPECT_EQ(log_.Count("WARN ", "link lost (unsolicited=1)"), 0);
    EXPECT_TRUE(Recorder::Instance().Get(registered).states.empty());
}

}  // namespace
}  // namespace Mivo::BLE::Testing
