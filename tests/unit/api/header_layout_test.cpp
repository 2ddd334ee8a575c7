// Record layouts of the public header, as C++ and as C see them.
#include <gtest/gtest.h>

#include <cstddef>

#include "mivoble/mivoble.h"

extern "C" size_t mivoble_c_layout(int which);

static_assert(sizeof(MIVOBLE_DEVICE_INFORMATION) == 1344);
static_assert(offsetof(MIVOBLE_DEVICE_INFORMATION, modelNumber) == 0);
static_assert(offsetof(MIVOBLE_DEVICE_INFORMATION, serialNumber) == 255);
static_assert(offsetof(MIVOBLE_DEVICE_INFORMATION, firmwareRevision) == 510);
static_assert(offsetof(MIVOBLE_DEVICE_INFORMATION, hardwareRevision) == 765);
static_assert(offsetof(MIVOBLE_DEVICE_INFORMATION, manufacturerName) == 1020);
static_assert(offsetof(MIVOBLE_DEVICE_INFORMATION, channelTypes) == 1275);
static_assert(offsetof(MIVOBLE_DEVICE_INFORMATION, numberOfAcquiredChannels) == 1340);
static_assert(offsetof(MIVOBLE_DEVICE_INFORMATION, samplingRate) == 1342);
static_assert(sizeof(MIVOBLE_CHANNEL_CONFIGURATION) == 8);
static_assert(offsetof(MIVOBLE_CHANNEL_CONFIGURATION, type) == 2);
static_assert(offsetof(MIVOBLE_CHANNEL_CONFIGURATION, index) == 3);
static_assert(offsetof(MIVOBLE_CHANNEL_CONFIGURATION, scale) == 4);
static_assert(sizeof(MIVOBLE_IMAGE_STATE) == 72);
static_assert(offsetof(MIVOBLE_IMAGE_STATE, flags) == 1);
static_assert(offsetof(MIVOBLE_IMAGE_STATE, version) == 2);
static_assert(offsetof(MIVOBLE_IMAGE_STATE, hash) == 34);
static_assert(offsetof(MIVOBLE_IMAGE_STATE, reserved) == 66);
static_assert(sizeof(MIVOBLE_HANDLE) == 8 && static_cast<MIVOBLE_HANDLE>(-1) > 0);

TEST(HeaderLayoutTest, CAndCppAgreeOnRecordLayouts) {
    EXPECT_EQ(mivoble_c_layout(0), sizeof(MIVOBLE_DEVICE_INFORMATION));
    EXPECT_EQ(mivoble_c_layout(1), offsetof(MIVOBLE_DEVICE_INFORMATION, channelTypes));
    EXPECT_EQ(mivoble_c_layout(2), offsetof(MIVOBLE_DEVICE_INFORMATION, numberOfAcquiredChannels));
    EXPECT_EQ(mivoble_c_layout(3), offsetof(MIVOBLE_DEVICE_INFORMATION, samplingRate));
    EXPECT_EQ(mivoble_c_layout(4), sizeof(MIVOBLE_CHANNEL_CONFIGURATION));
    EXPECT_EQ(mivoble_c_layout(5), sizeof(MIVOBLE_IMAGE_STATE));
    EXPECT_EQ(mivoble_c_layout(6), offsetof(MIVOBLE_IMAGE_STATE, version));
}
