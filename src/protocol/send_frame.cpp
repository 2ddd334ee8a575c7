#include "protocol/send_frame.h"

#include <algorithm>

#include "core/api_exception.h"
#include "protocol/command_frame.h"

namespace Mivo::BLE {

int32_t SendFrameOnDevice(IDevice& device, uint8_t command, const uint8_t* payload, uint16_t payloadLength,
                          uint8_t* status, uint8_t* response, uint16_t* responseLength, uint32_t timeoutMs) {
    const std::vector<uint8_t> frame = BuildRequestFrame(command, payload, payloadLength);
    const std::vector<uint8_t> received =
        device.SendFrame(frame.data(), static_cast<uint32_t>(frame.size()), timeoutMs);
    const auto checked = CheckResponseFrame(received);
    if (!checked) throw ApiException("SendFrame: malformed response frame", MIVOBLE_ERROR_DEVICE);

    if (status != nullptr) *status = checked->status;
    if (responseLength != nullptr) {
        const auto length = static_cast<uint16_t>(checked->payload.size());
        if (response != nullptr) {
            const uint16_t copied = std::min(*responseLength, length);
            std::copy_n(checked->payload.begin(), copied, response);
            *responseLength = copied;
        } else {
            *responseLength = length;
        }
    }
    return 0;
}

}  // namespace Mivo::BLE
