// The BlueZ backend's deadline timer: a task cancelled while the timer thread waits for its
// deadline neither runs nor leaves the thread reading the freed entry (AddressSanitizer).
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "platform/bluez/bluez_timer.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

using namespace std::chrono_literals;

TEST(DeadlineTimer, CancellingTheTaskTheThreadWaitsForLeavesTheOthersRunning) {
    DeadlineTimer timer;
    bool lateRan = false;
    for (int round = 0; round < 100; ++round) {
        const DeadlineTimer::Id late = timer.After(10s, [&] { lateRan = true; });
        std::promise<void> first;
        timer.After(0ms, [&] { first.set_value(); });
        first.get_future().wait();  // the thread goes on to wait for the late deadline
        timer.Cancel(late);
        std::promise<void> next;
        timer.After(1ms, [&] { next.set_value(); });
        ASSERT_EQ(next.get_future().wait_for(5s), std::future_status::ready) << "round " << round;
    }
    timer.Stop();
    EXPECT_FALSE(lateRan);
}

}  // namespace
}  // namespace Mivo::BLE::Platform::Bluez
