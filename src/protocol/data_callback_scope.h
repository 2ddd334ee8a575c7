#pragma once
// Marks the calling thread as running a data callback of one device, for as long as the
// scope lives. A data callback runs on a notification thread while its device's stream is
// being delivered, so a call it makes into the library must neither wait for that stream nor
// wait for Bluetooth answers that queue behind it; the C boundary and the stream look here to
// tell such calls apart.
#include "mivoble/mivoble.h"

namespace Mivo::BLE {

class DataCallbackScope {
public:
    // handle: the handle the rows are delivered under; stream: the delivering stream.
    DataCallbackScope(MIVOBLE_HANDLE handle, const void* stream) noexcept;
    ~DataCallbackScope();
    DataCallbackScope(const DataCallbackScope&) = delete;
    DataCallbackScope& operator=(const DataCallbackScope&) = delete;

    // The handle whose data callback this thread is running; 0 outside any data callback.
    static MIVOBLE_HANDLE CurrentHandle() noexcept;
    // The stream delivering to that callback; nullptr outside any data callback.
    static const void* CurrentStream() noexcept;

private:
    MIVOBLE_HANDLE outerHandle_;
    const void* outerStream_;
};

}  // namespace Mivo::BLE
