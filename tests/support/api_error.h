#pragma once
// Checking the ApiException a call throws.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "core/api_exception.h"

namespace Mivo::BLE::Testing {

// The ApiException `call` throws; a test failure (and an empty exception) when it throws none.
template <typename F>
ApiException CatchApiException(F&& call) {
    try {
        std::forward<F>(call)();
    } catch (const ApiException& e) {
        return e;
    }
    ADD_FAILURE() << "no ApiException";
    return ApiException("", 0);
}

// `call` throws an ApiException with exactly this text and code.
template <typename F>
void ExpectApiError(F&& call, const std::string& text, int32_t code = 3) {
    const ApiException e = CatchApiException(std::forward<F>(call));
    EXPECT_EQ(std::string(e.what()), text);
    EXPECT_EQ(e.Code(), code);
}

}  // namespace Mivo::BLE::Testing
