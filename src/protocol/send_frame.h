#pragma once
// The command-frame exchange behind MIVOBLE_SendFrame: builds the request frame, runs the
// device transaction and checks the response. Throws ApiException on failure; returns 0. The
// outputs (status, response, responseLength) are written only on success.
#include <cstdint>

#include "core/i_device.h"
#include "mivoble/mivoble.h"

namespace Mivo::BLE {

int32_t SendFrameOnDevice(IDevice& device, uint8_t command, const uint8_t* payload, uint16_t payloadLength,
                          uint8_t* status, uint8_t* response, uint16_t* responseLength, uint32_t timeoutMs);

}  // namespace Mivo::BLE
