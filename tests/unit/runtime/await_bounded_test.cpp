#include "runtime/await_bounded.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "core/api_exception.h"
#include "runtime_test_support.h"
#include "support/fake_stack.h"

namespace Mivo::BLE::Testing {
namespace {

using namespace std::chrono_literals;
using Platform::AsyncStatus;
using Platform::GattStatus;
using ReadResult = Platform::IGattCharacteristic::ReadResult;

class AwaitBoundedTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeStack> stack = std::make_shared<FakeStack>();
    ScopedStack installed{stack};
    std::shared_ptr<FakeCharacteristic> ch =
        stack->AddDevice(0x0102030405)->AddService(Platform::Uuid{})->AddCharacteristic(Platform::Uuid{});
    LogFile log;
};

TEST_F(AwaitBoundedTest, ReturnsTheResultOfAnOperationThatCompletesInTime) {
    ch->SetValue({1, 2, 3});
    ReadResult now = AwaitBounded(ch->ReadValueAsync(), 1000, "ReadValueAsync");
    EXPECT_EQ(now.value, (Platform::Bytes{1, 2, 3}));

    ch->read.CompleteAfter(20ms, ReadResult{GattStatus::Unreachable, {9}});
    ReadResult later = AwaitBounded(ch->ReadValueAsync(), 10000, "ReadValueAsync");
    EXPECT_EQ(later.status, GattStatus::Unreachable);
    EXPECT_EQ(later.value, (Platform::Bytes{9}));
    EXPECT_EQ(log.Count("winrt:"), 0u);
}

TEST_F(AwaitBoundedTest, AnOperationFinishedWhenTheWaitEndsCountsAsCompleted) {
    // A bound of 0 ends the wait at once: the status read afterwards decides.
    EXPECT_EQ(
        AwaitBounded(ch->WriteValueWithResultAsync({1}, Platform::WriteOption::WithResponse), 0, "WriteValueAsync"),
        GattStatus::Success);
    EXPECT_EQ(log.Count("timed out"), 0u);
}

TEST_F(AwaitBoundedTest, TimeOutLogsCancelsOnAnotherThreadAndRaisesCodeThree) {
    ch->read.Hang();
    auto op = ch->ReadValueAsync();
    const auto before = std::chrono::steady_clock::now();
    ApiException e = CatchApiException([&] { AwaitBounded(op, 30, "ReadValueAsync"); });
    EXPECT_GE(std::chrono::steady_clock::now() - before, 30ms);
    EXPECT_EQ(e.Code(), 3);
    EXPECT_STREQ(e.what(), "Bluetooth operation 'ReadValueAsync' timed out.");
    EXPECT_TRUE(log.Has(kLogError, "winrt: 'ReadValueAsync' timed out after 30 ms; cancelling in background"))
        << log.Text();

    ASSERT_TRUE(ch->read.WaitForCancelRequests(1));
    auto threads = ch->read.CancelThreads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    EXPECT_EQ(op->WaitFor(10s), AsyncStatus::Canceled);
}

TEST_F(AwaitBoundedTest, ZeroBoundOnARunningOperationTimesOutAtOnce) {
    ch->cccd.Hang();
    ApiException e = CatchApiException([&] {
        AwaitBounded(ch->WriteClientCharacteristicConfigurationDescriptorAsync(Platform::CccdValue::Notify), 0,
                     "SubscribeCccd");
    });
    EXPECT_EQ(e.Code(), 3);
    EXPECT_STREQ(e.what(), "Bluetooth operation 'SubscribeCccd' timed out.");
    EXPECT_TRUE(log.Has(kLogError, "winrt: 'SubscribeCccd' timed out after 0 ms; cancelling in background"));
}

TEST_F(AwaitBoundedTest, OperationCancelledByThePlatformRaisesCodeThree) {
    ch->read.Cancel();
    ApiException e = CatchApiException([&] { AwaitBounded(ch->ReadValueAsync(), 1000, "ReadValueAsync"); });
    EXPECT_EQ(e.Code(), 3);
    EXPECT_STREQ(e.what(), "Bluetooth operation 'ReadValueAsync' was cancelled.");
    EXPECT_TRUE(log.Has(kLogWarn, "winrt: 'ReadValueAsync' was cancelled"));
    EXPECT_EQ(log.Count("timed out"), 0u);
}

TEST_F(AwaitBoundedTest, FailedOperationRethrowsThePlatformError) {
    ch->write.Fail(-2147023673, "The device is unreachable.");
    try {
        AwaitBounded(ch->WriteValueWithResultAsync({1}, Platform::WriteOption::WithoutResponse), 1000,
                     "WriteValueAsync");
        ADD_FAILURE() << "no PlatformError";
    } catch (const Platform::PlatformError& p) {
        EXPECT_EQ(p.code, -2147023673);
        EXPECT_EQ(p.message, "The device is unreachable.");
    }
    EXPECT_EQ(log.Count("winrt:"), 0u);
}

TEST_F(AwaitBoundedTest, MissingOperationIsAPlatformError) {
    EXPECT_THROW(AwaitBounded(Platform::AsyncOp<int>{}, 10, "GetRadio"), Platform::PlatformError);
}

TEST_F(AwaitBoundedTest, CompletionAfterTheWaiterGaveUpIsHarmless) {
    stack->refuseThreadPool = true;  // no background cancel: the producer finishes it later
    auto op = Platform::MakeAsyncOperation<ReadResult>();
    std::weak_ptr<Platform::AsyncOperation<ReadResult>> watch = op;
    EXPECT_EQ(CatchApiException([&] { AwaitBounded(op, 5, "ReadValueAsync"); }).Code(), 3);
    EXPECT_EQ(op->Status(), AsyncStatus::Started);  // abandoned, not cancelled

    auto fired = std::make_shared<std::atomic<int>>(0);
    op->SetCompleted([fired](AsyncStatus s) {
        if (s == AsyncStatus::Completed) ++*fired;
    });
    std::thread producer([op]() mutable {
        EXPECT_TRUE(op->Complete(ReadResult{GattStatus::Success, {4}}));
        EXPECT_FALSE(op->Complete(ReadResult{}));  // only the first completion counts
        op.reset();
    });
    producer.join();
    EXPECT_EQ(fired->load(), 1);
    EXPECT_EQ(op->GetResults().value, (Platform::Bytes{4}));
    op.reset();
    EXPECT_TRUE(watch.expired());  // nothing kept the operation alive
}

TEST_F(AwaitBoundedTest, CancelInBackgroundNeverThrowsEvenWhenItCannotDispatch) {
    stack->refuseThreadPool = true;
    ch->read.Hang();
    auto op = ch->ReadValueAsync();
    EXPECT_NO_THROW(CancelInBackground(op));
    EXPECT_EQ(op->Status(), AsyncStatus::Started);
    EXPECT_NO_THROW(CancelInBackground(Platform::AsyncOp<ReadResult>{}));

    stack->refuseThreadPool = false;
    CancelInBackground(op);
    EXPECT_EQ(op->WaitFor(10s), AsyncStatus::Canceled);
}

// A closable object that records where it was closed and where it was destroyed.
struct Closable {
    std::shared_ptr<SyncScript> close = std::make_shared<SyncScript>();
    std::shared_ptr<std::thread::id> destroyedOn = std::make_shared<std::thread::id>();
    std::shared_ptr<Gate> destroyed = std::make_shared<Gate>();
    void Close() { close->Enter(); }
    ~Closable() {
        *destroyedOn = std::this_thread::get_id();
        destroyed->Open();
    }
};

TEST_F(AwaitBoundedTest, CloseInBackgroundClosesAndReleasesOnAPoolThread) {
    auto object = std::make_shared<Closable>();
    auto close = object->close;
    auto destroyedOn = object->destroyedOn;
    auto destroyed = object->destroyed;
    close->FailNext(-1, "already closed");  // a failing Close is ignored
    CloseInBackground(std::move(object));
    ASSERT_TRUE(destroyed->WaitFor(10s));
    EXPECT_EQ(close->Finished(), 1);
    ASSERT_EQ(close->Threads().size(), 1u);
    EXPECT_NE(*close->Threads().begin(), std::this_thread::get_id());
    EXPECT_NE(*destroyedOn, std::this_thread::get_id());
    EXPECT_EQ(log.Count("closing inline"), 0u);
}

TEST_F(AwaitBoundedTest, CloseThatCannotBeDispatchedRunsInlineWithAnErrorLine) {
    stack->refuseThreadPool = true;
    auto object = std::make_shared<Closable>();
    auto close = object->close;
    CloseInBackground(std::move(object));
    EXPECT_EQ(close->Finished(), 1);
    EXPECT_EQ(*close->Threads().begin(), std::this_thread::get_id());
    EXPECT_TRUE(log.Has(kLogError, "winrt: could not dispatch a background close; closing inline"));
}

TEST_F(AwaitBoundedTest, BackgroundCloseOfABlockingDeviceDoesNotBlockTheCaller) {
    auto device = stack->AddDevice(0xAB);
    device->close.Block();
    CloseInBackground(std::shared_ptr<Platform::IBluetoothLEDevice>(device));
    ASSERT_TRUE(device->close.WaitForCalls(1));
    EXPECT_EQ(device->close.Finished(), 0);  // still inside Close on the pool thread
    device->close.Release();
    EXPECT_TRUE(device->close.WaitForFinished(1));
}

TEST(BoundWithinDeadlineTest, BoundIsCutToTheTimeLeftAndZeroOncePassed) {
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(BoundWithinDeadline(now + 1h, 20000), 20000u);  // start in the future: full bound
    const uint32_t fresh = BoundWithinDeadline(now, 20000);
    EXPECT_EQ(fresh, 20000u);
    const uint32_t late = BoundWithinDeadline(now - 29s, 5000);
    EXPECT_LE(late, 1000u);
    EXPECT_GE(late, 900u);
    const uint32_t midway = BoundWithinDeadline(now - 15s, 20000);
    EXPECT_LE(midway, 15000u);
    EXPECT_GE(midway, 14900u);
    EXPECT_EQ(BoundWithinDeadline(now - 30s, 5000), 0u);
    EXPECT_EQ(BoundWithinDeadline(now - 31s, 5000), 0u);
    EXPECT_EQ(BoundWithinDeadline(now - 2s, 5000, 1000), 0u);
    EXPECT_EQ(BoundWithinDeadline(now, 5000, 0), 0u);
}

}  // namespace
}  // namespace Mivo::BLE::Testing
