// The executor's production time constants, on the real clock.
#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "api/api_exception.h"
#include "runtime/bluetooth_executor.h"
#include "runtime_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

using namespace std::chrono_literals;

TEST(BluetoothExecutorSlowTest, BlockedTaskWithAFifteenSecondBudgetIsGivenUpAfterTwentySeconds) {
    LogFile log;
    BluetoothExecutor executor;  // production timing
    auto gate = std::make_shared<Gate>();
    const auto start = std::chrono::steady_clock::now();
    int code = 0;
    try {
        executor.Run("BlockedForever", 15000, [gate] { gate->Wait(); });
    } catch (const ApiException& e) {
        code = e.Code();
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(code, 3);
    EXPECT_GT(waited, 20000ms);
    EXPECT_LT(waited, 21500ms);  // the first poll past the limit
    EXPECT_EQ(log.Count("executor WEDGED: task 'BlockedForever' overran its 15000 ms budget."), 1u);
    // Warnings once per poll from the third second on.
    const size_t warnings = log.Count("executor: 'BlockedForever' still pending after");
    EXPECT_GE(warnings, 16u);
    EXPECT_LE(warnings, 19u);

    // Stop with the worker still stuck: 2000 ms, then detached.
    const auto stopStart = std::chrono::steady_clock::now();
    executor.Stop();
    const auto stopped = std::chrono::steady_clock::now() - stopStart;
    EXPECT_GE(stopped, 2000ms);
    EXPECT_LT(stopped, 3000ms);
    EXPECT_TRUE(log.Has(kLogError, "executor: worker did not stop within 2000 ms; detaching it"));
    gate->Open();
}

}  // namespace
}  // namespace Mivo::BLE::Testing
