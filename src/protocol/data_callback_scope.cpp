#include "protocol/data_callback_scope.h"

namespace Mivo::BLE {
namespace {
thread_local MIVOBLE_HANDLE t_handle = 0;
thread_local const void* t_stream = nullptr;
}  // namespace

DataCallbackScope::DataCallbackScope(MIVOBLE_HANDLE handle, const void* stream) noexcept
    : outerHandle_(t_handle), outerStream_(t_stream) {
    t_handle = handle;
    t_stream = stream;
}

DataCallbackScope::~DataCallbackScope() {
    t_handle = outerHandle_;
    t_stream = outerStream_;
}

MIVOBLE_HANDLE DataCallbackScope::CurrentHandle() noexcept { return t_handle; }

const void* DataCallbackScope::CurrentStream() noexcept { return t_stream; }

}  // namespace Mivo::BLE
