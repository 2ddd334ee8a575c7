// The test stack that other suites build on: its scripts and its event promises.
#include "support/fake_stack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

using namespace std::chrono_literals;
using Platform::AsyncStatus;
using Platform::GattStatus;

TEST(FakeStackTest, ScriptedStepsRunInOrderThenTheDefault) {
    auto stack = std::make_shared<FakeStack>();
    auto ch = stack->AddDevice(1)->AddService({})->AddCharacteristic({});
    ch->SetValue({7});
    ch->read.Fail(-5, "boom").Hang().Cancel().CompleteAfter(5ms);

    auto failed = ch->ReadValueAsync();
    EXPECT_EQ(failed->Status(), AsyncStatus::Error);
    auto hung = ch->ReadValueAsync();
    auto cancelled = ch->ReadValueAsync();
    EXPECT_EQ(cancelled->Status(), AsyncStatus::Canceled);
    auto late = ch->ReadValueAsync();
    auto normal = ch->ReadValueAsync();
    EXPECT_EQ(normal->Status(), AsyncStatus::Completed);
    EXPECT_EQ(normal->GetResults().value, (Platform::Bytes{7}));
    EXPECT_EQ(late->WaitFor(10s), AsyncStatus::Completed);
    EXPECT_EQ(hung->Status(), AsyncStatus::Started);
    EXPECT_EQ(ch->read.Calls(), 5);

    ch->read.Always(Step<FakeCharacteristic::ReadResult>::Hangs());
    EXPECT_EQ(ch->ReadValueAsync()->Status(), AsyncStatus::Started);
    hung->Cancel();
    EXPECT_EQ(ch->read.CancelRequests(), 1);
}

TEST(FakeStackTest, DevicesAreFoundByAddressAndWritesAreRecorded) {
    auto stack = std::make_shared<FakeStack>();
    auto device = stack->AddDevice(0xA1B2);
    EXPECT_EQ(stack->FromBluetoothAddressAsync(0xA1B2)->GetResults(), device);
    EXPECT_EQ(stack->FromBluetoothAddressAsync(0xFFFF)->GetResults(), nullptr);
    auto ch = device->AddService({})->AddCharacteristic({});
    ch->WriteValueWithResultAsync({1, 2}, Platform::WriteOption::WithoutResponse);
    ch->WriteClientCharacteristicConfigurationDescriptorAsync(Platform::CccdValue::Notify);
    ASSERT_EQ(ch->Writes().size(), 1u);
    EXPECT_EQ(ch->Writes()[0].first, (Platform::Bytes{1, 2}));
    EXPECT_EQ(ch->Writes()[0].second, Platform::WriteOption::WithoutResponse);
    EXPECT_EQ(ch->CccdWrites(), (std::vector<Platform::CccdValue>{Platform::CccdValue::Notify}));
    auto services = device->GetGattServicesAsync()->GetResults();
    EXPECT_EQ(services.services.size(), 1u);
}

TEST(FakeStackTest, EventsArriveOnTheEventThreadAndStopAfterRemoval) {
    auto stack = std::make_shared<FakeStack>();
    auto device = stack->AddDevice(3);
    auto ch = device->AddService({})->AddCharacteristic({});
    std::vector<Platform::Bytes> seen;
    std::thread::id on;
    auto token = ch->AddValueChanged([&](const Platform::Bytes& v) {
        seen.push_back(v);
        on = std::this_thread::get_id();
    });
    ch->Notify({1});
    ch->Notify({2});
    ASSERT_TRUE(stack->FlushEvents());
    EXPECT_EQ(seen, (std::vector<Platform::Bytes>{{1}, {2}}));
    EXPECT_EQ(on, stack->EventThread());
    EXPECT_NE(on, std::this_thread::get_id());
    ch->RemoveValueChanged(token);
    ch->Notify({3});
    ASSERT_TRUE(stack->FlushEvents());
    EXPECT_EQ(seen.size(), 2u);

    int linkEvents = 0;
    device->AddConnectionStatusChanged([&] {
        if (device->GetConnectionStatus() == Platform::ConnectionStatus::Disconnected) ++linkEvents;
    });
    device->SetConnectionStatus(Platform::ConnectionStatus::Disconnected);
    ASSERT_TRUE(stack->FlushEvents());
    EXPECT_EQ(linkEvents, 1);

    std::vector<std::string> names;
    stack->watcher->AddReceived([&](const Platform::AdvertisementEvent& e) { names.push_back(e.localName); });
    stack->watcher->Advertise("before-start", 1);
    stack->watcher->Start();
    stack->watcher->Advertise("AB123456", 2);
    ASSERT_TRUE(stack->FlushEvents());
    EXPECT_EQ(names, (std::vector<std::string>{"AB123456"}));
}

TEST(FakeStackTest, RemovalWaitsForARunningHandlerButNotFromInsideIt) {
    auto stack = std::make_shared<FakeStack>();
    auto ch = stack->AddDevice(4)->AddService({})->AddCharacteristic({});
    auto entered = std::make_shared<Gate>();
    auto gate = std::make_shared<Gate>();
    std::atomic<bool> handlerDone{false};
    auto token = ch->AddValueChanged([&](const Platform::Bytes&) {
        entered->Open();
        gate->Wait();
        handlerDone = true;
    });
    ch->Notify({1});
    ASSERT_TRUE(entered->WaitFor(10s));
    std::atomic<bool> doneWhenRemoved{false};
    std::thread remover([&] {
        ch->RemoveValueChanged(token);
        doneWhenRemoved = handlerDone.load();
    });
    gate->Open();
    remover.join();
    EXPECT_TRUE(doneWhenRemoved.load());

    // A handler removing itself returns at once.
    EventToken self = 0;
    std::atomic<int> calls{0};
    self = ch->AddValueChanged([&](const Platform::Bytes&) {
        ++calls;
        ch->RemoveValueChanged(self);
    });
    ch->Notify({2});
    ch->Notify({3});
    ASSERT_TRUE(stack->FlushEvents());
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(ch->HandlerCount(), 0u);
}

TEST(FakeStackTest, ScopedStackInstallsAndRestores) {
    auto stack = std::make_shared<FakeStack>();
    {
        ScopedStack installed(stack);
        EXPECT_EQ(Platform::GetStack(), stack);
    }
    EXPECT_NE(Platform::GetStack(), stack);
}

}  // namespace
}  // namespace Mivo::BLE::Testing
