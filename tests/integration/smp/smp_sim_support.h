#pragma once
// Shared pieces of the management tests on the simulated radio: boot-loader images, image
// lists in a comparable form, and a fixture with list and echo helpers.
#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "integration/device/device_test_support.h"
#include "smp/sha256.h"

namespace Mivo::BLE::Testing {

struct Image {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> hash;  // what the device reports: SHA-256 over header and body
};

inline void PutLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A bootable image in the boot loader's format: 32-byte header, body, TLV area with its hash.
inline Image BuildImage(uint8_t major, uint8_t minor, uint16_t revision, size_t bodySize) {
    Image image;
    auto& out = image.bytes;
    PutLe(out, 0x96f3b83d, 4);
    PutLe(out, 0, 4);
    PutLe(out, 32, 2);
    PutLe(out, 0, 2);
    PutLe(out, bodySize, 4);
    PutLe(out, 0, 4);
    out.insert(out.end(), {major, minor});
    PutLe(out, revision, 2);
    PutLe(out, 0, 8);
    for (size_t i = 0; i < bodySize; ++i) out.push_back(static_cast<uint8_t>(i * 31 + (i >> 9)));
    const auto hash = ComputeSha256(out.data(), out.size());
    image.hash.assign(hash.begin(), hash.end());
    PutLe(out, 0x6907, 2);
    PutLe(out, 4 + 4 + 32, 2);
    PutLe(out, 0x10, 2);
    PutLe(out, 32, 2);
    out.insert(out.end(), hash.begin(), hash.end());
    return image;
}

struct Listed {
    int slot;
    int flags;
    std::string version;
    bool operator==(const Listed&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Listed& l) {
    return os << "{slot " << l.slot << ", flags " << l.flags << ", '" << l.version << "'}";
}

class SmpSimTest : public DeviceTest {
protected:
    std::vector<Listed> List(MIVOBLE_HANDLE handle, MIVOBLE_IMAGE_STATE* raw = nullptr) {
        MIVOBLE_IMAGE_STATE images[4];
        uint32_t count = 4;
        ::testing::internal::CaptureStderr();  // the diagnostic lines
        const int32_t rc = MIVOBLE_ListImages(handle, images, &count);
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        std::vector<Listed> out;
        for (uint32_t i = 0; i < count; ++i) out.push_back({images[i].slot, images[i].flags, images[i].version});
        if (raw && count > 0) std::memcpy(raw, images, sizeof(MIVOBLE_IMAGE_STATE) * count);
        return out;
    }
    std::string EchoText(MIVOBLE_HANDLE handle, const std::string& message) {
        char buffer[300];
        uint32_t size = sizeof buffer;
        EXPECT_EQ(MIVOBLE_Echo(handle, message.c_str(), buffer, &size), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        return std::string(buffer, size);
    }
};

struct ProgressLog {
    std::vector<uint32_t> offsets;
    uint32_t total = 0;
    static void Record(MIVOBLE_HANDLE, uint32_t offset, uint32_t total, void* self) {
        auto* log = static_cast<ProgressLog*>(self);
        log->offsets.push_back(offset);
        log->total = total;
    }
};

}  // namespace Mivo::BLE::Testing
