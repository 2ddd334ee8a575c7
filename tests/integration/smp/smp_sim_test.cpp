// Management commands end to end: the C exports, the device's SMP transport and the simulated
// amplifier's MCUmgr server.
#include <stdexcept>

#include "api/handle_registry.h"
#include "integration/smp/smp_sim_support.h"
#include "smp/management_commands.h"

namespace Mivo::BLE::Testing {
namespace {

TEST_F(SmpSimTest, UploadTestResetConfirmErase) {
    Sim::AmplifierConfig config;
    config.smpParams = false;  // older firmware: one chunk at a time, the fixed chunk sizes
    auto amplifier = AddAmplifier(config);
    const MIVOBLE_HANDLE handle = OpenOrFail(amplifier->Name());
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    EXPECT_EQ(List(handle), (std::vector<Listed>{{0, 5, "1.0.0"}}));

    const Image image = BuildImage(1, 2, 3, 12 * 1024);
    ProgressLog progress;
    ASSERT_EQ(MIVOBLE_UploadImage(handle, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()), 0,
                                  &ProgressLog::Record, &progress),
              MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    ASSERT_FALSE(progress.offsets.empty());
    EXPECT_EQ(progress.offsets.front(), 156u);
    EXPECT_EQ(progress.offsets.back(), image.bytes.size());
    EXPECT_EQ(progress.total, image.bytes.size());
    EXPECT_TRUE(std::is_sorted(progress.offsets.begin(), progress.offsets.end()));
    EXPECT_EQ(amplifier->Images().at(1).data, image.bytes);

    MIVOBLE_IMAGE_STATE raw[2];
    EXPECT_EQ(List(handle, raw), (std::vector<Listed>{{0, 5, "1.0.0"}, {1, 0, "1.2.3"}}));
    EXPECT_EQ(std::vector<uint8_t>(raw[1].hash, raw[1].hash + 32), image.hash);

    ASSERT_EQ(MIVOBLE_TestImage(handle, image.hash.data()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(List(handle), (std::vector<Listed>{{0, 5, "1.0.0"}, {1, 2, "1.2.3"}}));

    // The reset reboots the amplifier; the device reconnects by itself and runs the test image.
    ASSERT_EQ(MIVOBLE_ResetDevice(handle), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) {
        return r.states.size() >= 2 && r.states.back() == MIVOBLE_CONNECTION_CONNECTED;
    }));
    EXPECT_EQ(amplifier->ResetCount(), 1);
    EXPECT_EQ(List(handle), (std::vector<Listed>{{0, 4, "1.2.3"}, {1, 1, "1.0.0"}}));

    ASSERT_EQ(MIVOBLE_ConfirmImage(handle), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(List(handle), (std::vector<Listed>{{0, 5, "1.2.3"}, {1, 0, "1.0.0"}}));
    ASSERT_EQ(MIVOBLE_EraseImage(handle), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(List(handle), (std::vector<Listed>{{0, 5, "1.2.3"}}));
}

TEST_F(SmpSimTest, DeviceRefusalsReachTheCaller) {
    auto amplifier = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amplifier->Name());
    // Not the boot loader's format: the device rejects the first chunk.
    const std::vector<uint8_t> junk(1000, 0x11);
    EXPECT_EQ(MIVOBLE_UploadImage(handle, junk.data(), 1000, 0, nullptr, nullptr), MIVOBLE_ERROR_GENERAL);
    EXPECT_THAT(MIVOBLE_GetLastErrorText(), ::testing::StartsWith("Upload failed at offset 0/1000: SMP rc=1 "));
    const uint8_t unknown[32] = {1};
    EXPECT_EQ(MIVOBLE_TestImage(handle, unknown), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Test image failed.");
    // The running image cannot be erased.
    const Image image = BuildImage(2, 0, 0, 1000);
    ASSERT_EQ(
        MIVOBLE_UploadImage(handle, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()), 0, nullptr, nullptr),
        MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_TestImage(handle, image.hash.data()), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_EraseImage(handle), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Erase image failed.");
}

TEST_F(SmpSimTest, ResponsesSplitOverManyNotifications) {
    Sim::AmplifierConfig config;
    config.mtu = 23;  // 20-byte notifications
    auto amplifier = AddAmplifier(config);
    const MIVOBLE_HANDLE handle = OpenOrFail(amplifier->Name());
    const std::string message(255, 'e');
    EXPECT_EQ(EchoText(handle, message), message);
    amplifier->SetSmpSplit(7);
    EXPECT_EQ(EchoText(handle, "split"), "split");
    EXPECT_EQ(List(handle), (std::vector<Listed>{{0, 5, "1.0.0"}}));
    const Image image = BuildImage(1, 1, 0, 3000);
    EXPECT_EQ(
        MIVOBLE_UploadImage(handle, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()), 0, nullptr, nullptr),
        MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(amplifier->Images().at(1).data, image.bytes);
}

TEST_F(SmpSimTest, NoAnswerInTimeIsATimeOut) {
    Sim::AmplifierConfig config;
    config.eraseTime = std::chrono::milliseconds(400);
    auto amplifier = AddAmplifier(config);
    const MIVOBLE_HANDLE handle = OpenOrFail(amplifier->Name());
    const auto device = HandleRegistry::Instance().Lookup(handle);
    SmpTimeouts fast;
    fast.eraseImage = 50;
    try {
        EraseImage(*device, fast);
        FAIL() << "erase answered within 50 ms";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "SMP command timed out waiting for response");
    }
}

}  // namespace
}  // namespace Mivo::BLE::Testing
