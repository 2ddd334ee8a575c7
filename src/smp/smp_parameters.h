#pragma once
// The OS group's "MCUmgr parameters" command (group 0, id 6): how large and how many request
// buffers the device's SMP server has, which decides how an upload may pipeline.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/i_device.h"

namespace Mivo::BLE {

// The request frame (read, empty map) with the given sequence number.
std::vector<uint8_t> BuildParametersRequest(uint8_t sequence);

// Reads a response: supported only with rc 0 (or none) and both "buf_size" and "buf_count"
// present as unsigned integers above zero. Anything else reads as not supported.
SmpServerParameters ParseParametersResponse(const uint8_t* response, size_t length);

// How an upload sends its chunks.
struct UploadPlan {
    size_t window = 1;        // requests in flight
    uint32_t firstChunk = 0;  // data bytes of the chunk at offset 0
    uint32_t laterChunk = 0;  // data bytes of any other chunk
};

inline constexpr size_t kMaxUploadWindow = 4;

// With usable parameters: a window of buf_count - 1 (1 to 4, at most `windowLimit`) and chunks
// whose frames fit both buf_size and one write (`maxFrame`). Otherwise, or when such frames
// would be too small for an image header, one request in flight and the fixed chunk sizes.
UploadPlan PlanUpload(const SmpServerParameters& parameters, size_t maxFrame, size_t windowLimit);

// The window limit set by the environment (MIVOBLE_SMP_WINDOW: 1 to 4), else 4.
size_t WindowLimitFromEnvironment();

}  // namespace Mivo::BLE
