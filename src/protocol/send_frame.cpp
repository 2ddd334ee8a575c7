#include "protocol/send_frame.h"

#include "api/api_exception.h"

namespace Mivo::BLE {

int32_t SendFrameExport(MIVOBLE_HANDLE, uint8_t, const uint8_t*, uint16_t, uint8_t*, uint8_t*, uint16_t*, uint32_t) {
    throw ApiException("SendFrame is not available yet.", -1);
}

}  // namespace Mivo::BLE
