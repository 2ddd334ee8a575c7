/* The public header compiled as C99: record layouts as a C host program sees them. */
#include <stddef.h>

#include "mivoble/mivoble.h"

#define LAYOUT_CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

LAYOUT_CHECK(info_size, sizeof(MIVOBLE_DEVICE_INFORMATION) == 1344);
LAYOUT_CHECK(info_serial, offsetof(MIVOBLE_DEVICE_INFORMATION, serialNumber) == 255);
LAYOUT_CHECK(info_maker, offsetof(MIVOBLE_DEVICE_INFORMATION, manufacturerName) == 1020);
LAYOUT_CHECK(info_types, offsetof(MIVOBLE_DEVICE_INFORMATION, channelTypes) == 1275);
LAYOUT_CHECK(info_count, offsetof(MIVOBLE_DEVICE_INFORMATION, numberOfAcquiredChannels) == 1340);
LAYOUT_CHECK(info_rate, offsetof(MIVOBLE_DEVICE_INFORMATION, samplingRate) == 1342);
LAYOUT_CHECK(channel_size, sizeof(MIVOBLE_CHANNEL_CONFIGURATION) == 8);
LAYOUT_CHECK(channel_scale, offsetof(MIVOBLE_CHANNEL_CONFIGURATION, scale) == 4);
LAYOUT_CHECK(image_size, sizeof(MIVOBLE_IMAGE_STATE) == 72);
LAYOUT_CHECK(image_hash, offsetof(MIVOBLE_IMAGE_STATE, hash) == 34);

/* Sizes and offsets as this C translation unit computed them, for comparison from C++. */
size_t mivoble_c_layout(int which) {
    switch (which) {
        case 0: return sizeof(MIVOBLE_DEVICE_INFORMATION);
        case 1: return offsetof(MIVOBLE_DEVICE_INFORMATION, channelTypes);
        case 2: return offsetof(MIVOBLE_DEVICE_INFORMATION, numberOfAcquiredChannels);
        case 3: return offsetof(MIVOBLE_DEVICE_INFORMATION, samplingRate);
        case 4: return sizeof(MIVOBLE_CHANNEL_CONFIGURATION);
        case 5: return sizeof(MIVOBLE_IMAGE_STATE);
        case 6: return offsetof(MIVOBLE_IMAGE_STATE, version);
        default: return 0;
    }
}
