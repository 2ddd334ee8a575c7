// Scripted faults: hung and delayed operations (and their cancellation), refused
// connects, link drops, lost, corrupted and shortened notifications, radio and adapter
// loss, and the pacing of the connection interval.
#include <gtest/gtest.h>

#include "sim_test_client.h"

namespace {

using namespace SimTest;
using namespace Mivo::BLE;
using namespace Mivo::BLE::Sim;
using Platform::CccdValue;
using Platform::WriteOption;

TEST(SimFaults, HungReadOnOneCharacteristicHonoursCancel) {
    auto sim = MakeSimStack("MV-F");
    auto amp = sim->Find("MV-F");
    auto link = Open(*sim, "MV-F");
    amp->Hang(kOpRead, "2a19");
    auto hung = link->Char("2A19")->ReadValueAsync();
    EXPECT_EQ(link->Read("2A24").empty(), false);  // other characteristics still answer
    EXPECT_EQ(hung->WaitFor(30ms), AsyncStatus::Started);
    EXPECT_EQ(amp->PendingOperations(), 1u);
    hung->Cancel();
    EXPECT_EQ(hung->Status(), AsyncStatus::Canceled);
    EXPECT_EQ(amp->PendingOperations(), 0u);
    amp->ClearFaults();
    EXPECT_EQ(link->Read("2A19").size(), 1u);
}

TEST(SimFaults, EachNamedOperationCanHang) {
    auto sim = MakeSimStack("MV-G,gen=nus");
    auto amp = sim->Find("MV-G");
    auto link = Open(*sim, "MV-G");
    auto service = Await(link->device->GetGattServicesAsync()).services.at(0);

    auto expectHung = [&](auto op, const char* what) {
        EXPECT_EQ(op->WaitFor(30ms), AsyncStatus::Started) << what;
        op->Cancel();
        EXPECT_EQ(op->Status(), AsyncStatus::Canceled) << what;
    };
    amp->Hang(kOpServices);
    expectHung(link->device->GetGattServicesAsync(), kOpServices);
    amp->Hang(kOpCharacteristics);
    expectHung(service->GetCharacteristicsAsync(), kOpCharacteristics);
    amp->Hang(kOpWrite, kNusRx);
    expectHung(link->Char(kNusRx)->WriteValueWithResultAsync({1}, WriteOption::WithoutResponse), kOpWrite);
    amp->Hang(kOpCccd);
    expectHung(link->Char(kSample)->WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue::Notify), kOpCccd);
    amp->Hang(kOpFromAddress);
    expectHung(sim->FromBluetoothAddressAsync(amp->Address()), kOpFromAddress);
    EXPECT_EQ(amp->PendingOperations(), 0u);

    amp->ClearFaults();
    EXPECT_EQ(Await(link->device->GetGattServicesAsync()).status, GattStatus::Success);
    EXPECT_TRUE(Await(sim->FromBluetoothAddressAsync(amp->Address())));

    // From the configuration, too.
    auto configured = MakeSimStack("MV-H2,hang=GetGattServicesAsync");
    auto device = Await(configured->FromBluetoothAddressAsync(configured->Find("MV-H2")->Address()));
    expectHung(device->GetGattServicesAsync(), "configured hang");
}

TEST(SimFaults, DelaysAndConnectionInterval) {
    auto sim = MakeSimStack("MV-D1,interval=1;MV-D2,interval=20");
    auto fast = Open(*sim, "MV-D1");
    sim->Find("MV-D1")->Delay(kOpRead, 300ms, "2A19");
    auto delayed = fast->Char("2A19")->ReadValueAsync();
    auto start = Clock::now();
    fast->Read("2A24");  // not the delayed characteristic: answered meanwhile
    EXPECT_EQ(delayed->Status(), AsyncStatus::Started);
    EXPECT_EQ(Await(delayed).status, GattStatus::Success);
    EXPECT_GE(Clock::now() - start, 250ms);

    // A 20 ms connection interval: five reads take at least five intervals.
    auto slow = Open(*sim, "MV-D2");
    start = Clock::now();
    for (int i = 0; i < 5; ++i) slow->Read("2A19");
    EXPECT_GE(Clock::now() - start, 100ms);
}

TEST(SimFaults, RefusedConnects) {
    auto sim = MakeSimStack("MV-R1,refuse_connects=2,connect_fail_ms=5");
    auto amp = sim->Find("MV-R1");
    auto device = Await(sim->FromBluetoothAddressAsync(amp->Address()));
    EXPECT_EQ(Await(device->GetGattServicesAsync()).status, GattStatus::Unreachable);
    EXPECT_EQ(Await(device->GetGattServicesAsync()).status, GattStatus::Unreachable);
    EXPECT_EQ(device->GetConnectionStatus(), Platform::ConnectionStatus::Disconnected);
    EXPECT_EQ(Await(device->GetGattServicesAsync()).status, GattStatus::Success);
    EXPECT_EQ(amp->RefusedConnectCount(), 2);
    EXPECT_EQ(amp->ConnectCount(), 1);
    amp->RefuseConnects(1);
    amp->DropLink();
    ASSERT_TRUE(WaitUntil([&] { return !amp->IsConnected(); }));
    EXPECT_EQ(Await(device->GetGattServicesAsync()).status, GattStatus::Unreachable);
    EXPECT_EQ(Await(device->GetGattServicesAsync()).status, GattStatus::Success);

    // A non-connectable amplifier is never connected.
    auto closed = MakeSimStack("MV-R2,connectable=0,connect_fail_ms=5");
    auto d2 = Await(closed->FromBluetoothAddressAsync(closed->Find("MV-R2")->Address()));
    EXPECT_EQ(Await(d2->GetGattServicesAsync()).status, GattStatus::Unreachable);
}

TEST(SimFaults, DroppedLink) {
    auto sim = MakeSimStack("MV-L,rate=500");
    auto amp = sim->Find("MV-L");
    auto link = Open(*sim, "MV-L");
    ASSERT_TRUE(link->statusEvents.WaitSize(1));
    Subscription samples(link->Char(kSample));
    ASSERT_TRUE(samples.values.WaitSize(3));
    amp->DropLink();
    ASSERT_TRUE(link->statusEvents.WaitSize(2));
    EXPECT_EQ(link->statusEvents.At(1), static_cast<int>(Platform::ConnectionStatus::Disconnected));
    EXPECT_FALSE(amp->IsStreaming());
    EXPECT_EQ(Await(link->Char("2A19")->ReadValueAsync()).status, GattStatus::Unreachable);

    // Reconnect: subscriptions do not survive the link, so nothing streams until asked.
    EXPECT_EQ(Await(link->device->GetGattServicesAsync()).status, GattStatus::Success);
    EXPECT_EQ(amp->ConnectCount(), 2);
    EXPECT_FALSE(amp->IsStreaming());
    EXPECT_EQ(link->Read("2A19").size(), 1u);
}

TEST(SimFaults, DropEvery) {
    auto sim = MakeSimStack("MV-E,drop_every=100");
    auto amp = sim->Find("MV-E");
    auto link = Open(*sim, "MV-E");
    ASSERT_TRUE(link->statusEvents.WaitSize(1));
    auto connected = link->statusEvents.Stamps()[0];
    ASSERT_TRUE(link->statusEvents.WaitSize(2));
    EXPECT_GE(link->statusEvents.Stamps()[1] - connected, 90ms);
    EXPECT_EQ(Await(link->device->GetGattServicesAsync()).status, GattStatus::Success);
    ASSERT_TRUE(link->statusEvents.WaitSize(4));  // connected, and dropped again
    EXPECT_EQ(link->statusEvents.At(3), static_cast<int>(Platform::ConnectionStatus::Disconnected));
    amp->SetDropEvery(0ms);
    EXPECT_EQ(Await(link->device->GetGattServicesAsync()).status, GattStatus::Success);
    EXPECT_EQ(amp->ConnectCount(), 3);
}

TEST(SimFaults, LostCorruptedAndShortenedNotifications) {
    auto sim = MakeSimStack("MV-P,rate=1000,drop_notify_every=3;MV-Q,rate=1000");
    auto lossy = Open(*sim, "MV-P");
    Subscription samples(lossy->Char(kSample));
    ASSERT_TRUE(samples.values.WaitSize(6));
    std::vector<int> counters;
    for (size_t i = 0; i < 6; ++i) counters.push_back(Be24(samples.values.At(i), 24));
    EXPECT_EQ(counters, (std::vector<int>{1, 2, 4, 5, 7, 8}));
    EXPECT_GE(sim->Find("MV-P")->NotificationsDropped(), 2u);

    // Corrupt two payloads, then shorten one: compare with what the amplifier would send.
    auto amp = sim->Find("MV-Q");
    amp->CorruptNextPayloads(2);
    amp->ShortenNextPayloads(1);
    auto link = Open(*sim, "MV-Q");
    Subscription q(link->Char(kSample));
    ASSERT_TRUE(q.values.WaitSize(4));
    auto clean = [&](size_t frame) {  // the uncorrupted payload of one frame
        Bytes b;
        for (int c = 0; c < 8; ++c) {
            int32_t v = amp->SignalValue(c, frame);
            b.insert(b.end(), {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
        }
        b.insert(b.end(), {0, 0, static_cast<uint8_t>(frame + 1)});
        return b;
    };
    EXPECT_EQ(q.values.At(0).size(), 26u);  // corrupted and shortened
    Bytes first = clean(0);
    first.pop_back();
    EXPECT_NE(q.values.At(0), first);
    EXPECT_EQ(q.values.At(1).size(), 27u);
    EXPECT_NE(q.values.At(1), clean(1));
    EXPECT_EQ(q.values.At(2), clean(2));
    EXPECT_EQ(q.values.At(3), clean(3));
}

TEST(SimFaults, RadioOffAdapterGoneAndRemoval) {
    auto sim = MakeSimStack("MV-O,connect_fail_ms=5;MV-Z");
    auto amp = sim->Find("MV-O");
    auto link = Open(*sim, "MV-O");
    ASSERT_TRUE(link->statusEvents.WaitSize(1));
    sim->SetRadioOn(false);
    ASSERT_TRUE(link->statusEvents.WaitSize(2));
    EXPECT_EQ(Await(link->device->GetGattServicesAsync()).status, GattStatus::Unreachable);
    sim->SetRadioOn(true);
    EXPECT_EQ(Await(link->device->GetGattServicesAsync()).status, GattStatus::Success);

    sim->SetAdapterPresent(false);
    ASSERT_TRUE(link->statusEvents.WaitSize(4));
    EXPECT_EQ(Await(sim->FromBluetoothAddressAsync(amp->Address())), nullptr);
    sim->SetAdapterPresent(true);

    auto z = Open(*sim, "MV-Z");
    ASSERT_TRUE(z->statusEvents.WaitSize(1));
    uint64_t address = sim->Find("MV-Z")->Address();
    sim->Remove("MV-Z");
    ASSERT_TRUE(z->statusEvents.WaitSize(2));
    EXPECT_EQ(sim->Find("MV-Z"), nullptr);
    EXPECT_EQ(Await(sim->FromBluetoothAddressAsync(address)), nullptr);
    auto read = z->Char("2A19")->ReadValueAsync();
    auto status = read->WaitFor(1s);
    EXPECT_NE(status, AsyncStatus::Started);
    if (status == AsyncStatus::Completed) {
        EXPECT_NE(read->GetResults().status, GattStatus::Success);
    }
}

TEST(SimFaults, FaultsFromTheConfiguration) {
    auto sim =
        MakeSimStack("MV-C1,delay=ReadValueAsync:2A19:200,drop_once=300,corrupt=1,shorten=1;MV-C2,gen=nus,nus=badcrc");
    auto link = Open(*sim, "MV-C1");
    ASSERT_TRUE(link->statusEvents.WaitSize(1));
    auto start = Clock::now();
    link->Read("2A19");
    EXPECT_GE(Clock::now() - start, 200ms);
    // Dropped once, about 300 ms after the first connect; not again after reconnecting.
    ASSERT_TRUE(link->statusEvents.WaitSize(2));
    EXPECT_GE(link->statusEvents.Stamps()[1] - link->statusEvents.Stamps()[0], 280ms);
    EXPECT_EQ(Await(link->device->GetGattServicesAsync()).status, GattStatus::Success);
    Subscription samples(link->Char(kSample));
    ASSERT_TRUE(samples.values.WaitSize(3));
    EXPECT_EQ(samples.values.At(0).size(), 26u);
    EXPECT_EQ(samples.values.At(1).size(), 27u);
    EXPECT_EQ(sim->Find("MV-C1")->ConnectCount(), 2);
    EXPECT_EQ(link->statusEvents.Size(), 3u);

    auto nus = Open(*sim, "MV-C2");
    Subscription tx(nus->Char(kNusTx));
    Bytes request{0xF0, 0x00, 0x02, 0x10, 0x01, 0x02, 0xAC, 0x74};
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Await(nus->Char(kNusRx)->WriteValueWithResultAsync(request, WriteOption::WithoutResponse)),
                  GattStatus::Success);
    ASSERT_TRUE(tx.values.WaitSize(2));
    Bytes bad{0xF0, 0x00, 0x01, 0x10, 0x00, 0x2A, 0xA1, 0x0C};  // F3 flipped
    EXPECT_EQ(tx.values.At(0), bad);
    EXPECT_EQ(tx.values.At(1), bad);
}

}  // namespace
