#pragma once
// The library's own failure type: a message plus the result code the C boundary returns.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace Mivo::BLE {

class ApiException : public std::logic_error {
public:
    ApiException(const std::string& message, int32_t code) : std::logic_error(message), code_(code) {}
    int32_t Code() const noexcept { return code_; }

private:
    int32_t code_;
};

}  // namespace Mivo::BLE
