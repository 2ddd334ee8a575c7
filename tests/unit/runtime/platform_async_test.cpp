// The platform seam's shared completion state and its thread pool.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/async_operation.h"
#include "platform/backend.h"
#include "platform/thread_pool.h"
#include "runtime_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

using namespace std::chrono_literals;
using Platform::AsyncStatus;
using Platform::PlatformError;

TEST(AsyncOperationTest, FirstFinishWinsAndResultsFollowTheStatus) {
    auto done = Platform::MakeAsyncOperation<int>();
    EXPECT_EQ(done->WaitFor(0ms), AsyncStatus::Started);
    try {
        done->GetResults();
        ADD_FAILURE() << "results of a running operation";
    } catch (const PlatformError& e) {
        EXPECT_EQ(e.code, -3);
    }
    EXPECT_TRUE(done->Complete(5));
    EXPECT_FALSE(done->Fail({-9, "late"}));
    EXPECT_FALSE(done->MarkCanceled());
    EXPECT_EQ(done->Status(), AsyncStatus::Completed);
    EXPECT_EQ(done->GetResults(), 5);

    auto failed = Platform::MakeAsyncOperation<int>();
    EXPECT_TRUE(failed->Fail({-42, "gatt error"}));
    EXPECT_FALSE(failed->Complete(1));
    try {
        failed->GetResults();
        ADD_FAILURE() << "no error";
    } catch (const PlatformError& e) {
        EXPECT_EQ(e.code, -42);
        EXPECT_EQ(e.message, "gatt error");
    }

    auto cancelled = Platform::MakeAsyncOperation<int>();
    cancelled->Cancel();
    EXPECT_EQ(cancelled->Status(), AsyncStatus::Canceled);
    EXPECT_THROW(cancelled->GetResults(), PlatformError);
}

TEST(AsyncOperationTest, CancelRunsTheHookOnlyWhileRunning) {
    auto op = Platform::MakeAsyncOperation<int>();
    int hooks = 0;
    op->OnCancel([&] { ++hooks; });
    op->Cancel();
    op->Cancel();
    EXPECT_EQ(hooks, 1);

    auto finished = Platform::MakeAsyncOperation<int>();
    int late = 0;
    finished->OnCancel([&] { ++late; });
    finished->Complete(1);
    finished->Cancel();  // too late: no hook, the result stands
    EXPECT_EQ(late, 0);
    EXPECT_EQ(finished->GetResults(), 1);
}

TEST(AsyncOperationTest, HandlerFiresOnceOnTheCompletingThreadOrAtOnceWhenAlreadyDone) {
    auto op = Platform::MakeAsyncOperation<int>();
    std::vector<std::thread::id> calls;
    op->SetCompleted([&](AsyncStatus s) {
        EXPECT_EQ(s, AsyncStatus::Completed);
        calls.push_back(std::this_thread::get_id());
    });
    std::thread producer([op] { op->Complete(3); });
    const auto producerId = producer.get_id();
    producer.join();
    op->Complete(4);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], producerId);

    AsyncStatus seen = AsyncStatus::Started;
    op->SetCompleted([&](AsyncStatus s) { seen = s; });
    EXPECT_EQ(seen, AsyncStatus::Completed);
}

TEST(AsyncOperationTest, ManyConcurrentFinishersProduceExactlyOneOutcome) {
    for (int round = 0; round < 50; ++round) {
        auto op = Platform::MakeAsyncOperation<int>();
        std::atomic<int> handlerCalls{0};
        op->SetCompleted([&](AsyncStatus) { ++handlerCalls; });
        std::atomic<int> winners{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&, i] {
                bool won = (i % 2) ? op->Complete(i) : op->Fail({i, "f"});
                if (won) ++winners;
                op->Cancel();
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(winners.load(), 1);
        EXPECT_EQ(handlerCalls.load(), 1);
        EXPECT_NE(op->Status(), AsyncStatus::Started);
    }
}

TEST(ThreadPoolTest, RunsWorkOffTheCallerAndSurvivesThrowingItems) {
    Platform::ThreadPool pool(2);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    auto allDone = std::make_shared<std::promise<void>>();
    auto remaining = std::make_shared<std::atomic<int>>(10);
    ASSERT_TRUE(pool.Submit([] { throw PlatformError{-1, "ignored"}; }));
    ASSERT_TRUE(pool.Submit([] { throw std::runtime_error("ignored"); }));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(pool.Submit([&, allDone, remaining] {
            {
                std::lock_guard<std::mutex> lock(mutex);
                threads.insert(std::this_thread::get_id());
            }
            if (--*remaining == 0) allDone->set_value();
        }));
    }
    ASSERT_EQ(allDone->get_future().wait_for(10s), std::future_status::ready);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_LE(threads.size(), 2u);
}

TEST(ThreadPoolTest, ShutdownFinishesQueuedWorkThenRefusesMore) {
    Platform::ThreadPool pool(1);
    auto gate = std::make_shared<Gate>();
    std::atomic<int> ran{0};
    ASSERT_TRUE(pool.Submit([gate, &ran] {
        gate->Wait();
        ++ran;
    }));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(pool.Submit([&ran] { ++ran; }));
    std::thread opener([gate] { gate->Open(); });
    pool.Shutdown();
    opener.join();
    EXPECT_EQ(ran.load(), 6);
    EXPECT_FALSE(pool.Submit([&ran] { ++ran; }));
    pool.Shutdown();  // again: nothing to do
    EXPECT_EQ(ran.load(), 6);
}

TEST(ThreadPoolTest, PoolDestroyedByItsOwnWorkItemDoesNotDeadlockOrCrash) {
    // A work item that drops the last owner of the pool: the pool's destructor runs on that
    // pool thread. It must neither join itself nor leave the worker on freed memory.
    auto pool = std::make_shared<Platform::ThreadPool>(2);
    Platform::ThreadPool* raw = pool.get();
    std::weak_ptr<Platform::ThreadPool> watch = pool;
    // Hand the last reference to a work item, which releases it on the pool thread.
    auto last = std::make_shared<Gate>();
    ASSERT_TRUE(raw->Submit([p = std::move(pool), last]() mutable {
        p.reset();
        last->Open();
    }));
    ASSERT_TRUE(last->WaitFor(10s));
    EXPECT_TRUE(watch.expired());
}

TEST(NoAdapterStackTest, OffersNoAdapterNoDeviceAndAWatcherThatCannotStart) {
    auto stack = Platform::CreateNoAdapterStack();
    EXPECT_EQ(stack->GetDefaultAdapterAsync()->GetResults(), nullptr);
    EXPECT_EQ(stack->FromBluetoothAddressAsync(0x1234)->GetResults(), nullptr);
    auto watcher = stack->CreateAdvertisementWatcher();
    try {
        watcher->Start();
        ADD_FAILURE() << "started without an adapter";
    } catch (const PlatformError& e) {
        EXPECT_EQ(e.message, "No Bluetooth adapter found.");
    }
    EXPECT_EQ(watcher->Status(), Platform::WatcherStatus::Aborted);
    EXPECT_NE(watcher->AddReceived([](const Platform::AdvertisementEvent&) {}),
              watcher->AddReceived([](const Platform::AdvertisementEvent&) {}));
    auto ran = std::make_shared<std::promise<std::thread::id>>();
    ASSERT_TRUE(stack->RunOnThreadPool([ran] { ran->set_value(std::this_thread::get_id()); }));
    auto on = ran->get_future();
    ASSERT_EQ(on.wait_for(10s), std::future_status::ready);
    EXPECT_NE(on.get(), std::this_thread::get_id());
}

}  // namespace
}  // namespace Mivo::BLE::Testing
