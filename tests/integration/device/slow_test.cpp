// The production time constants of the device, checked on the simulator. Labelled slow.
#include "device_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

// Production timing throughout.
class ProductionTimingTest : public DeviceTest {
protected:
    DeviceTiming Timing() const override { return DeviceTiming{}; }
};

TEST_F(ProductionTimingTest, ReconnectPausesDoubleFrom500To5000Milliseconds) {
    auto amp = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    amp->RefuseConnects(6);
    const auto start = Clock::now();
    amp->DropLink();
    ASSERT_TRUE(Recorder::Instance().WaitFor(
        handle, [](const HandleRecord& r) { return r.states.size() >= 2; }, 40s));
    // 500 + 1000 + 2000 + 4000 + 5000 + 5000 ms of pauses before the seventh attempt.
    EXPECT_GE(Clock::now() - start, 17500ms);

    const int delays[] = {500, 1000, 2000, 4000, 5000, 5000};
    for (int attempt = 1; attempt <= 6; ++attempt) {
        const auto lines = log_.Lines("WARN ", "': reconnect attempt " + std::to_string(attempt) + " failed (");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("); retrying in " + std::to_string(delays[attempt - 1]) + " ms"), std::string::npos)
            << lines[0];
    }
    EXPECT_TRUE(log_.WaitFor("INFO ", "reconnected after 7 attempt(s)"));
}

TEST_F(ProductionTimingTest, FailedOpenAttemptIsFollowedByA500MillisecondPause) {
    Sim::AmplifierConfig config;
    config.refuseConnects = 1;
    auto amp = AddAmplifier(config);
    const auto start = Clock::now();
    OpenOrFail(amp->Name());
    EXPECT_GE(Clock::now() - start, 500ms);
    EXPECT_EQ(log_.Count("INFO ", "connect attempt 2/3"), 1);
}

}  // namespace
}  // namespace Mivo::BLE::Testing
