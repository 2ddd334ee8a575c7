// Opening amplifiers on the simulated radio: both generations, detection, address
// resolution and scanning, retries and the failures an open reports.
#include <future>

#include "device_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string LastError() { return MIVOBLE_GetLastErrorText(); }

Sim::AmplifierConfig WithGeneration(Sim::Generation gen) {
    Sim::AmplifierConfig config;
    config.gen = gen;
    return config;
}

using OpenTest = DeviceTest;

TEST_F(OpenTest, LegacyAmplifierDescribesItselfThroughItsRecords) {
    auto amp = AddAmplifier();  // legacy, 8 signal channels + counter, 250 Hz
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());

    MIVOBLE_DEVICE_INFORMATION info{};
    ASSERT_EQ(MIVOBLE_GetDeviceInformation(handle, &info), MIVOBLE_OK);
    EXPECT_STREQ(info.serialNumber, amp->Name().c_str());
    EXPECT_STREQ(info.modelNumber, amp->Config().model.c_str());
    EXPECT_STREQ(info.firmwareRevision, amp->Config().fw.c_str());
    EXPECT_STREQ(info.hardwareRevision, amp->Config().hw.c_str());
    EXPECT_STREQ(info.manufacturerName, amp->Config().maker.c_str());
    EXPECT_EQ(info.numberOfAcquiredChannels, 11);
    EXPECT_EQ(info.samplingRate, 250);
    const std::vector<uint8_t> types(info.channelTypes, info.channelTypes + 11);
    EXPECT_THAT(types, ElementsAre(1, 1, 1, 1, 1, 1, 1, 1, 5, 4, 9));

    uint32_t count = 0;
    ASSERT_EQ(MIVOBLE_GetChannelConfiguration(handle, nullptr, &count), MIVOBLE_OK);
    EXPECT_EQ(count, 9u);

    auto device = factory_->Last();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Handler()->Name(), "mivo Legacy");
    EXPECT_EQ(device->GetBatteryLevel(), amp->Config().battery);
    EXPECT_TRUE(device->HasService("b5211405-449f-4ba0-a651-b887924b81e8"));
    EXPECT_FALSE(device->HasService("6E400001-B5A3-F393-E0A9-E50E24DCCA9E"));
    EXPECT_FALSE(device->HasService("not a uuid"));
    const std::string name = amp->Name();
    EXPECT_EQ(device->ReadCharacteristic(nullptr, "2a25"), std::vector<uint8_t>(name.begin(), name.end()));

    EXPECT_EQ(log_.Count("INFO ", "device '" + amp->Name() + "': connect attempt 1/3"), 1);
    EXPECT_EQ(log_.Count("INFO ", "device '" + amp->Name() + "': connected and configured (11 channels, 250 Hz)"), 1);
    EXPECT_EQ(amp->ConnectCount(), 1);
}

TEST_F(OpenTest, NusAmplifierStartsWithTheDefaultHostLayout) {
    auto amp = AddAmplifier(WithGeneration(Sim::Generation::Nus));
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());

    MIVOBLE_DEVICE_INFORMATION info{};
    ASSERT_EQ(MIVOBLE_GetDeviceInformation(handle, &info), MIVOBLE_OK);
    EXPECT_EQ(info.numberOfAcquiredChannels, 3);
    EXPECT_EQ(info.samplingRate, 256);
    EXPECT_THAT(std::vector<uint8_t>(info.channelTypes, info.channelTypes + 4), ElementsAre(1, 4, 9, 0));

    MIVOBLE_CHANNEL_CONFIGURATION channels[4]{};
    uint32_t count = 4;
    ASSERT_EQ(MIVOBLE_GetChannelConfiguration(handle, channels, &count), MIVOBLE_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(channels[0].id, 1);
    EXPECT_EQ(channels[0].type, 1);
    EXPECT_EQ(channels[0].index, 1);
    EXPECT_EQ(channels[0].scale, 1.0f);
    EXPECT_TRUE(factory_->Last()->Handler()->IsNusGeneration());
}

TEST_F(OpenTest, DetectionPicksNusWhenBothServicesArePresent) {
    auto amp = AddAmplifier(WithGeneration(Sim::Generation::Both));
    OpenOrFail(amp->Name());
    EXPECT_EQ(factory_->Last()->Handler()->Name(), "mivo NUS");
}

TEST_F(OpenTest, ForcedLegacyGenerationSkipsDetection) {
    SetDefaultGeneration(MIVOBLE_GENERATION_LEGACY);
    auto both = AddAmplifier(WithGeneration(Sim::Generation::Both));
    const MIVOBLE_HANDLE handle = OpenOrFail(both->Name());
    EXPECT_EQ(factory_->Last()->Handler()->Name(), "mivo Legacy");
    MIVOBLE_DEVICE_INFORMATION info{};
    ASSERT_EQ(MIVOBLE_GetDeviceInformation(handle, &info), MIVOBLE_OK);
    // The layout comes from the amplifier's own configuration records.
    const Sim::SampleLayout layout = both->Layout();
    EXPECT_EQ(info.numberOfAcquiredChannels, layout.channels + (layout.counter ? 1 : 0) + 2);
    EXPECT_EQ(info.samplingRate, layout.rate);

    // A NUS-only amplifier has no amplifier configuration to read.
    auto nus = AddAmplifier(WithGeneration(Sim::Generation::Nus));
    MIVOBLE_HANDLE failed = 0;
    EXPECT_EQ(Open(nus->Name(), failed), MIVOBLE_ERROR_DEVICE);
    EXPECT_EQ(LastError(), "Could not find characteristic 'B5211407-449F-4BA0-A651-B887924B81E8'.");
    EXPECT_EQ(failed, 0u);
}

TEST_F(OpenTest, NeitherServiceFailsDetectionOnEveryAttempt) {
    auto amp = AddAmplifier(WithGeneration(Sim::Generation::Neither));
    MIVOBLE_HANDLE handle = 0;
    EXPECT_EQ(Open(amp->Name(), handle), MIVOBLE_ERROR_DEVICE);
    const std::string text =
        "Device exposes neither the NUS nor the mivo data service; cannot auto-detect protocol generation.";
    EXPECT_EQ(LastError(), text);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(log_.Count("WARN ", "connect attempt " + std::to_string(attempt) + "/3 failed: " + text), 1);
    }
    // Every attempt tore its link down (the platform device closes in the background).
    EXPECT_TRUE(Eventually([&] { return !amp->IsConnected(); }));
}

TEST_F(OpenTest, RefusedConnectsAreRetriedWithTeardownInBetween) {
    Sim::AmplifierConfig config;
    config.refuseConnects = 2;
    auto amp = AddAmplifier(config);
    OpenOrFail(amp->Name());
    EXPECT_EQ(amp->RefusedConnectCount(), 2);
    EXPECT_EQ(amp->ConnectCount(), 1);

    const std::string prefix = "device '" + amp->Name() + "': ";
    EXPECT_EQ(log_.Count("WARN ", prefix + "connect attempt 1/3 failed: "), 1);
    EXPECT_EQ(log_.Count("WARN ", prefix + "connect attempt 2/3 failed: "), 1);
    EXPECT_EQ(log_.Count("INFO ", prefix + "connect attempt 3/3"), 1);
    EXPECT_GE(log_.Count("DEBUG", prefix + "tearing down transport"), 2);
}

TEST_F(OpenTest, NonConnectableAdvertisementIsRefused) {
    Sim::AmplifierConfig config;
    config.connectable = false;
    auto amp = AddAmplifier(config);
    MIVOBLE_HANDLE handle = 0;
    EXPECT_EQ(Open(amp->Name(), handle), MIVOBLE_ERROR_DEVICE);
    EXPECT_EQ(LastError(), "'" + amp->Name() + "' is not connectable.");
    EXPECT_EQ(amp->ConnectCount(), 0);
}

// Address resolution, with a scan limit short enough to run out.
class ResolveTest : public DeviceTest {
protected:
    DeviceTiming Timing() const override {
        DeviceTiming t = FastTiming();
        t.resolveLimit = 150ms;
        t.openAttempts = 1;
        return t;
    }
};

TEST_F(ResolveTest, UnknownNameFailsAfterTheScanLimitAndStopsTheScanItStarted) {
    ASSERT_FALSE(BleScanner::Instance().IsScanning());
    MIVOBLE_HANDLE handle = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Open("ZZ-0000.00.00", handle), MIVOBLE_ERROR_DEVICE);
    EXPECT_GE(Clock::now() - start, 150ms);
    EXPECT_EQ(LastError(), "Could not find device with the specified serial number.");
    EXPECT_EQ(log_.Count("WARN ", "device 'ZZ-0000.00.00': not found after "), 1);
    EXPECT_FALSE(BleScanner::Instance().IsScanning());
}

TEST_F(ResolveTest, ScanTheHostStartedKeepsRunning) {
    auto amp = AddAmplifier();
    ASSERT_EQ(MIVOBLE_StartScanning(), MIVOBLE_OK);
    OpenOrFail(amp->Name());
    EXPECT_TRUE(BleScanner::Instance().IsScanning());
    EXPECT_EQ(MIVOBLE_StopScanning(), MIVOBLE_OK);
}

TEST_F(ResolveTest, StaleAddressIsRefusedUntilAFreshAdvertisementArrives) {
    // A scanner of its own, so that entries go stale after 100 ms instead of 10 s.
    BleScanner scanner(ScannerTiming{100.0});
    auto amp = AddAmplifier();
    scanner.StartScanning();
    ASSERT_TRUE(Eventually([&] { return scanner.FindAddress(amp->Name()).found; }));
    scanner.StopScanning();
    amp->SetAdvertising(false);
    ASSERT_TRUE(Eventually([&] { return !scanner.FindAddress(amp->Name()).found; }));

    DeviceTiming timing = FastTiming();  // long enough a scan for the test to react
    const int staleLinesBefore = log_.Count("WARN ", "scanner: ignoring stale address for '" + amp->Name() + "'");
    auto open = std::async(std::launch::async,
                           [&] { return std::make_shared<BleDevice>(amp->Name(), nullptr, timing, &scanner); });
    // The open looks the name up, refuses the stale entry and starts scanning for it.
    ASSERT_TRUE(
        log_.WaitFor("WARN ", "scanner: ignoring stale address for '" + amp->Name() + "'", staleLinesBefore + 1));
    ASSERT_TRUE(log_.WaitFor("DEBUG", "scanner: advertisement watcher started (reconnect)"));
    amp->SetAdvertising(true);

    std::shared_ptr<BleDevice> device = open.get();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->IsReady());
    EXPECT_FALSE(scanner.IsScanning());  // the open stopped the scan it had started
    device->Close();
    EXPECT_TRUE(device->CanDestroy());
}

}  // namespace
}  // namespace Mivo::BLE::Testing
