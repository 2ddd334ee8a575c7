// The executor's production time constants, on the real clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <memory>

#include "core/api_exception.h"
#include "runtime/await_bounded.h"
#include "runtime/bluetooth_executor.h"
#include "runtime_test_support.h"
#include "support/fake_stack.h"

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
    std::printf("gave up after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
    EXPECT_EQ(code, 3);
    EXPECT_GT(waited, 20000ms);
    EXPECT_LT(waited, 21500ms);  // the first poll past the limit
    EXPECT_EQ(log.Count("executor WEDGED: task 'BlockedForever' overran its 15000 ms budget."), 1u);
    // Warnings once per poll from the third second on.
    const size_t warnings = log.Count("executor: 'BlockedForever' still pending after");
    std::printf("%zu pending warnings\n", warnings);
    EXPECT_GE(warnings, 16u);
    EXPECT_LE(warnings, 19u);

    // Stop with the worker still stuck: 2000 ms, then detached.
    const auto stopStart = std::chrono::steady_clock::now();
    executor.Stop();
    const auto stopped = std::chrono::steady_clock::now() - stopStart;
    std::printf("stop returned after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(stopped).count()));
    EXPECT_GE(stopped, 2000ms);
    EXPECT_LT(stopped, 3000ms);
    EXPECT_TRUE(log.Has(kLogError, "executor: worker did not stop within 2000 ms; detaching it"));
    gate->Open();
}

TEST(BluetoothExecutorSlowTest, HungReadTimesOutInsideItsTaskWithinTheTaskBudget) {
    LogFile log;
    auto stack = std::make_shared<FakeStack>();
    ScopedStack installed(stack);
    auto ch = stack->AddDevice(1)->AddService({})->AddCharacteristic({});
    ch->read.Hang();
    BluetoothExecutor executor;  // production timing
    const auto start = std::chrono::steady_clock::now();
    int code = 0;
    std::string text;
    try {
        executor.Run("Read", 15000, [ch] { return AwaitBounded(ch->ReadValueAsync(), 10000, "ReadValueAsync"); });
    } catch (const ApiException& e) {
        code = e.Code();
        text = e.what();
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(code, 3);
    EXPECT_EQ(text, "Bluetooth operation 'ReadValueAsync' timed out.");
    EXPECT_GE(waited, 10000ms);
    EXPECT_LT(waited, 11000ms);
    EXPECT_TRUE(ch->read.WaitForCancelRequests(1));
    executor.Run("Barrier", 15000, [] {});  // the worker has logged the read task's line
    EXPECT_TRUE(log.Has(kLogError, "winrt: 'ReadValueAsync' timed out after 10000 ms; cancelling in background"));
    EXPECT_TRUE(log.Has(kLogDebug, "executor: 'Read' done in"));
    EXPECT_FALSE(executor.IsWedged());
}

}  // namespace
}  // namespace Mivo::BLE::Testing
