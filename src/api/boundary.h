#pragma once
// The one place where exceptions turn into result codes at the C boundary, and the calling
// thread's last-error text.
#include <cstdint>
#include <exception>

#include "core/api_exception.h"

namespace Mivo::BLE {

inline constexpr size_t kLastErrorSize = 256;

// Copies at most 255 bytes of `text` plus a NUL into the calling thread's last-error buffer.
void SetLastErrorText(const char* text) noexcept;
const char* LastErrorText() noexcept;

// Runs `body`; an ApiException becomes its code, another standard exception -1, anything else
// -1 with "An unknown error appeared."; each also sets the last-error text. `onFailure`
// replaces the code for exports that report failures by value (the device count).
template <typename Body>
int32_t Boundary(Body&& body, const int32_t* onFailure = nullptr) noexcept {
    try {
        return body();
    } catch (const ApiException& e) {
        SetLastErrorText(e.what());
        return onFailure ? *onFailure : e.Code();
    } catch (const std::exception& e) {
        SetLastErrorText(e.what());
    } catch (...) {
        SetLastErrorText("An unknown error appeared.");
    }
    return onFailure ? *onFailure : -1;
}

}  // namespace Mivo::BLE
