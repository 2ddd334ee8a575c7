// A full-size image upload over the simulated link, with progress, at the real time-outs.
#include "integration/smp/smp_sim_support.h"

namespace Mivo::BLE::Testing {
namespace {

TEST_F(SmpSimTest, LargeUploadReportsProgressForEveryChunk) {
    Sim::AmplifierConfig config;
    config.slotSize = 512 * 1024;
    config.smpParams = false;  // the fixed chunk sizes
    auto amplifier = AddAmplifier(config);
    const MIVOBLE_HANDLE handle = OpenOrFail(amplifier->Name());
    const Image image = BuildImage(3, 1, 4, 300 * 1024);
    const auto size = static_cast<uint32_t>(image.bytes.size());
    ProgressLog progress;
    ASSERT_EQ(MIVOBLE_UploadImage(handle, image.bytes.data(), size, 0, &ProgressLog::Record, &progress), MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(progress.offsets.size(), 1 + (size - 156 + 215) / 216);
    for (size_t i = 1; i < progress.offsets.size(); ++i) {
        ASSERT_EQ(progress.offsets[i] - progress.offsets[i - 1],
                  std::min<uint32_t>(216, size - progress.offsets[i - 1]));
    }
    EXPECT_EQ(progress.offsets.back(), size);
    EXPECT_EQ(amplifier->Images().at(1).data, image.bytes);
    MIVOBLE_IMAGE_STATE raw[2];
    EXPECT_EQ(List(handle, raw), (std::vector<Listed>{{0, 5, "1.0.0"}, {1, 0, "3.1.4"}}));
    EXPECT_EQ(std::vector<uint8_t>(raw[1].hash, raw[1].hash + 32), image.hash);
}

}  // namespace
}  // namespace Mivo::BLE::Testing
