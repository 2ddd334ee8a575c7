#include "runtime/bluetooth_executor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/api_exception.h"
#include "platform/async_operation.h"
#include "runtime_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr const char* kUnresponsive = "Bluetooth worker thread is unresponsive; restart required.";
constexpr const char* kShutDown = "Bluetooth runtime has been shut down.";

// Runs `call` expecting an ApiException; returns it.

TEST(BluetoothExecutorTest, TasksRunOneAtATimeInSubmissionOrderOnOneWorkerThread) {
    BluetoothExecutor executor(FastTiming());
    std::mutex mutex;
    std::vector<int> order;
    std::set<std::thread::id> threads;
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    auto record = [&](int n) {
        int now = ++active;
        maxActive = std::max(maxActive.load(), now);
        {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(n);
            threads.insert(std::this_thread::get_id());
        }
        --active;
    };

    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<Gate>();
    std::thread first([&] {
        executor.Run("First", 1000, [&, gate, started] {
            started->Open();
            gate->Wait();
            record(1);
        });
    });
    ASSERT_TRUE(started->WaitFor(10s));
    // Each later task is queued by its own thread, one after the other.
    std::vector<std::thread> submitters;
    for (int n = 2; n <= 5; ++n) {
        submitters.emplace_back([&, n] { executor.Run("Next", 1000, [&, n] { record(n); }); });
        ASSERT_TRUE(WaitUntil([&] { return executor.Pending() == static_cast<size_t>(n - 1); }));
    }
    gate->Open();
    first.join();
    for (auto& t : submitters) t.join();

    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    EXPECT_EQ(maxActive.load(), 1);
}

TEST(BluetoothExecutorTest, ReturnsResultsOfEveryKindAndAcceptsMoveOnlyWork) {
    BluetoothExecutor executor(FastTiming());
    int calls = 0;
    executor.Run("Void", 100, [&calls] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(executor.Run("Bool", 100, [] { return true; }));
    EXPECT_EQ(executor.Run("Text", 100, [] { return std::string("serial-1234"); }), "serial-1234");
    auto object = std::make_shared<int>(42);
    auto back = executor.Run("Object", 100, [object] { return object; });
    EXPECT_EQ(back, object);
    auto owned = std::make_unique<int>(7);
    auto moved = executor.Run("MoveOnly", 100, [owned = std::move(owned)]() mutable { return std::move(owned); });
    ASSERT_TRUE(moved);
    EXPECT_EQ(*moved, 7);
}

TEST(BluetoothExecutorTest, ExceptionsReachTheCallerUnchanged) {
    BluetoothExecutor executor(FastTiming());
    ApiException e =
        CatchApiException([&] { executor.Run("Throws", 100, [] { throw ApiException("No such thing.", 4); }); });
    EXPECT_EQ(e.Code(), 4);
    EXPECT_STREQ(e.what(), "No such thing.");

    EXPECT_THROW(executor.Run("Std", 100, []() -> int { throw std::out_of_range("range"); }), std::out_of_range);
    try {
        executor.Run("Platform", 100, [] { throw Platform::PlatformError{-7, "link lost"}; });
        ADD_FAILURE() << "no PlatformError";
    } catch (const Platform::PlatformError& p) {
        EXPECT_EQ(p.code, -7);
        EXPECT_EQ(p.message, "link lost");
    }
    // The worker survives a throwing task.
    EXPECT_EQ(executor.Run("After", 100, [] { return 5; }), 5);
}

TEST(BluetoothExecutorTest, BudgetMetExactlyIsDoneOneMillisecondMoreIsAWarning) {
    LogFile log;
    auto clock = ManualClock::Create();
    BluetoothExecutor executor(FastTiming(), clock->Source());

    EXPECT_EQ(executor.Run("ExactBudget", 50,
                           [clock] {
                               clock->Advance(50ms);
                               return 1;
                           }),
              1);
    EXPECT_EQ(executor.Run("OverBudget", 50,
                           [clock] {
                               clock->Advance(51ms);
                               return 2;
                           }),
              2);
    // The worker logs a task's line before it takes the next one.
    executor.Run("Barrier", 50, [] {});

    EXPECT_TRUE(log.Has(kLogDebug, "executor: 'ExactBudget' done in 50 ms")) << log.Text();
    EXPECT_EQ(log.Count("'ExactBudget' took"), 0u);
    EXPECT_TRUE(log.Has(kLogWarn, "executor: 'OverBudget' took 51 ms (budget 50 ms)")) << log.Text();
    EXPECT_EQ(log.Count("'OverBudget' done"), 0u);
    EXPECT_FALSE(executor.IsWedged());
}

TEST(BluetoothExecutorTest, WaitingCallerWarnsOncePerPollAfterTwoSeconds) {
    LogFile log;
    auto clock = ManualClock::Create();
    BluetoothExecutor executor(FastTiming(), clock->Source());
    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<Gate>();
    auto result = std::async(std::launch::async, [&, gate, started] {
        return executor.Run("SlowRead", 15000, [gate, started] {
            started->Open();
            gate->Wait();
            return 9;
        });
    });
    ASSERT_TRUE(started->WaitFor(10s));

    // At exactly 2000 ms the caller keeps quiet; it is blocked, so only it reads the clock
    // (one reading per poll).
    clock->Advance(2000ms);
    ASSERT_TRUE(clock->WaitForReads(clock->Reads() + 9));
    EXPECT_EQ(log.Count("still pending"), 0u);
    clock->Advance(1ms);
    ASSERT_TRUE(clock->WaitForReads(clock->Reads() + 9));
    gate->Open();
    EXPECT_EQ(result.get(), 9);

    auto warnings = log.Matching("executor: 'SlowRead' still pending after");
    ASSERT_GE(warnings.size(), 1u) << log.Text();
    for (auto& w : warnings) {
        EXPECT_THAT(w, HasSubstr("[WARN ]"));
        EXPECT_THAT(w, HasSubstr("still pending after 2001 ms"));
    }
}

TEST(BluetoothExecutorTest, OverrunningTaskWedgesOnceAndLaterWorkFailsAtOnce) {
    LogFile log;
    auto clock = ManualClock::Create();
    BluetoothExecutor executor(FastTiming(), clock->Source());
    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<Gate>();
    auto stuckRan = std::make_shared<std::atomic<bool>>(false);

    auto stuck = std::async(std::launch::async, [&, gate, started, stuckRan] {
        return CatchApiException([&] {
            executor.Run("Stuck", 15000, [gate, started, stuckRan] {
                started->Open();
                gate->Wait();
                *stuckRan = true;
            });
        });
    });
    ASSERT_TRUE(started->WaitFor(10s));
    auto behindRan = std::make_shared<std::atomic<bool>>(false);
    auto behind = std::async(std::launch::async, [&, behindRan] {
        return CatchApiException([&] { executor.Run("Behind", 15000, [behindRan] { *behindRan = true; }); });
    });
    ASSERT_TRUE(WaitUntil([&] { return executor.Pending() == 1; }));

    // Budget plus tolerance exactly: still tolerated.
    clock->Advance(20000ms);
    ASSERT_TRUE(clock->WaitForReads(clock->Reads() + 12));
    EXPECT_FALSE(executor.IsWedged());
    // One millisecond more: both waiting callers give up.
    clock->Advance(1ms);
    ApiException first = stuck.get();
    ApiException second = behind.get();
    EXPECT_EQ(first.Code(), 3);
    EXPECT_STREQ(first.what(), kUnresponsive);
    EXPECT_EQ(second.Code(), 3);
    EXPECT_STREQ(second.what(), kUnresponsive);
    EXPECT_TRUE(executor.IsWedged());

    EXPECT_EQ(log.Count("executor WEDGED"), 1u) << log.Text();
    EXPECT_TRUE(log.Has(kLogError,
                        "executor WEDGED: task 'Stuck' overran its 15000 ms budget. New Bluetooth work now fails fast; "
                        "devices will be leaked instead of destroyed (a pending task still holds them). Recovery "
                        "requires restarting the host process."));
    EXPECT_TRUE(log.Has(kLogError, "executor: giving up on 'Stuck' after 20001 ms behind an unresponsive task"))
        << log.Text();
    EXPECT_TRUE(log.Has(kLogError, "executor: giving up on 'Behind' after")) << log.Text();

    // Later work fails at once and is never queued.
    auto laterRan = std::make_shared<std::atomic<bool>>(false);
    ApiException later = CatchApiException([&] { executor.Run("Later", 100, [laterRan] { *laterRan = true; }); });
    EXPECT_EQ(later.Code(), 3);
    EXPECT_STREQ(later.what(), kUnresponsive);
    EXPECT_EQ(executor.Pending(), 1u);  // only "Behind", abandoned by its caller

    // The stuck task recovers: the abandoned work still runs, its result is discarded, and
    // the executor stays wedged.
    gate->Open();
    executor.Stop();
    EXPECT_TRUE(stuckRan->load());
    EXPECT_TRUE(behindRan->load());
    EXPECT_FALSE(laterRan->load());
    EXPECT_TRUE(executor.IsWedged());
    EXPECT_EQ(log.Count("executor WEDGED"), 1u);
}

TEST(BluetoothExecutorTest, QueuedWorkNotPickedUpIsAStall) {
    // The worker is held after a task (its callable's destructor blocks), so queued work
    // is not taken. Past the stall limit the waiting caller gives up.
    LogFile log;
    auto clock = ManualClock::Create();
    BluetoothExecutor executor(FastTiming(), clock->Source());
    auto gate = std::make_shared<Gate>();
    auto releasing = std::make_shared<Gate>();
    struct BlocksOnRelease {
        std::shared_ptr<Gate> gate, releasing;
        ~BlocksOnRelease() {
            if (!gate) return;
            releasing->Open();
            gate->Wait();
        }
    };
    auto holder = std::make_shared<BlocksOnRelease>();
    holder->gate = gate;
    holder->releasing = releasing;
    // The task owns the only reference: the worker blocks when it destroys the task.
    EXPECT_EQ(executor.Run("Held", 300, [h = std::move(holder)] { return 1; }), 1);
    ASSERT_TRUE(releasing->WaitFor(10s));

    auto waiting = std::async(std::launch::async,
                              [&] { return CatchApiException([&] { executor.Run("Queued", 15000, [] {}); }); });
    ASSERT_TRUE(WaitUntil([&] { return executor.Pending() == 1; }));
    clock->Advance(10000ms);
    ASSERT_TRUE(clock->WaitForReads(clock->Reads() + 12));
    EXPECT_FALSE(executor.IsWedged());
    clock->Advance(1ms);
    ApiException e = waiting.get();
    EXPECT_EQ(e.Code(), 3);
    EXPECT_TRUE(executor.IsWedged());
    // The wedge line names the task most recently started.
    EXPECT_TRUE(log.Has(kLogError, "executor WEDGED: task 'Held' overran its 300 ms budget."));
    EXPECT_TRUE(log.Has(kLogError, "executor: giving up on 'Queued' after 10001 ms behind an unresponsive task"));
    gate->Open();
    executor.Stop();
}

TEST(BluetoothExecutorTest, StopDrainsQueuedTasksThenRefusesWork) {
    LogFile log;
    ExecutorTiming timing = FastTiming();
    timing.stopWait = 10s;  // long enough for the drain: Stop must join, not detach
    BluetoothExecutor executor(timing);
    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<Gate>();
    auto first = std::async(std::launch::async, [&, gate, started] {
        return executor.Run("Draining", 1000, [gate, started] {
            started->Open();
            gate->Wait();
            return 1;
        });
    });
    ASSERT_TRUE(started->WaitFor(10s));
    auto second = std::async(std::launch::async, [&] { return executor.Run("Queued1", 1000, [] { return 2; }); });
    ASSERT_TRUE(WaitUntil([&] { return executor.Pending() == 1; }));
    auto third = std::async(std::launch::async, [&] { return executor.Run("Queued2", 1000, [] { return 3; }); });
    ASSERT_TRUE(WaitUntil([&] { return executor.Pending() == 2; }));
    // Another lane with a task blocked on the same gate and one behind it drains as well.
    BluetoothLane other = executor.CreateLane("other");
    auto otherStarted = std::make_shared<Gate>();
    auto otherFirst = std::async(std::launch::async, [&, gate, otherStarted] {
        return other.Run("OtherDraining", 1000, [gate, otherStarted] {
            otherStarted->Open();
            gate->Wait();
            return 4;
        });
    });
    ASSERT_TRUE(otherStarted->WaitFor(10s));
    auto otherQueued = std::async(std::launch::async, [&] { return other.Run("OtherQueued", 1000, [] { return 5; }); });
    ASSERT_TRUE(WaitUntil([&] { return other.Pending() == 1; }));

    // Open the gate only once the stop request is in.
    std::thread opener([&] {
        WaitUntil([&] { return executor.IsStopped(); });
        gate->Open();
    });
    executor.Stop();
    opener.join();
    EXPECT_EQ(first.get(), 1);
    EXPECT_EQ(second.get(), 2);
    EXPECT_EQ(third.get(), 3);
    EXPECT_EQ(otherFirst.get(), 4);
    EXPECT_EQ(otherQueued.get(), 5);
    EXPECT_EQ(log.Count("did not stop"), 0u);
    EXPECT_TRUE(executor.WorkerExited());
    EXPECT_EQ(executor.ThreadCount(), 0u);

    // Every lane refuses work, also one made after the stop.
    for (BluetoothLane lane : {executor.OwnLane(), other, executor.CreateLane("late")}) {
        ApiException e = CatchApiException([&] { lane.Run("AfterStop", 100, [] {}); });
        EXPECT_EQ(e.Code(), -1);
        EXPECT_STREQ(e.what(), kShutDown);
    }
    const auto before = std::chrono::steady_clock::now();
    executor.Stop();  // second stop: nothing left to wait for
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
}

TEST(BluetoothExecutorTest, StopDetachesAStuckWorkerWhichKeepsItsObjects) {
    LogFile log;
    ExecutorTiming timing = FastTiming();
    timing.stopWait = 30ms;
    auto executor = std::make_unique<BluetoothExecutor>(timing);
    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<Gate>();
    auto payload = std::make_shared<std::string>("still owned");
    std::weak_ptr<std::string> watch = payload;
    auto blocked = std::async(std::launch::async, [&, gate, started, payload]() mutable {
        auto moved = std::move(payload);
        return executor->Run("Blocked", 15000, [gate, started, moved] {
            started->Open();
            gate->Wait();
            return *moved;
        });
    });
    ASSERT_TRUE(started->WaitFor(10s));
    payload.reset();

    executor->Stop();
    EXPECT_TRUE(log.Has(kLogError, "executor: worker did not stop within 30 ms; detaching it")) << log.Text();
    const auto before = std::chrono::steady_clock::now();
    executor->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(log.Count("did not stop"), 1u);

    ApiException e = CatchApiException([&] { executor->Run("AfterStop", 100, [] {}); });
    EXPECT_EQ(e.Code(), -1);
    EXPECT_STREQ(e.what(), kShutDown);

    // The detached worker still owns its task; it finishes once unblocked, and may still be
    // finishing when the executor object is destroyed.
    EXPECT_FALSE(watch.expired());
    gate->Open();
    EXPECT_EQ(blocked.get(), "still owned");
    executor.reset();
}

TEST(BluetoothExecutorTest, ShutDownIsReportedBeforeWedged) {
    auto clock = ManualClock::Create();
    ExecutorTiming timing = FastTiming();
    timing.stopWait = 10ms;
    BluetoothExecutor executor(timing, clock->Source());
    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<Gate>();
    auto stuck = std::async(std::launch::async, [&, gate, started] {
        return CatchApiException([&] {
            executor.Run("WedgeFirst", 10, [gate, started] {
                started->Open();
                gate->Wait();
            });
        });
    });
    ASSERT_TRUE(started->WaitFor(10s));
    clock->Advance(10s);
    EXPECT_EQ(stuck.get().Code(), 3);
    ASSERT_TRUE(executor.IsWedged());
    EXPECT_EQ(CatchApiException([&] { executor.Run("X", 1, [] {}); }).Code(), 3);
    executor.Stop();
    EXPECT_EQ(CatchApiException([&] { executor.Run("X", 1, [] {}); }).Code(), -1);
    gate->Open();
}

TEST(BluetoothExecutorTest, RunFromInsideATaskRunsInlineInsteadOfDeadlocking) {
    BluetoothExecutor executor(FastTiming());
    auto outer = executor.Run("Outer", 1000, [&executor] {
        const auto worker = std::this_thread::get_id();
        const auto inner = executor.Run("Inner", 1000, [] { return std::this_thread::get_id(); });
        return inner == worker;
    });
    EXPECT_TRUE(outer);
    EXPECT_FALSE(executor.IsWedged());
}

// ---- lanes ----

// Runs `work` on `lane` from a thread of its own; the future holds the ApiException it
// raised, or one with code 0 when it succeeded.
template <typename F>
std::future<ApiException> RunAside(BluetoothLane lane, const char* name, uint32_t budgetMs, F work) {
    return std::async(std::launch::async, [lane, name, budgetMs, work]() mutable {
        try {
            lane.Run(name, budgetMs, work);
        } catch (const ApiException& e) {
            return e;
        }
        return ApiException("", 0);
    });
}

TEST(BluetoothExecutorLaneTest, LanesRunSideBySideEachInItsOwnOrderAndIdleThreadsEnd) {
    ExecutorTiming timing = FastTiming();
    timing.idleExit = 20ms;
    BluetoothExecutor executor(timing);
    BluetoothLane a = executor.CreateLane("device 'A'");
    BluetoothLane b = executor.CreateLane("device 'B'");
    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<Gate>();
    std::mutex mutex;
    std::vector<std::string> order;
    auto record = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(what);
    };
    auto blocked = RunAside(a, "Blocked", 15000, [gate, started, &record] {
        started->Open();
        gate->Wait();
        record("a1");
    });
    ASSERT_TRUE(started->WaitFor(10s));
    auto queued = RunAside(a, "Queued", 15000, [&record] { record("a2"); });
    ASSERT_TRUE(WaitUntil([&] { return a.Pending() == 1; }));

    // B's work runs, in order, while A's first task is blocked and its second waits behind it.
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(b.Run("Other", 15000,
                        [&record, i] {
                            record("b" + std::to_string(i));
                            return i;
                        }),
                  i);
    }
    EXPECT_EQ(a.Pending(), 1u);
    gate->Open();
    blocked.get();
    queued.get();
    EXPECT_EQ(order, (std::vector<std::string>{"b1", "b2", "b3", "a1", "a2"}));
    EXPECT_EQ(a.Label(), "device 'A'");
    EXPECT_EQ(executor.OwnLane().Label(), "scanner");

    // A second thread served B while A's was blocked; idle, it ends, and the one left serves all.
    EXPECT_TRUE(WaitUntil([&] { return executor.ThreadCount() == 1; }));
    EXPECT_EQ(a.Run("After", 100, [] { return 1; }) + b.Run("After", 100, [] { return 2; }), 3);
}

TEST(BluetoothExecutorLaneTest, AWedgedLaneFailsItsOwnWorkOnlyAndItsThreadIsReplaced) {
    LogFile log;
    auto clock = ManualClock::Create();
    // Two threads at most: A's stuck task holds one, B's blocked task the other.
    BluetoothExecutor executor(FastTiming(), clock->Source(), 2);
    BluetoothLane a = executor.CreateLane("device 'A'");
    BluetoothLane b = executor.CreateLane("device 'B'");
    BluetoothLane c = executor.CreateLane("device 'C'");
    auto gateA = std::make_shared<Gate>(), gateB = std::make_shared<Gate>();
    auto startedA = std::make_shared<Gate>(), startedB = std::make_shared<Gate>();
    auto stuck = RunAside(a, "Stuck", 100, [gateA, startedA] {
        startedA->Open();
        gateA->Wait();
    });
    auto busy = RunAside(b, "Busy", 15000, [gateB, startedB] {
        startedB->Open();
        gateB->Wait();
    });
    ASSERT_TRUE(startedA->WaitFor(10s));
    ASSERT_TRUE(startedB->WaitFor(10s));
    EXPECT_EQ(executor.ThreadCount(), 2u);

    // C waits for a thread until A is given up on; then a third thread takes C's task.
    auto cRan = std::make_shared<std::atomic<bool>>(false);
    auto third = std::async(std::launch::async, [c, cRan]() mutable {
        return c.Run("Waiting", 15000, [cRan] {
            *cRan = true;
            return 3;
        });
    });
    ASSERT_TRUE(WaitUntil([&] { return c.Pending() == 1; }));
    EXPECT_TRUE(log.WaitFor(kLogWarn, "executor: all 2 Bluetooth threads are busy; lane 'device 'C'' waits for one"));
    clock->Advance(5101ms);  // A's budget plus the tolerance, and one millisecond
    ApiException e = stuck.get();
    EXPECT_EQ(e.Code(), 3);
    EXPECT_STREQ(e.what(), kUnresponsive);
    EXPECT_EQ(third.get(), 3);
    EXPECT_EQ(executor.ThreadCount(), 3u);  // the cap, plus the one given up

    EXPECT_TRUE(a.IsWedged());
    EXPECT_FALSE(b.IsWedged());
    EXPECT_FALSE(c.IsWedged());
    EXPECT_FALSE(executor.IsWedged());
    EXPECT_EQ(CatchApiException([&] { a.Run("Later", 100, [] {}); }).Code(), 3);
    EXPECT_EQ(c.Run("Again", 100, [] { return 4; }), 4);
    EXPECT_EQ(log.Count("executor WEDGED"), 1u);
    EXPECT_TRUE(log.Has(kLogError, "executor WEDGED: task 'Stuck' overran its 100 ms budget."));
    EXPECT_TRUE(log.Has(kLogError, "executor: lane 'device 'A'' is wedged; Bluetooth work of other lanes goes on"));

    // Back from its task, the given-up thread serves again; the lane stays wedged.
    gateA->Open();
    gateB->Open();
    EXPECT_EQ(busy.get().Code(), 0);
    EXPECT_TRUE(log.WaitFor(kLogWarn, "executor: 'Stuck' took"));
    EXPECT_EQ(c.Run("AfterReturn", 100, [] { return 5; }), 5);
    EXPECT_TRUE(a.IsWedged());
}

TEST(BluetoothExecutorTest, InstanceIsOneProcessWideObject) {
    BluetoothExecutor& a = BluetoothExecutor::Instance();
    BluetoothExecutor& b = BluetoothExecutor::Instance();
    EXPECT_EQ(&a, &b);
    EXPECT_EQ(a.Run("InstanceProbe", 15000, [] { return 11; }), 11);
}

}  // namespace
}  // namespace Mivo::BLE::Testing
